# Formats that Pillow writes or reads (DDS, ICO and CUR, MPO, ICNS) against Pillow's decode, and
# hostile DDS files.
list(APPEND img_test_sources PillowOracleTest.cpp)
