# imgsrc's JPEG and PNG back ends against TurboJPEG, libpng's simplified API and (when present)
# libspng, on pictures made in the same run. Linux only.
zem_add_bench(img_bench LINUX_ONLY SOURCES img_bench.cpp TEST_SOURCES img/JpegPngKit.cpp
    PKG libturbojpeg libjpeg libpng zlib LIBS zem_codec PLUGINS imgsrc)
if(NOT TARGET img_bench)
    return()
endif()
# The program replaces malloc to measure peak heap; the loaded module must find it.
target_link_options(img_bench PRIVATE -rdynamic)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_SPNG IMPORTED_TARGET spng)
endif()
if(ZEM_BENCH_SPNG_FOUND)
    target_link_libraries(img_bench PRIVATE PkgConfig::ZEM_BENCH_SPNG)
    target_compile_definitions(img_bench PRIVATE ZEM_BENCH_SPNG)
endif()
