# PNM: our writer's PBM, PGM, PPM and PAM files through the module.
list(APPEND img_test_sources PnmTest.cpp)
