# BMP through our own reader (bmp/), on every target.
zem_codec_backend(bmp SOURCES BmpCodec.cpp LIBS zem_bmp)
