# Shared by the MinGW-w64 toolchain files, which set ZEM_MINGW_TRIPLET and the processor first.
# The -posix compiler variants provide std::thread and std::mutex, which GoogleTest needs.
# Targets link the runtime statically, so the binaries import system DLLs only. Tests run under
# Wine (cmake/ZemWine.cmake).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZEM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEM_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
