# imgsrc's preview read (GetPreview) against its picture read of the same files, made in the
# same run: a 12 MP HEIC with a thumbnail item and a camera RAW with an embedded preview (Linux).
if(WIN32 OR NOT TARGET img_lib_pictures)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_PREVIEW_MODERN IMPORTED_TARGET libjpeg libpng libwebp libwebpdemux
                      libwebpmux libheif libjxl zlib)
endif()
if(NOT ZEM_BENCH_PREVIEW_MODERN_FOUND)
    message(STATUS "libjpeg, libpng, libheif or libjxl missing: preview_modern_bench is not built")
    return()
endif()
zem_add_bench(preview_modern_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/preview_modern_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/JpegPngKit.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/ModernEncoders.cpp
    LIBS PkgConfig::ZEM_BENCH_PREVIEW_MODERN img_lib_pictures zem_codec
    PLUGINS imgsrc)
target_include_directories(preview_modern_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
