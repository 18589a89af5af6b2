# dshowsrc's GetPicture at a time against the ffmpeg command line taking the same frame, on a
# clip the benchmark writes with libx264.
if(TARGET zem_dshow_clips)
    zem_add_bench(dshow_bench LINUX_ONLY SOURCES dshow_bench.cpp LIBS zem_dshow_clips
        PLUGINS dshowsrc)
endif()
