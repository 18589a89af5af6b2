# The plug-in's own rules (signatures, names, records, request block, result codes) and our own
# BMP and GIF readers behind it, against bmpsrc and gifsrc.
list(APPEND img_test_sources ImgPluginTest.cpp ImgOwnReadersTest.cpp ImgRobustnessTest.cpp
    HeaderReadTest.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/img_fuzzer.cpp)
list(APPEND img_test_libs zem_gif_testkit)
