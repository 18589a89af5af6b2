# zemhost, the command-line host, and the units that the tests share with it.
add_library(zem_hostcore STATIC
    BatchRunner.cpp
    BmpWriter.cpp
    DecodeCommand.cpp
    DibImage.cpp
    FailureText.cpp
    FileIdentity.cpp
    HostOptions.cpp
    InfoCommand.cpp
    OutputPlan.cpp
    OverwritePolicy.cpp
    PluginCalls.cpp
    PluginSet.cpp
    ProbeCommand.cpp
    ReceivedDib.cpp
    ResultText.cpp
    StagedFile.cpp
    Thumbnail.cpp
    ThumbsCommand.cpp
    WriteProgress.cpp)
target_include_directories(zem_hostcore PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
set_property(SOURCE HostOptions.cpp APPEND PROPERTY COMPILE_DEFINITIONS
    ZEM_VERSION="${PROJECT_VERSION}")
find_package(Threads REQUIRED)
# zem_bmp: the BMP reader's RLE expander, which draws RLE DIBs for PNG output.
target_link_libraries(zem_hostcore PUBLIC zem_hostlib zem_framework zem_platform zem_bmp
    Threads::Threads)
# info prints the orientation and the colour profile that a picture file names.
target_link_libraries(zem_hostcore PRIVATE zem_codec_meta)

# PNG output through libpng; on Windows the static build of cmake/ZemCodecLibs.cmake, else (a
# build with ZEM_CODEC_LIBS=OFF) the Windows Imaging Component's encoder, a system component
# that chooses its own compression. Either way zemhost.exe needs no DLL beyond Windows' own.
# ZEM_HOST_PNG says whether libpng is at hand, for the tests that read the files back.
if(WIN32 AND ZEM_CODEC_PREFIX)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(ZEM_HOST_LIBPNG REQUIRED IMPORTED_TARGET libpng)
    target_sources(zem_hostcore PRIVATE PngWriterLibpng.cpp)
    target_link_libraries(zem_hostcore PUBLIC PkgConfig::ZEM_HOST_LIBPNG)
    target_compile_definitions(zem_hostcore PUBLIC ZEM_HOST_PNG=0)
elseif(WIN32)
    target_sources(zem_hostcore PRIVATE PngWriterWic.cpp)
    target_link_libraries(zem_hostcore PUBLIC windowscodecs ole32 uuid)
    target_compile_definitions(zem_hostcore PUBLIC ZEM_HOST_PNG=0)
else()
    find_package(PNG REQUIRED)
    target_sources(zem_hostcore PRIVATE PngWriterLibpng.cpp)
    target_link_libraries(zem_hostcore PUBLIC PNG::PNG)
    target_compile_definitions(zem_hostcore PUBLIC ZEM_HOST_PNG=1)
endif()
zem_set_warnings(zem_hostcore)

add_executable(zemhost zemhost.cpp)
target_link_libraries(zemhost PRIVATE zem_hostcore)
zem_set_warnings(zemhost)
if(WIN32)
    target_link_options(zemhost PRIVATE -static)
endif()
