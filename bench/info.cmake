# imgsrc's information read (GetPictureInfo) against its picture read (GetPicture) of the same
# files, made in the same run: 12 MP JPEG, PNG, LZW TIFF and HEIC, and a 24 MP JPEG (Linux).
if(TARGET img_lib_pictures)
    zem_add_bench(info_bench LINUX_ONLY SOURCES info_bench.cpp
        TEST_SOURCES img/JpegPngKit.cpp img/ModernEncoders.cpp
        PKG libjpeg libpng libwebp libwebpdemux libwebpmux libheif libjxl zlib
        LIBS img_lib_pictures zem_codec PLUGINS imgsrc)
endif()
