# The cost of imgsrc's picture options on a 24 MP JPEG: upright (a quarter turn) and sRGB (a
# P3 profile converted with lcms2), each as a share of the plain picture read (Linux).
if(WIN32)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_ORIENTATION IMPORTED_TARGET libjpeg libpng zlib lcms2)
endif()
if(NOT ZEM_BENCH_ORIENTATION_FOUND)
    message(STATUS "libjpeg, libpng or lcms2 missing: orientation_bench is not built")
    return()
endif()
zem_add_bench(orientation_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/orientation_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/JpegPngKit.cpp
    LIBS PkgConfig::ZEM_BENCH_ORIENTATION zem_codec
    PLUGINS imgsrc)
target_include_directories(orientation_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
