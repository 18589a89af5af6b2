# WebP through libwebp, animations through its demux library (on Windows, the static build of
# cmake/ZemCodecLibs.cmake).
zem_codec_backend(webp SOURCES WebpCodec.cpp PKG libwebp libwebpdemux)
