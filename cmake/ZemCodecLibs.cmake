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
# A build folder configured before over other libraries of the cache (an older recipe or
# compiler) forgets what pkg-config and find_library found there: their results are cached, and
# the build would otherwise go on linking the old libraries.
get_filename_component(zem_codec_cache "${ZEM_CODEC_PREFIX}" DIRECTORY)
get_cmake_property(zem_cached CACHE_VARIABLES)
set(zem_stale)
foreach(zem_var IN LISTS zem_cached)
    get_property(zem_value CACHE ${zem_var} PROPERTY VALUE)
    string(FIND "${zem_value}" "${zem_codec_cache}/" zem_in_cache)
    string(FIND "${zem_value}" "${ZEM_CODEC_PREFIX}" zem_current)
    if(NOT zem_in_cache EQUAL -1 AND zem_current EQUAL -1)
        list(APPEND zem_stale ${zem_var})
    endif()
endforeach()
if(zem_stale)
    message(STATUS "Codec libraries changed: the findings of the earlier ones are dropped")
    foreach(zem_var IN LISTS zem_cached)
        if(zem_var MATCHES "^__pkg_config_checked_")
            list(APPEND zem_stale ${zem_var})
        endif()
    endforeach()
    foreach(zem_var IN LISTS zem_stale)
        unset(${zem_var} CACHE)
    endforeach()
endif()

set(ENV{PKG_CONFIG_LIBDIR} "${ZEM_CODEC_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Static libraries: their own dependencies come with them.
set(PKG_CONFIG_ARGN --static)
list(APPEND CMAKE_FIND_ROOT_PATH "${ZEM_CODEC_PREFIX}")
