# The Windows builds' WIC back end: stb's encoders and decoders (header-only, Debian's
# libstb-dev) make the pictures and read the reference pixels.
if(WIN32 AND ZEM_STB_INCLUDE_DIR)
    list(APPEND img_test_sources WicTest.cpp)
    set_property(SOURCE WicTest.cpp APPEND PROPERTY INCLUDE_DIRECTORIES ${ZEM_STB_INCLUDE_DIR})
endif()
