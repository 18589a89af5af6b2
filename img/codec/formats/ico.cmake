# ICO and CUR through our own reader, on every target (PNG entries through the PNG back end).
zem_codec_backend(ico SOURCES IcoCodec.cpp)
