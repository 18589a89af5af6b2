# WBMP (type 0) through our own reader, on every target.
zem_codec_backend(wbmp SOURCES WbmpCodec.cpp)
