# Camera RAW against LibRaw's own development (Linux builds; img_lib_pictures comes from
# tiff.cmake).
if(NOT WIN32)
    list(APPEND img_test_sources RawCodecTest.cpp)
endif()
