# Previews (GetPreview) of JPEG, TIFF and PSD against TurboJPEG and libtiff's own reads of the
# embedded pictures (Linux builds; the Windows suite is in WicTest.cpp).
if(NOT WIN32 AND ZEM_TEST_JPEGPNG_FOUND)
    pkg_check_modules(ZEM_TEST_PREVIEW IMPORTED_TARGET libtiff-4)
    if(ZEM_TEST_PREVIEW_FOUND)
        list(APPEND img_test_sources PreviewTest.cpp)
        list(APPEND img_test_libs PkgConfig::ZEM_TEST_PREVIEW)
    endif()
endif()
# The Windows builds' previews through WIC, with stb's encoder and decoder (Debian's libstb-dev).
if(WIN32 AND ZEM_STB_INCLUDE_DIR)
    list(APPEND img_test_sources WicPreviewTest.cpp)
    set_property(SOURCE WicPreviewTest.cpp APPEND PROPERTY INCLUDE_DIRECTORIES ${ZEM_STB_INCLUDE_DIR})
endif()
