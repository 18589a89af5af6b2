# HEIF and AVIF through libheif (Linux builds).
if(NOT WIN32)
    zem_codec_backend(heif SOURCES HeifCodec.cpp PKG libheif)
endif()
