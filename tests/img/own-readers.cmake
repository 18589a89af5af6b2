# What the suites of our own readers (PSD, QOI, PNM, TGA, ICO) share: the small writers of those
# formats and the damage sweep.
list(APPEND img_test_sources OwnWriters.cpp DamageSweep.cpp)

# Writes the samples/ pictures of those formats (run by hand: img_make_own_samples samples).
if(NOT CMAKE_CROSSCOMPILING)
    add_executable(img_make_own_samples MakeOwnSamples.cpp OwnWriters.cpp)
endif()
