# zemhost thumbs on a folder of 24-megapixel JPEGs against zemhost decode of the same folder, as
# the user runs them: one process each, wall time. Linux only (TurboJPEG makes the pictures).
if(TARGET zemhost)
    zem_add_bench(thumbs_bench LINUX_ONLY SOURCES thumbs_bench.cpp PKG libturbojpeg
        PLUGINS zemhost imgsrc)
endif()
if(TARGET thumbs_bench)
    target_compile_definitions(thumbs_bench PRIVATE ZEMHOST_PATH="$<TARGET_FILE:zemhost>")
endif()
