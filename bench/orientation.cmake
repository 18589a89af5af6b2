# The cost of imgsrc's picture options on a 24 MP JPEG: upright (a quarter turn) and sRGB (a
# P3 profile converted with lcms2), each as a share of the plain picture read (Linux).
zem_add_bench(orientation_bench LINUX_ONLY SOURCES orientation_bench.cpp
    TEST_SOURCES img/JpegPngKit.cpp PKG libjpeg libpng zlib lcms2 LIBS zem_codec PLUGINS imgsrc)
