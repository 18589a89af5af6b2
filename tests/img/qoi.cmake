# QOI: our encoder's pictures through the module.
list(APPEND img_test_sources QoiTest.cpp)
