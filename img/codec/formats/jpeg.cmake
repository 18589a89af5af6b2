# JPEG through libjpeg-turbo (on Windows, the static build of cmake/ZemCodecLibs.cmake).
zem_codec_backend(jpeg SOURCES JpegCodec.cpp PKG libjpeg)
