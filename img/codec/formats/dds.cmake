# DDS textures (uncompressed, BC1-BC7) through our own reader, on every target.
zem_codec_backend(dds SOURCES DdsCodec.cpp)
