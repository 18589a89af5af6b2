# PNG through libpng (on Windows, the static build of cmake/ZemCodecLibs.cmake).
zem_codec_backend(png SOURCES PngCodec.cpp PKG libpng)
