# GetPreview for camera RAW, HEIF/AVIF, JPEG XL and JPEG 2000 against the libraries' own decodes
# of the embedded pictures (Linux builds; the writers come from modern.cmake, jpegpng.cmake and
# tiff.cmake).
if(NOT WIN32 AND ZEM_TEST_MODERN_FOUND AND ZEM_TEST_JPEGPNG_FOUND)
    list(APPEND img_test_sources PreviewModernTest.cpp)
endif()
