# TGA through our own reader, on every target.
zem_codec_backend(tga SOURCES TgaCodec.cpp)
