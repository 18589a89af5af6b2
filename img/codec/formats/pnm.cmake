# PNM (PBM, PGM, PPM, PAM) through our own reader, on every target.
zem_codec_backend(pnm SOURCES PnmCodec.cpp)
