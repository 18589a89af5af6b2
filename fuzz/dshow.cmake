# dshowsrc: the media detector (the stand-in over FFmpeg on Linux) and DswFile's information read
# and frame grab, on the input written to a file. Seeded with small clips that the build writes
# into dshow-seeds/ (fuzz/dshow.seeds).
if(TARGET zem_dshow_standin)
    zem_add_fuzzer(dshow_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/dshow_fuzzer.cpp
        LIBS zem_dshow_standin)
    if(ZEM_BUILD_FUZZ)
        add_executable(dshow_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/dshow_seeds.cpp
            ${PROJECT_SOURCE_DIR}/tests/dshow/ClipMaker.cpp)
        target_include_directories(dshow_fuzz_seeds PRIVATE ${PROJECT_SOURCE_DIR}/tests/dshow)
        target_link_libraries(dshow_fuzz_seeds PRIVATE zem_video)
        add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dshow-seeds/h264.mp4
            COMMAND dshow_fuzz_seeds ${CMAKE_BINARY_DIR}/dshow-seeds
            DEPENDS dshow_fuzz_seeds VERBATIM)
        add_custom_target(dshow_fuzz_seed_clips ALL
            DEPENDS ${CMAKE_BINARY_DIR}/dshow-seeds/h264.mp4)
    endif()
endif()
