# imgsrc.dll under Wine against the native imgsrc: the sample pictures of every format that both
# builds read through the same code (our own readers and the codec libraries, which the Windows
# build links from the same sources), the pictures that the native make_compare_fixtures writes
# (JPEG of every layout, TIFF compressions, JPEG 2000, DNG, WebP, JPEG XL) and the PNG suite of
# the corpus, decoded by zemhost through imgsrc alone to BMP files by both builds, pictures and
# previews, must give byte-identical files. Both builds must refuse the same files. bmp_compare
# (a Windows program of this build) prints how many pixels differ and by how much.
# JXL_TOLERANCE (32-bit builds: 1) lets JPEG XL pixels differ by that much: Highway leaves its
# AVX2 and AVX-512 code out of 32-bit x86 builds (the AVX-512 code needs 64-bit BMI2
# intrinsics), so 32-bit libjxl runs SSE4 code where the 64-bit builds run AVX-512 or AVX2
# with fused multiply-adds, and a few pixels of lossy pictures round the other way.
# Usage: cmake -DEMULATOR=... -DZEMHOST=... -DNATIVE_ZEMHOST=... -DCOMPARE=... -DSAMPLES_DIR=...
#        [-DMAKE_FIXTURES=...] [-DCORPUS_DIR=...] [-DJXL_TOLERANCE=N] -DWORK_DIR=...
#        -P CompareImgsrc.cmake
# Prints "SKIPPED:" when there is no native build or this machine cannot run the Windows build.

cmake_minimum_required(VERSION 3.25)

foreach(var EMULATOR ZEMHOST NATIVE_ZEMHOST COMPARE SAMPLES_DIR WORK_DIR)
    if(NOT ${var})
        message(FATAL_ERROR "CompareImgsrc: ${var} not set")
    endif()
endforeach()
if(NOT EXISTS ${NATIVE_ZEMHOST})
    message("SKIPPED: no native zemhost at ${NATIVE_ZEMHOST} to compare with "
            "(build the default preset first)")
    return()
endif()

function(windows_path out path)
    string(REPLACE "/" "\\" p "${path}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
# One group per file name extension of the samples and of the fixtures (stems are unique within
# one), and the PNG suite. HEIF and AVIF are left out: the Windows build reads them only through
# an installed WIC codec, which Wine does not have.
set(extensions bmp gif psd ico cur tga pnm pbm pgm ppm pam qoi dds icns png tif tiff jpg jpeg mpo jp2 j2k dng
    webp jxl)
set(groups "")
set(fixtures_dir ${WORK_DIR}/fixtures)
file(MAKE_DIRECTORY ${fixtures_dir})
if(MAKE_FIXTURES AND EXISTS ${MAKE_FIXTURES})
    execute_process(COMMAND ${MAKE_FIXTURES} ${fixtures_dir} RESULT_VARIABLE rc
        ERROR_VARIABLE text)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "make_compare_fixtures failed: ${text}")
    endif()
else()
    message(STATUS "no make_compare_fixtures in the native build: samples only")
endif()
foreach(source samples fixtures)
    foreach(ext IN LISTS extensions)
        if(source STREQUAL samples)
            file(GLOB files LIST_DIRECTORIES false ${SAMPLES_DIR}/*.${ext})
        else()
            file(GLOB files LIST_DIRECTORIES false ${fixtures_dir}/*.${ext})
        endif()
        if(files)
            list(APPEND groups ${source}-${ext})
            set(files_${source}-${ext} ${files})
        endif()
    endforeach()
endforeach()
if(CORPUS_DIR AND EXISTS ${CORPUS_DIR}/pngsuite)
    file(GLOB files LIST_DIRECTORIES false ${CORPUS_DIR}/pngsuite/*.png)
    list(APPEND groups pngsuite)
    set(files_pngsuite ${files})
else()
    message(STATUS "no PNG suite in the corpus: samples only")
endif()

set(failures "")
set(report "")
set(compared_groups 0)
foreach(group IN LISTS groups)
  foreach(mode picture preview)
    set(native_dir ${WORK_DIR}/native/${group}-${mode})
    set(windows_dir ${WORK_DIR}/windows/${group}-${mode})
    file(MAKE_DIRECTORY ${native_dir} ${windows_dir})
    set(options --plugin imgsrc --format bmp)
    if(mode STREQUAL preview)
        list(APPEND options --preview)
    endif()
    execute_process(COMMAND ${NATIVE_ZEMHOST} decode ${files_${group}} -o ${native_dir}/ ${options}
        OUTPUT_QUIET ERROR_QUIET)
    set(win_files "")
    foreach(f IN LISTS files_${group})
        windows_path(w ${f})
        list(APPEND win_files ${w})
    endforeach()
    windows_path(win_out ${windows_dir})
    execute_process(COMMAND ${EMULATOR} ${ZEMHOST} decode ${win_files} -o ${win_out}\\ ${options}
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE windows_text)
    string(STRIP "${windows_text}" windows_text)
    if(rc EQUAL 77)
        message("SKIPPED: ${windows_text}")
        return()
    endif()

    # A native build without the back end of a format (its library missing) decodes none of
    # the group, and most formats have no preview: nothing to compare with.
    file(GLOB native_outputs ${native_dir}/*.bmp)
    if(NOT native_outputs)
        if(mode STREQUAL picture)
            string(APPEND report "${group}: not compared: the native build decodes none of them\n")
        endif()
        continue()
    endif()
    math(EXPR compared_groups "${compared_groups} + 1")
    set(tolerance 0)
    if(group MATCHES "-jxl$" AND JXL_TOLERANCE)
        set(tolerance ${JXL_TOLERANCE})
    endif()

    # Which files each build refused. A file that only the Windows build refused is asked once
    # more, alone, and the first answer is reported: in one of about a dozen runs of the win32
    # suite zemhost.exe refused the 4:2:0 sample, which it decoded in every other run (some 600
    # runs alone or beside other tests).
    set(refused_both 0)
    foreach(f IN LISTS files_${group})
        get_filename_component(stem ${f} NAME_WE)
        get_filename_component(name ${f} NAME)
        set(native_bmp ${native_dir}/${stem}.bmp)
        set(windows_bmp ${windows_dir}/${stem}.bmp)
        if(EXISTS ${native_bmp} AND NOT EXISTS ${windows_bmp})
            windows_path(w ${f})
            execute_process(COMMAND ${EMULATOR} ${ZEMHOST} decode ${w} -o ${win_out}\\ ${options}
                RESULT_VARIABLE again_rc OUTPUT_QUIET ERROR_QUIET)
            string(APPEND report "${group} ${mode}: ${stem}: refused by zemhost.exe (exit status "
                                 "${rc}: ${windows_text}); asked again: exit status ${again_rc}\n")
            if(NOT EXISTS ${windows_bmp})
                string(APPEND failures "  ${group}/${name} ${mode}: the Windows build refuses "
                                       "it, twice (first exit status ${rc}: ${windows_text})\n")
            endif()
        elseif(EXISTS ${windows_bmp} AND NOT EXISTS ${native_bmp})
            string(APPEND failures "  ${group}/${name} ${mode}: only the Windows build reads it\n")
        elseif(NOT EXISTS ${windows_bmp})
            math(EXPR refused_both "${refused_both} + 1")
        elseif(tolerance EQUAL 0)
            file(SHA256 ${native_bmp} native_hash)
            file(SHA256 ${windows_bmp} windows_hash)
            if(NOT native_hash STREQUAL windows_hash)
                string(APPEND failures "  ${group}/${name} ${mode}: the BMP files differ\n")
            endif()
        endif()
    endforeach()

    windows_path(win_native ${native_dir})
    execute_process(COMMAND ${EMULATOR} ${COMPARE} ${win_native} ${win_out} ${tolerance}
        RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE text)
    string(REGEX MATCH "bmp_compare: [^\n]*" summary "${text}")
    string(APPEND report "${group} ${mode}: ${summary}; ${refused_both} refused by both\n")
    # The lines of the files that differ at all.
    string(REGEX MATCHALL "[^\n]*differ[^\n]*" differing "${text}")
    foreach(line IN LISTS differing)
        string(APPEND report "    ${line}\n")
    endforeach()
    if(NOT rc EQUAL 0)
        string(REGEX MATCHALL "[^\n]*FAIL[^\n]*" lines "${text}")
        string(REPLACE ";" "\n    " lines "${lines}")
        string(APPEND failures "  ${group} ${mode}: ${summary}\n    ${lines}\n")
    endif()
  endforeach()
endforeach()

message(STATUS "imgsrc.dll against the native imgsrc:\n${report}")
if(failures)
    message(FATAL_ERROR "imgsrc.dll differs from the native imgsrc:\n${failures}")
endif()
if(compared_groups EQUAL 0)
    message(FATAL_ERROR "no picture was decoded by both builds")
endif()
