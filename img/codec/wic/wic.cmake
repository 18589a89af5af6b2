# The Windows builds' back end over the Windows Imaging Component (windowscodecs.dll). It comes
# after the library back ends: it reads what only an installed WIC codec reads (HEIF and AVIF
# through the system's extensions, JPEG XR, DDS, camera formats that LibRaw does not know), and
# in a build without the codec libraries (ZEM_CODEC_LIBS=OFF) JPEG, PNG, TIFF and ICO as well.
if(WIN32)
    zem_codec_backend(wic SOURCES WicCodec.cpp WicEncoder.cpp WicSupport.cpp
        LIBS windowscodecs ole32 oleaut32 uuid)
endif()
