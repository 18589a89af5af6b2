# avisrc against the ffmpeg command on a 60-second 1920x1080 MPEG-4 AVI made in the same run
# (native builds with the tests, whose AVI maker it uses).
if(TARGET zem_avi_testkit AND NOT WIN32)
    find_package(PNG REQUIRED)
    add_executable(avi_bench ${CMAKE_CURRENT_LIST_DIR}/avi_bench.cpp
        ${PROJECT_SOURCE_DIR}/tests/bmp/DibToRgb.cpp)
    target_link_libraries(avi_bench PRIVATE zem_avi_testkit zem_hostlib zem_platform PNG::PNG)
    target_compile_definitions(avi_bench PRIVATE ZEM_BENCH_PLUGIN_DIR="${ZEM_PLUGIN_DIR}"
        ZEM_BENCH_WORK_DIR="${CMAKE_BINARY_DIR}/bench/avi-work")
    set_target_properties(avi_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
    add_dependencies(avi_bench avisrc zemhost)
endif()
