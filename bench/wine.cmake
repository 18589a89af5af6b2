# imgsrc.dll under Wine against imgsrc.so on a 12 MP JPEG and PNG (Linux; the Windows presets
# build the same source as the timer that it runs, tests/windows/CMakeLists.txt).
if(WIN32 OR NOT ZEM_BENCH_IMG_FOUND)
    return()
endif()
zem_add_bench(wine_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/wine_bench.cpp ${PROJECT_SOURCE_DIR}/tests/img/JpegPngKit.cpp
    LIBS PkgConfig::ZEM_BENCH_IMG zem_codec
    PLUGINS imgsrc)
target_include_directories(wine_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/img)
target_compile_definitions(wine_bench PRIVATE ZEM_BENCH_WORK_DIR="${CMAKE_BINARY_DIR}/bench"
    ZEM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
