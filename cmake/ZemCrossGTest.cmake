# GoogleTest for cross builds: compiled from Debian's sources (/usr/src/googletest) with the
# target's compiler, under the names that find_package(GTest) gives native builds.
set(ZEM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT TARGET gtest)
    if(NOT EXISTS ${ZEM_GTEST_SOURCE_DIR}/CMakeLists.txt)
        message(FATAL_ERROR "GoogleTest sources not found in ${ZEM_GTEST_SOURCE_DIR} "
                            "(Debian: googletest, installed by scripts/install-deps)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${ZEM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Keep one optimisation level for every object of a program: MinGW's GCC lets callers rely
    # on the registers that a template instance it compiled leaves alone (-fipa-ra), and the
    # linker may keep the instance of another object, compiled with other flags.
endif()
foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
    endif()
endforeach()
