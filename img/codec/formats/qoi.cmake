# QOI through our own decoder, on every target.
zem_codec_backend(qoi SOURCES QoiCodec.cpp)
