# TIFF through libtiff (Linux builds).
if(NOT WIN32)
    zem_codec_backend(tiff SOURCES TiffCodec.cpp PKG libtiff-4)
endif()
