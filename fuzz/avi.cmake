# AVI: the RIFF/index reader of the AVIFile stand-in (native builds only).
if(TARGET zem_avi_riff)
    zem_add_fuzzer(avi_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/avi_fuzzer.cpp LIBS zem_avi_riff)
endif()
