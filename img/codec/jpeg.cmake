# JPEG through libjpeg-turbo (Linux; Windows builds use the platform's codecs).
if(NOT WIN32)
    zem_codec_backend(jpeg SOURCES JpegCodec.cpp PKG libjpeg)
endif()
