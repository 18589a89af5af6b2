# Stepping through animations one request a frame, against Pillow; and tiny files that declare
# huge pictures, in time and peak memory. Linux only (child processes measure the memory).
zem_add_bench(anim_bench LINUX_ONLY SOURCES anim_bench.cpp PLUGINS imgsrc gifsrc bmpsrc)
if(TARGET anim_bench)
    target_compile_definitions(anim_bench PRIVATE ZEM_BENCH_SOURCE_DIR="${CMAKE_CURRENT_LIST_DIR}")
endif()
