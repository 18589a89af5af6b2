# The codec libraries of the Windows builds: the Debian sources of the libraries that the Linux
# build links (libjpeg-turbo, zlib, libpng, libtiff, OpenJPEG, LibRaw, libwebp, libjxl with
# highway and brotli, lcms2), built static with this toolchain by scripts/build-codec-libs into a
# cache outside the tree (the first configure of an architecture builds them; later ones, in
# any clone, reuse them). pkg-config then finds them, and only them, for the codec back ends
# and zemhost's PNG writer, which link them statically into the DLL and the program.
# ZEM_CODEC_LIBS=OFF builds without them: WIC and our own readers alone.
option(ZEM_CODEC_LIBS "Windows: link the codec libraries built from Debian's sources" ON)
if(NOT WIN32 OR NOT ZEM_CODEC_LIBS)
    return()
endif()

execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-codec-libs ${CMAKE_SYSTEM_PROCESSOR}
    OUTPUT_VARIABLE zem_codec_prefix_out
    RESULT_VARIABLE zem_codec_result)
string(STRIP "${zem_codec_prefix_out}" zem_codec_prefix_out)
string(REGEX REPLACE ".*\n" "" ZEM_CODEC_PREFIX "${zem_codec_prefix_out}")
if(NOT zem_codec_result EQUAL 0 OR NOT EXISTS "${ZEM_CODEC_PREFIX}/complete")
    message(FATAL_ERROR "The codec libraries for ${CMAKE_SYSTEM_PROCESSOR} could not be built "
        "(messages above). Configure with -DZEM_CODEC_LIBS=OFF for a build over WIC alone.")
endif()
message(STATUS "Codec libraries: ${ZEM_CODEC_PREFIX}")

set(ENV{PKG_CONFIG_LIBDIR} "${ZEM_CODEC_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Static libraries: their own dependencies come with them.
set(PKG_CONFIG_ARGN --static)
list(APPEND CMAKE_FIND_ROOT_PATH "${ZEM_CODEC_PREFIX}")
