# WebP through libwebp, animations through its demux library (Linux builds).
if(NOT WIN32)
    zem_codec_backend(webp SOURCES WebpCodec.cpp PKG libwebp libwebpdemux)
endif()
