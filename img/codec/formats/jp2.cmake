# JPEG 2000 (JP2 files and codestreams) through OpenJPEG (on Windows, the static build of
# cmake/ZemCodecLibs.cmake).
zem_codec_backend(jp2 SOURCES Jp2Codec.cpp PKG libopenjp2)
