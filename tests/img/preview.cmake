# Previews (GetPreview) of JPEG, TIFF and PSD against TurboJPEG and libtiff's own reads of the
# embedded pictures (Linux builds; the Windows suite is in WicTest.cpp).
if(NOT WIN32 AND ZEM_TEST_JPEGPNG_FOUND)
    pkg_check_modules(ZEM_TEST_PREVIEW IMPORTED_TARGET libtiff-4)
    if(ZEM_TEST_PREVIEW_FOUND)
        list(APPEND img_test_sources PreviewTest.cpp)
        list(APPEND img_test_libs PkgConfig::ZEM_TEST_PREVIEW)
    endif()
endif()
