# Running the Windows builds' tests under Wine. Included by tests/CMakeLists.txt when
# cross-compiling for Windows: sets CMAKE_CROSSCOMPILING_EMULATOR to a runner that uses a private
# prefix in the build folder, and finds out whether this machine runs programs of the target's
# word size at all (ZEM_EMULATOR_RUNS).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # Debian's "wine" launcher prefers the 32-bit loader when both are installed.
    find_program(ZEM_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine)
else()
    find_program(ZEM_WINE_LOADER NAMES wine PATHS /usr/lib/wine)
endif()
# The 64-bit server also serves 32-bit processes.
find_program(ZEM_WINE_SERVER NAMES wineserver64 wineserver wineserver32
    PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT ZEM_WINE_SERVER)
    find_program(ZEM_WINE_SERVER NAMES wineserver)
endif()
find_program(ZEM_OBJDUMP NAMES ${ZEM_MINGW_TRIPLET}-objdump objdump)
set(ZEM_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix for the tests")

set(ZEM_EMULATOR_RUNS OFF)
if(ZEM_WINE_LOADER AND ZEM_WINE_SERVER)
    # WINEDEBUG unset, so that Debian's launcher says when it lacks the 32-bit loader.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=WINEDEBUG ${ZEM_WINE_LOADER} --version
        RESULT_VARIABLE wine_rc OUTPUT_VARIABLE wine_version ERROR_VARIABLE wine_error
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
    if(wine_rc EQUAL 0 AND wine_error MATCHES "wine32 is missing")
        # Debian's launcher falls back to the 64-bit loader when the 32-bit one (package
        # wine32:i386) is not installed: it answers, but cannot run this build's programs.
        message(WARNING "${ZEM_WINE_LOADER} has no 32-bit loader here (wine32:i386 is not "
                        "installed); the tests of this build are reported as skipped")
    elseif(wine_rc EQUAL 0)
        set(ZEM_EMULATOR_RUNS ON)
        message(STATUS "Tests run under ${wine_version} (${ZEM_WINE_LOADER})")
    else()
        message(WARNING "${ZEM_WINE_LOADER} cannot run here (${wine_error}); the tests of this "
                        "build are reported as skipped")
    endif()
else()
    message(WARNING "Wine not found; the tests of this build are reported as skipped")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# A path of the build tree as Windows programs under Wine see it (drive Z: is the Unix root).
function(zem_wine_path out path)
    string(REPLACE "/" "\\" windows_path "${path}")
    set(${out} "Z:${windows_path}" PARENT_SCOPE)
endfunction()
