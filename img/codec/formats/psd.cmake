# PSD and PSB through our own reader of the merged image, on every target.
zem_codec_backend(psd SOURCES PsdCodec.cpp)
