# imgsrc's WebP and AVIF back ends against libwebp's and libheif's own decode, on pictures made
# by the libraries' encoders in the same run (Linux builds).
zem_add_bench(modern_bench LINUX_ONLY SOURCES modern_bench.cpp TEST_SOURCES img/ModernEncoders.cpp
    PKG libwebp libwebpdemux libwebpmux libheif libjxl PLUGINS imgsrc)
