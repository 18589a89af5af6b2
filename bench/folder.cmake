# zemhost thumbs over folders of 1,000 and 10,000 small files with a fifth of the outputs there
# already: zemhost's own time per file, which stays flat when its work grows linearly. The one
# plug-in loaded is bmpsrc, which answers a tiny BMP at once. Linux only (one process per run).
if(TARGET zemhost AND TARGET bmpsrc)
    zem_add_bench(folder_bench LINUX_ONLY SOURCES folder_bench.cpp PLUGINS zemhost bmpsrc)
    if(TARGET folder_bench)
        target_compile_definitions(folder_bench PRIVATE ZEMHOST_PATH="$<TARGET_FILE:zemhost>"
            BMPSRC_PATH="$<TARGET_FILE:bmpsrc>")
    endif()
endif()
