# imgsrc's preview read (GetPreview) against its picture read of the same files, made in the
# same run: a 12 MP HEIC with a thumbnail item and a camera RAW with an embedded preview (Linux).
if(TARGET img_lib_pictures)
    zem_add_bench(preview_modern_bench LINUX_ONLY SOURCES preview_modern_bench.cpp
        TEST_SOURCES img/JpegPngKit.cpp img/ModernEncoders.cpp
        PKG libjpeg libpng libwebp libwebpdemux libwebpmux libheif libjxl zlib
        LIBS img_lib_pictures zem_codec PLUGINS imgsrc)
endif()
