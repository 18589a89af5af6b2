# PSD and PSB: our writer's documents through the module.
list(APPEND img_test_sources PsdTest.cpp)
