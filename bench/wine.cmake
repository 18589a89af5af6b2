# imgsrc.dll under Wine against imgsrc.so on a 12 MP JPEG and PNG (Linux; the Windows presets
# build the same source as the timer that it runs, tests/windows/CMakeLists.txt).
zem_add_bench(wine_bench LINUX_ONLY SOURCES wine_bench.cpp TEST_SOURCES img/JpegPngKit.cpp
    PKG libturbojpeg libjpeg libpng zlib LIBS zem_codec PLUGINS imgsrc)
if(TARGET wine_bench)
    target_compile_definitions(wine_bench PRIVATE ZEM_BENCH_WORK_DIR="${CMAKE_BINARY_DIR}/bench"
        ZEM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
