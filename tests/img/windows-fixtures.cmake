# The pictures on which the Windows suites compare imgsrc.dll with this build's imgsrc, made by
# the libraries' writers (Linux builds; the Windows comparison runs it from the native build).
if(NOT WIN32 AND ZEM_TEST_JPEGPNG_FOUND AND ZEM_TEST_MODERN_FOUND AND TARGET img_lib_pictures)
    add_executable(make_compare_fixtures MakeCompareFixtures.cpp JpegPngKit.cpp ModernEncoders.cpp)
    target_link_libraries(make_compare_fixtures PRIVATE zem_codec img_lib_pictures
        PkgConfig::ZEM_TEST_JPEGPNG PkgConfig::ZEM_TEST_MODERN)
    set_target_properties(make_compare_fixtures PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
