# gifsrc against giflib's DGifSlurp and stb_image's GIF loader, on pictures made by the test
# encoder in the same run.
find_package(GIF)
if(NOT GIF_FOUND OR NOT EXISTS /usr/include/stb/stb_image.h)
    message(STATUS "giflib or stb_image missing: gif_bench is not built")
    return()
endif()
zem_add_bench(gif_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/gif_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/gif/GifTestEncoder.cpp
    LIBS GIF::GIF
    PLUGINS gifsrc)
target_include_directories(gif_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/gif)
