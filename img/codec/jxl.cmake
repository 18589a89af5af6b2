# JPEG XL through libjxl (Linux builds).
if(NOT WIN32)
    zem_codec_backend(jxl SOURCES JxlCodec.cpp PKG libjxl)
endif()
