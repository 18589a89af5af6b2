# AVIF image sequences through libavif (Linux builds), for the HEIF back end, which hands them on.
if(NOT WIN32)
    zem_codec_backend(avis SOURCES AvifSequence.cpp PKG libavif)
endif()
