# imgsrc's WebP and AVIF back ends against libwebp's and libheif's own decode, on pictures made
# by the libraries' encoders in the same run (Linux builds).
if(WIN32)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_MODERN IMPORTED_TARGET libwebp libwebpdemux libwebpmux libheif libjxl)
endif()
if(NOT ZEM_BENCH_MODERN_FOUND)
    message(STATUS "libwebp, libheif or libjxl missing: modern_bench is not built")
    return()
endif()
zem_add_bench(modern_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/modern_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/img/ModernEncoders.cpp
    LIBS PkgConfig::ZEM_BENCH_MODERN
    PLUGINS imgsrc)
target_include_directories(modern_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
