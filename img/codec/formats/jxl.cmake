# JPEG XL through libjxl (on Windows, the static build of cmake/ZemCodecLibs.cmake).
zem_codec_backend(jxl SOURCES JxlCodec.cpp PKG libjxl)
