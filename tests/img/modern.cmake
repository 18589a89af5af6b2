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

# Writes the WebP, AVIF and JPEG XL pictures of samples/ (run by hand).
if(ZEM_TEST_MODERN_FOUND)
    add_executable(img_make_modern_samples MakeModernSamples.cpp ModernEncoders.cpp)
    target_link_libraries(img_make_modern_samples PRIVATE PkgConfig::ZEM_TEST_MODERN)
endif()
