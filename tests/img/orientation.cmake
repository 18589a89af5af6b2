# Pictures upright and in sRGB, through zemhost, against Pillow (orientation_table.py writes the
# pictures; the JPEG XL and AVIF ones come from make_colour_fixtures, which the Linux build
# makes and the Windows builds take from it). Under Wine only where the Windows build converts
# colours (lcms2 among its codec libraries), for the table's colour rows.
find_program(ZEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
get_property(zem_colour GLOBAL PROPERTY ZEM_CODEC_COLOUR)
if(NOT WIN32 AND ZEM_TEST_MODERN_FOUND)
    add_executable(make_colour_fixtures MakeColourFixtures.cpp ModernEncoders.cpp)
    target_link_libraries(make_colour_fixtures PRIVATE PkgConfig::ZEM_TEST_MODERN)
    set_target_properties(make_colour_fixtures PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    set(zem_colour_fixtures $<TARGET_FILE:make_colour_fixtures>)
elseif(WIN32 AND ZEM_NATIVE_BUILD_DIR)
    set(zem_colour_fixtures ${ZEM_NATIVE_BUILD_DIR}/tests/make_colour_fixtures)
elseif(WIN32)
    set(zem_colour_fixtures ${PROJECT_SOURCE_DIR}/build/default/tests/make_colour_fixtures)
else()
    set(zem_colour_fixtures "")
endif()
if(ZEM_PYTHON3 AND TARGET zemhost AND (NOT WIN32 OR (zem_colour AND ZEM_EMULATOR_RUNS)))
    set(zem_emulator "")
    if(CMAKE_CROSSCOMPILING)
        set(zem_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
    add_test(NAME ImgOrientationTable
        COMMAND ${CMAKE_COMMAND} -E env ZEM_COLOUR_FIXTURES=${zem_colour_fixtures}
            ${ZEM_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/orientation_table.py
            ${CMAKE_CURRENT_BINARY_DIR}/orientation-table $<TARGET_FILE:zemhost> ${zem_emulator})
    set_tests_properties(ImgOrientationTable PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()

# The display rotation of MP4 clips that zemhost's info prints.
list(APPEND img_test_sources VideoRotationTest.cpp)

# JPEG pictures turned and converted band by band, against lcms2 used directly (Linux, with the
# JPEG suite's writers).
if(ZEM_TEST_JPEGPNG_FOUND)
    pkg_check_modules(ZEM_TEST_LCMS2 IMPORTED_TARGET lcms2)
    if(ZEM_TEST_LCMS2_FOUND)
        list(APPEND img_test_sources OrientationBandsTest.cpp)
        list(APPEND img_test_libs PkgConfig::ZEM_TEST_LCMS2)
    endif()
endif()
