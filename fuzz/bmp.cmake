# BMP: BmpFile's picture and info reads, the two-handle split and the writer to memory.
zem_add_fuzzer(bmp_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/bmp_fuzzer.cpp LIBS zem_bmp)
