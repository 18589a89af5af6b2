# TGA: our writer's files through the module.
list(APPEND img_test_sources TgaTest.cpp)
