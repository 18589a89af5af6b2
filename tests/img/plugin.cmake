# The plug-in's own rules: signatures, names, records, request block, result codes.
list(APPEND img_test_sources ImgPluginTest.cpp)
