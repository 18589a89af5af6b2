# gifsrc against giflib's DGifSlurp and stb_image's GIF loader, on pictures made by the test
# encoder in the same run.
find_package(GIF)
if(NOT GIF_FOUND OR NOT EXISTS /usr/include/stb/stb_image.h)
    message(STATUS "giflib or stb_image missing: gif_bench is not built")
    return()
endif()
zem_add_bench(gif_bench SOURCES gif_bench.cpp TEST_SOURCES gif/GifTestEncoder.cpp LIBS GIF::GIF
    PLUGINS gifsrc)
