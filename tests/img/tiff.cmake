# TIFF against libtiff's own reader and writer, and the pictures that the JPEG 2000 and RAW
# suites and the sample generator make with the libraries' writers (Linux builds).
if(NOT WIN32)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(ZEM_TEST_LIBS REQUIRED IMPORTED_TARGET libtiff-4 libopenjp2 libraw_r)
    add_library(img_lib_pictures STATIC LibPictures.cpp)
    target_include_directories(img_lib_pictures PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(img_lib_pictures PUBLIC PkgConfig::ZEM_TEST_LIBS)
    list(APPEND img_test_sources TiffCodecTest.cpp)
    list(APPEND img_test_libs img_lib_pictures)
endif()
