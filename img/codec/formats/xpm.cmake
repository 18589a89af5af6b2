# XPM pixmaps through our own reader, on every target.
zem_codec_backend(xpm SOURCES XpmCodec.cpp)
