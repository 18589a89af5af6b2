# PNG through libpng (Linux; Windows builds use the platform's codecs).
if(NOT WIN32)
    zem_codec_backend(png SOURCES PngCodec.cpp PKG libpng)
endif()
