# JPEG and PNG back ends: differential tests against libjpeg-turbo (TurboJPEG) and libpng used
# directly, the PNG suite of the corpus, damaged files, the encoders. Linux only.
if(NOT WIN32)
    find_package(PkgConfig)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(ZEM_TEST_JPEGPNG IMPORTED_TARGET libturbojpeg libjpeg libpng zlib)
    endif()
    if(ZEM_TEST_JPEGPNG_FOUND)
        list(APPEND img_test_sources JpegPngKit.cpp JpegTest.cpp PngTest.cpp)
        list(APPEND img_test_libs PkgConfig::ZEM_TEST_JPEGPNG)
        # Writes samples/jpeg-*.jpg and samples/png-*.png (run by hand).
        add_executable(jpegpng_make_samples MakeJpegPngSamples.cpp JpegPngKit.cpp)
        target_link_libraries(jpegpng_make_samples PRIVATE zem_codec PkgConfig::ZEM_TEST_JPEGPNG)
    else()
        message(STATUS "libturbojpeg, libjpeg or libpng missing: JPEG and PNG tests not built")
    endif()
endif()
