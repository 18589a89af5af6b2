# The generator of the TIFF, JPEG 2000 and DNG samples in samples/ (Linux builds):
#   build/<preset>/tests/make_img_samples samples
if(NOT WIN32)
    add_executable(make_img_samples MakeImgSamples.cpp)
    target_link_libraries(make_img_samples PRIVATE img_lib_pictures)
    set_target_properties(make_img_samples PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
