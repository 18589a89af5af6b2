# The sample arithmetic that the back ends share (img/codec/SampleScale.h).
list(APPEND img_test_sources SampleScaleTest.cpp)
