# imgsrc's preview read (GetPreview) against its picture read of a 24 MP JPEG made in the same
# run, with an EXIF thumbnail and without one (Linux).
if(WIN32)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_PREVIEW_JPEG IMPORTED_TARGET libjpeg libpng zlib)
endif()
if(NOT ZEM_BENCH_PREVIEW_JPEG_FOUND)
    message(STATUS "libjpeg or libpng missing: preview_jpeg_bench is not built")
    return()
endif()
zem_add_bench(preview_jpeg_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/preview_jpeg_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/JpegPngKit.cpp
    LIBS PkgConfig::ZEM_BENCH_PREVIEW_JPEG zem_codec
    PLUGINS imgsrc)
target_include_directories(preview_jpeg_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
