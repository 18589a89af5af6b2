# XBM bitmaps, X10 and X11 through our own reader, on every target.
zem_codec_backend(xbm SOURCES XbmCodec.cpp)
