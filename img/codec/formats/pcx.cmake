# PCX and DCX (its multi-page container) through our own reader, on every target.
zem_codec_backend(pcx SOURCES PcxCodec.cpp)
