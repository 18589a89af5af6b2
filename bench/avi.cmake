# avisrc against the ffmpeg command on a 60-second 1920x1080 MPEG-4 AVI made in the same run
# (native builds with the tests, whose AVI maker it uses).
if(TARGET zem_avi_testkit)
    find_package(PNG REQUIRED)
    zem_add_bench(avi_bench LINUX_ONLY SOURCES avi_bench.cpp TEST_SOURCES bmp/DibToRgb.cpp
        LIBS zem_avi_testkit PNG::PNG PLUGINS avisrc zemhost)
endif()
if(TARGET avi_bench)
    target_compile_definitions(avi_bench PRIVATE ZEM_BENCH_WORK_DIR="${CMAKE_BINARY_DIR}/bench/avi-work")
endif()
