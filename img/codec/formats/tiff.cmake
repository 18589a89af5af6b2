# TIFF through libtiff (on Windows, the static build of cmake/ZemCodecLibs.cmake).
zem_codec_backend(tiff SOURCES TiffCodec.cpp PKG libtiff-4)
