# imgsrc: ImgFile's information and picture reads over every back end of the build, with type,
# frame and scale from the input; seeded with the samples (fuzz/img.seeds).
zem_add_fuzzer(img_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/img_fuzzer.cpp LIBS zem_img)
target_include_directories(img_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/img)
# The information read alone (the header readers of every back end), with the same seeds.
zem_add_fuzzer(img_info_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/img_fuzzer.cpp LIBS zem_img)
target_include_directories(img_info_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/img)
target_compile_definitions(img_info_fuzzer PRIVATE ZEM_FUZZ_INFO_ONLY)
# The preview read alone (GetPreview's thumbnails and reduced decodes), with the same seeds.
zem_add_fuzzer(img_preview_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/img_fuzzer.cpp LIBS zem_img)
target_include_directories(img_preview_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/img)
target_compile_definitions(img_preview_fuzzer PRIVATE ZEM_FUZZ_PREVIEW_ONLY)
