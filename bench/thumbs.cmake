# zemhost thumbs on a folder of 24-megapixel JPEGs against zemhost decode of the same folder, as
# the user runs them: one process each, wall time. Linux only (TurboJPEG makes the pictures).
if(WIN32 OR NOT TARGET zemhost)
    return()
endif()
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZEM_BENCH_TJ IMPORTED_TARGET libturbojpeg)
endif()
if(NOT ZEM_BENCH_TJ_FOUND)
    message(STATUS "libturbojpeg missing: thumbs_bench is not built")
    return()
endif()
zem_add_bench(thumbs_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/thumbs_bench.cpp
    LIBS PkgConfig::ZEM_BENCH_TJ
    PLUGINS zemhost imgsrc)
target_compile_definitions(thumbs_bench PRIVATE ZEMHOST_PATH="$<TARGET_FILE:zemhost>")
