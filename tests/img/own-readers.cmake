# What the suites of our own readers (PSD, QOI, PNM, TGA, ICO) share: the small writers of those
# formats and the damage sweep.
list(APPEND img_test_sources OwnWriters.cpp DamageSweep.cpp)
