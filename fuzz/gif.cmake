# GIF: GifFile's picture read (image index from the input) and information read, and the LZW
# decoder alone; both checked against the literal reader of tests/gif.
set(gif_fuzz_kit
    ${PROJECT_SOURCE_DIR}/tests/gif/GifFuzzEntry.cpp
    ${PROJECT_SOURCE_DIR}/tests/gif/GifReference.cpp
    ${PROJECT_SOURCE_DIR}/tests/gif/GifTestEncoder.cpp)
zem_add_fuzzer(gif_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/gif_fuzzer.cpp ${gif_fuzz_kit}
    LIBS zem_gif)
zem_add_fuzzer(gif_lzw_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/gif_lzw_fuzzer.cpp ${gif_fuzz_kit}
    LIBS zem_gif)
target_include_directories(gif_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/tests/gif)
target_include_directories(gif_lzw_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/tests/gif)
