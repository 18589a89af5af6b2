# Camera RAW through LibRaw's thread-safe build (Linux builds).
if(NOT WIN32)
    zem_codec_backend(raw SOURCES RawCodec.cpp PKG libraw_r)
endif()
