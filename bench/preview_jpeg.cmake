# imgsrc's preview read (GetPreview) against its picture read of a 24 MP JPEG made in the same
# run, with an EXIF thumbnail and without one (Linux).
zem_add_bench(preview_jpeg_bench LINUX_ONLY SOURCES preview_jpeg_bench.cpp
    TEST_SOURCES img/JpegPngKit.cpp PKG libjpeg libpng zlib LIBS zem_codec PLUGINS imgsrc)
