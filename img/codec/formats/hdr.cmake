# Radiance HDR (RGBE) through our own reader, on every target.
zem_codec_backend(hdr SOURCES HdrCodec.cpp)
