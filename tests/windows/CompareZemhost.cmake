# zemhost.exe under Wine against the native zemhost: each sample picture (samples/*.bmp, *.gif)
# decoded to BMP by both must give byte-identical files, and so must PNG files written by both.
# Usage: cmake -DEMULATOR=... -DZEMHOST=... -DNATIVE_ZEMHOST=... -DSAMPLES_DIR=... -DWORK_DIR=...
#        -P CompareZemhost.cmake
# Prints "SKIPPED:" (the test's skip pattern) when there is no native build to compare with or
# this machine cannot run the Windows build.

cmake_minimum_required(VERSION 3.25)

foreach(var EMULATOR ZEMHOST NATIVE_ZEMHOST SAMPLES_DIR WORK_DIR)
    if(NOT ${var})
        message(FATAL_ERROR "CompareZemhost: ${var} not set")
    endif()
endforeach()

if(NOT EXISTS ${NATIVE_ZEMHOST})
    message("SKIPPED: no native zemhost at ${NATIVE_ZEMHOST} to compare with "
            "(build the default preset first)")
    return()
endif()

# Drive Z: of Wine is the Unix root.
function(windows_path out path)
    string(REPLACE "/" "\\" p "${path}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/native ${WORK_DIR}/windows)
file(GLOB samples LIST_DIRECTORIES false ${SAMPLES_DIR}/*.bmp ${SAMPLES_DIR}/*.gif)
if(NOT samples)
    message(FATAL_ERROR "no sample pictures in ${SAMPLES_DIR}")
endif()

set(failures "")
set(compared 0)
foreach(sample IN LISTS samples)
    get_filename_component(name ${sample} NAME)
    # Each picture goes to its own plug-in by name: left to choose, both hosts would first ask
    # the video plug-in, whose probe through the system's media framework costs seconds a file
    # under Wine.
    get_filename_component(extension ${sample} LAST_EXT)
    if(extension STREQUAL ".gif")
        set(plugin gifsrc)
    else()
        set(plugin bmpsrc)
    endif()
    set(native_out ${WORK_DIR}/native/${name}.bmp)
    set(windows_out ${WORK_DIR}/windows/${name}.bmp)
    execute_process(COMMAND ${NATIVE_ZEMHOST} decode ${sample} --plugin ${plugin} -o ${native_out}
        RESULT_VARIABLE native_rc OUTPUT_VARIABLE native_text ERROR_VARIABLE native_text)
    windows_path(win_sample ${sample})
    windows_path(win_out ${windows_out})
    execute_process(COMMAND ${EMULATOR} ${ZEMHOST} decode ${win_sample} --plugin ${plugin}
        -o ${win_out}
        RESULT_VARIABLE windows_rc OUTPUT_VARIABLE windows_text ERROR_VARIABLE windows_text)
    if(windows_rc EQUAL 77)
        message("SKIPPED: ${windows_text}")
        return()
    endif()
    if(NOT native_rc EQUAL windows_rc)
        string(APPEND failures "  ${name}: native exit ${native_rc}, Windows exit ${windows_rc}\n"
                               "    native: ${native_text}    Windows: ${windows_text}\n")
        continue()
    endif()
    if(NOT native_rc EQUAL 0)
        message(STATUS "${name}: both refuse it (exit ${native_rc})")
        continue()
    endif()
    if(NOT EXISTS ${windows_out})
        string(APPEND failures "  ${name}: the Windows build wrote no file\n")
        continue()
    endif()
    file(SHA256 ${native_out} native_hash)
    file(SHA256 ${windows_out} windows_hash)
    if(NOT native_hash STREQUAL windows_hash)
        file(SIZE ${native_out} native_size)
        file(SIZE ${windows_out} windows_size)
        string(APPEND failures "  ${name}: BMP files differ (native ${native_size} bytes, "
                               "Windows ${windows_size} bytes)\n")
        continue()
    endif()
    math(EXPR compared "${compared} + 1")
    message(STATUS "${name}: identical BMP output")
endforeach()

# PNG output goes through libpng and zlib on both, from the same sources: the same files, at
# the default level and at --png-level 9 (a build without the codec libraries, ZEM_CODEC_LIBS=OFF,
# writes through WIC's encoder instead, which makes other bytes of the same pixels).
list(GET samples 0 sample)
windows_path(win_sample ${sample})
foreach(level 2 9)
    windows_path(win_png ${WORK_DIR}/windows/first-${level}.png)
    execute_process(COMMAND ${EMULATOR} ${ZEMHOST} decode ${win_sample} -o ${win_png}
                            --png-level ${level}
        RESULT_VARIABLE png_rc OUTPUT_VARIABLE png_text ERROR_VARIABLE png_text)
    execute_process(COMMAND ${NATIVE_ZEMHOST} decode ${sample} -o ${WORK_DIR}/native/first-${level}.png
                            --png-level ${level}
        RESULT_VARIABLE native_png_rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT png_rc EQUAL 0 OR NOT native_png_rc EQUAL 0)
        string(APPEND failures "  PNG output: Windows exit ${png_rc}, native exit "
                               "${native_png_rc}: ${png_text}\n")
    elseif(png_text MATCHES "no effect in this build")
        message(STATUS "PNG output through WIC's encoder: not compared byte for byte")
    else()
        file(SHA256 ${WORK_DIR}/windows/first-${level}.png windows_hash)
        file(SHA256 ${WORK_DIR}/native/first-${level}.png native_hash)
        if(NOT windows_hash STREQUAL native_hash)
            string(APPEND failures "  PNG output at --png-level ${level}: the files differ\n")
        endif()
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "zemhost.exe differs from the native zemhost:\n${failures}")
endif()
if(compared EQUAL 0)
    message(FATAL_ERROR "no sample was decoded by both builds")
endif()
message(STATUS "${compared} sample(s) decode to identical BMP files, and PNG output to "
               "identical files")
