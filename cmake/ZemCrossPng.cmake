# Windows builds have no libpng; the tests that read reference PNG pictures use a stand-in with
# libpng's simplified reading calls over stb_image (header-only, from Debian's libstb-dev).
# find_package(PNG) finds it through the package redirects folder.
find_path(ZEM_STB_INCLUDE_DIR stb_image.h PATHS /usr/include/stb NO_CMAKE_FIND_ROOT_PATH
    NO_DEFAULT_PATH)
if(ZEM_STB_INCLUDE_DIR AND NOT TARGET zem_png_stand_in)
    add_library(zem_png_stand_in STATIC ${PROJECT_SOURCE_DIR}/tests/support/png-stand-in/PngStandIn.cpp)
    target_include_directories(zem_png_stand_in
        PUBLIC ${PROJECT_SOURCE_DIR}/tests/support/png-stand-in
        PRIVATE ${ZEM_STB_INCLUDE_DIR})
    add_library(PNG::PNG ALIAS zem_png_stand_in)
    file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/png-config.cmake
        "# Written by cmake/ZemCrossPng.cmake: the PNG stand-in of the Windows builds.\n"
        "set(PNG_FOUND TRUE)\n"
        "set(PNG_LIBRARIES PNG::PNG)\n"
        "set(PNG_INCLUDE_DIRS ${PROJECT_SOURCE_DIR}/tests/support/png-stand-in)\n")
endif()
