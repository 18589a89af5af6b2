# imgsrc's JPEG and PNG back ends against TurboJPEG, libpng's simplified API and (when present)
# libspng, on pictures made in the same run. Linux only.
if(WIN32)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_IMG IMPORTED_TARGET libturbojpeg libjpeg libpng zlib)
    pkg_check_modules(ZEM_BENCH_SPNG IMPORTED_TARGET spng)
endif()
if(NOT ZEM_BENCH_IMG_FOUND)
    message(STATUS "libturbojpeg, libjpeg or libpng missing: img_bench is not built")
    return()
endif()
zem_add_bench(img_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/img_bench.cpp ${PROJECT_SOURCE_DIR}/tests/img/JpegPngKit.cpp
    LIBS PkgConfig::ZEM_BENCH_IMG zem_codec
    PLUGINS imgsrc)
target_include_directories(img_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
# The program replaces malloc to measure peak heap; the loaded module must find it.
target_link_options(img_bench PRIVATE -rdynamic)
if(ZEM_BENCH_SPNG_FOUND)
    target_link_libraries(img_bench PRIVATE PkgConfig::ZEM_BENCH_SPNG)
    target_compile_definitions(img_bench PRIVATE ZEM_BENCH_SPNG)
endif()
