# PFM (portable float maps) through our own reader, on every target.
zem_codec_backend(pfm SOURCES PfmCodec.cpp)
