# A 4096 x 4096 BC7 DDS through imgsrc against Pillow's decode (Linux: Pillow runs natively).
if(WIN32)
    return()
endif()
zem_add_bench(dds_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/dds_bench.cpp LIBS zem_test_support
    PLUGINS imgsrc)
target_compile_definitions(dds_bench PRIVATE ZEM_BENCH_SOURCE_DIR="${CMAKE_CURRENT_LIST_DIR}")
