# SGI (IRIS) images through our own reader, on every target.
zem_codec_backend(sgi SOURCES SgiCodec.cpp)
