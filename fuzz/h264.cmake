# H.264: the reference planner of the media-detector stand-in's time seek (native builds only).
if(TARGET zem_dshow_seek)
    zem_add_fuzzer(h264_plan_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/h264_plan_fuzzer.cpp
        LIBS zem_dshow_seek)
endif()
