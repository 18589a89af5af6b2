# imgsrc's information read (GetPictureInfo) against its picture read (GetPicture) of the same
# files, made in the same run: 12 MP JPEG, PNG, LZW TIFF and HEIC, and a 24 MP JPEG (Linux).
if(WIN32 OR NOT TARGET img_lib_pictures)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_INFO IMPORTED_TARGET libjpeg libpng libwebp libwebpdemux libwebpmux
                      libheif libjxl zlib)
endif()
if(NOT ZEM_BENCH_INFO_FOUND)
    message(STATUS "libjpeg, libpng, libwebp, libheif or libjxl missing: info_bench is not built")
    return()
endif()
zem_add_bench(info_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/info_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/JpegPngKit.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/ModernEncoders.cpp
    LIBS PkgConfig::ZEM_BENCH_INFO img_lib_pictures zem_codec
    PLUGINS imgsrc)
target_include_directories(info_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
