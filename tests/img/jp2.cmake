# JPEG 2000 against OpenJPEG's own decode (Linux builds; img_lib_pictures comes from tiff.cmake).
if(NOT WIN32)
    list(APPEND img_test_sources Jp2CodecTest.cpp)
endif()
