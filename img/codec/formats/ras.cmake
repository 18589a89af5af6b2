# Sun raster through our own reader, on every target.
zem_codec_backend(ras SOURCES SunRasterCodec.cpp)
