# macOS icons through our own reader, on every target (PNG and JPEG 2000 entries through
# those back ends).
zem_codec_backend(icns SOURCES IcnsCodec.cpp)
