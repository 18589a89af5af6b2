# Camera RAW through LibRaw's thread-safe build (on Windows, the static build of
# cmake/ZemCodecLibs.cmake).
zem_codec_backend(raw SOURCES RawCodec.cpp PKG libraw_r)
