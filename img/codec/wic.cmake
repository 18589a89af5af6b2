# The Windows builds' back end over the Windows Imaging Component (windowscodecs.dll), for the
# formats that our own readers leave: JPEG, PNG, TIFF, ICO and any installed WIC codec.
if(WIN32)
    zem_codec_backend(wic SOURCES WicCodec.cpp WicEncoder.cpp WicSupport.cpp
        LIBS windowscodecs ole32 oleaut32 uuid)
endif()
