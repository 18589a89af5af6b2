# dshowsrc's GetPicture at a time against the ffmpeg command line taking the same frame, on a
# clip the benchmark writes with libx264.
if(WIN32 OR NOT TARGET zem_dshow_clips)
    return()
endif()
zem_add_bench(dshow_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/dshow_bench.cpp
    LIBS zem_dshow_clips
    PLUGINS dshowsrc)
