# The plug-in's own rules (signatures, names, records, request block, result codes) and our own
# BMP and GIF readers behind it, against bmpsrc and gifsrc.
list(APPEND img_test_sources ImgPluginTest.cpp ImgOwnReadersTest.cpp ImgRobustnessTest.cpp
    GifFramesTest.cpp GifComposition.cpp BmpLayoutsTest.cpp HeaderReadTest.cpp
    AnimationOracleTest.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/img_fuzzer.cpp)
list(APPEND img_test_libs zem_gif_testkit)
# GIF frames are also checked against the compositing of giflib's images, where it is at hand.
find_package(GIF)
if(GIF_FOUND)
    list(APPEND img_test_libs GIF::GIF)
    set_property(SOURCE GifComposition.cpp APPEND PROPERTY COMPILE_DEFINITIONS ZEM_HAVE_GIFLIB)
endif()
