# WebP, HEIF/AVIF and JPEG XL against their own libraries (Linux builds), on files made by the
# libraries' encoders (ModernEncoders), plus damaged copies of them.
if(NOT WIN32)
    find_package(PkgConfig)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(ZEM_TEST_MODERN IMPORTED_TARGET
            libwebp libwebpdemux libwebpmux libheif libjxl)
    endif()
    if(ZEM_TEST_MODERN_FOUND)
        list(APPEND img_test_sources WebpTest.cpp HeifTest.cpp JxlTest.cpp ModernEncoders.cpp
            DamageSweep.cpp)
        list(APPEND img_test_libs PkgConfig::ZEM_TEST_MODERN)
    endif()
endif()
