# zemhost writing a 24-megapixel picture as PNG (default and higher levels) against BMP, as the
# user runs it: a process per conversion, wall time.
if(TARGET zemhost)
    zem_add_bench(zemhost_bench SOURCES zemhost_bench.cpp PLUGINS zemhost bmpsrc imgsrc)
    target_compile_definitions(zemhost_bench PRIVATE ZEMHOST_PATH="$<TARGET_FILE:zemhost>")
endif()
