# JPEG 2000 (JP2 files and codestreams) through OpenJPEG (Linux builds).
if(NOT WIN32)
    zem_codec_backend(jp2 SOURCES Jp2Codec.cpp PKG libopenjp2)
endif()
