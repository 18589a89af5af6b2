# imgsrc.dll under Wine against the native imgsrc: the sample pictures of every format that the
# Windows build reads (our own readers, and WIC's JPEG, PNG and TIFF) and the PNG suite of the
# corpus, decoded by zemhost through imgsrc alone to BMP files by both builds, must give the same
# size, bit count and pixels. Other JPEG pixels than CMYK ones may differ by JPEG_TOLERANCE
# (bmp_compare's TOL or TOL:PERCENT:MAX): the decoders convert YCbCr with different rounding
# (4:4:4 and grey files stay within 1), and Wine's WIC (IJG libjpeg 9) upsamples subsampled chroma in the DCT domain
# where libjpeg-turbo interpolates, which moves some edge pixels of 4:2:0 files by up to about
# 20. Both builds must refuse the same files. bmp_compare (a Windows program of this build)
# prints how many pixels differ and by how much.
# Usage: cmake -DEMULATOR=... -DZEMHOST=... -DNATIVE_ZEMHOST=... -DCOMPARE=... -DSAMPLES_DIR=...
#        [-DCORPUS_DIR=...] -DWORK_DIR=... [-DJPEG_TOLERANCE=2:10:24] -P CompareImgsrc.cmake
# Prints "SKIPPED:" when there is no native build or this machine cannot run the Windows build.

cmake_minimum_required(VERSION 3.25)

foreach(var EMULATOR ZEMHOST NATIVE_ZEMHOST COMPARE SAMPLES_DIR WORK_DIR)
    if(NOT ${var})
        message(FATAL_ERROR "CompareImgsrc: ${var} not set")
    endif()
endforeach()
if(NOT DEFINED JPEG_TOLERANCE)
    set(JPEG_TOLERANCE 2:10:24)
endif()
if(NOT EXISTS ${NATIVE_ZEMHOST})
    message("SKIPPED: no native zemhost at ${NATIVE_ZEMHOST} to compare with "
            "(build the default preset first)")
    return()
endif()

function(windows_path out path)
    string(REPLACE "/" "\\" p "${path}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

# One group per file name extension of the samples (stems are unique within one), and the PNG
# suite. Formats that WIC lacks here (JPEG 2000, camera RAW, WebP, HEIF, JPEG XL) are not offered.
set(groups "")
foreach(ext bmp gif psd ico cur tga pnm pbm pgm ppm pam qoi png tif tiff jpg jpeg)
    file(GLOB files LIST_DIRECTORIES false ${SAMPLES_DIR}/*.${ext})
    if(files)
        list(APPEND groups samples-${ext})
        set(files_samples-${ext} ${files})
        set(tolerance_samples-${ext} 0)
    endif()
endforeach()
set(tolerance_samples-jpg ${JPEG_TOLERANCE})
set(tolerance_samples-jpeg ${JPEG_TOLERANCE})
# CMYK JPEGs form a group of their own at tolerance 0: no colour transform and no subsampled
# chroma, and WIC hands over its CMYK samples (Adobe's inverted ones turned back) to the same
# conversion to RGB that the native build uses.
set(files_samples-jpg-cmyk ${files_samples-jpg})
list(FILTER files_samples-jpg-cmyk INCLUDE REGEX "/jpeg-cmyk[^/]*$")
if(files_samples-jpg-cmyk)
    list(REMOVE_ITEM files_samples-jpg ${files_samples-jpg-cmyk})
    list(APPEND groups samples-jpg-cmyk)
    set(tolerance_samples-jpg-cmyk 0)
endif()
if(CORPUS_DIR AND EXISTS ${CORPUS_DIR}/pngsuite)
    file(GLOB files LIST_DIRECTORIES false ${CORPUS_DIR}/pngsuite/*.png)
    list(APPEND groups pngsuite)
    set(files_pngsuite ${files})
    set(tolerance_pngsuite 0)
else()
    message(STATUS "no PNG suite in the corpus: samples only")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
set(failures "")
set(report "")
set(compared_groups 0)
foreach(group IN LISTS groups)
    set(native_dir ${WORK_DIR}/native/${group})
    set(windows_dir ${WORK_DIR}/windows/${group})
    file(MAKE_DIRECTORY ${native_dir} ${windows_dir})
    execute_process(COMMAND ${NATIVE_ZEMHOST} decode ${files_${group}} -o ${native_dir}/
                            --plugin imgsrc --format bmp
        OUTPUT_QUIET ERROR_QUIET)
    set(win_files "")
    foreach(f IN LISTS files_${group})
        windows_path(w ${f})
        list(APPEND win_files ${w})
    endforeach()
    windows_path(win_out ${windows_dir})
    execute_process(COMMAND ${EMULATOR} ${ZEMHOST} decode ${win_files} -o ${win_out}\\
                            --plugin imgsrc --format bmp
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE windows_text)
    string(STRIP "${windows_text}" windows_text)
    if(rc EQUAL 77)
        message("SKIPPED: ${windows_text}")
        return()
    endif()

    # A native build without the back end of a format (its library missing) decodes none of
    # the group: nothing to compare with.
    file(GLOB native_outputs ${native_dir}/*.bmp)
    if(NOT native_outputs)
        string(APPEND report "${group}: not compared: the native build decodes none of them\n")
        continue()
    endif()
    math(EXPR compared_groups "${compared_groups} + 1")

    # Which files each build refused. A file that only the Windows build refused is asked once
    # more, alone, and the first answer is reported: in one of about a dozen runs of the win32
    # suite zemhost.exe refused the 4:2:0 sample, which it decoded in every other run (some 600
    # runs alone or beside other tests).
    set(refused_both 0)
    foreach(f IN LISTS files_${group})
        get_filename_component(stem ${f} NAME_WE)
        get_filename_component(name ${f} NAME)
        if(EXISTS ${native_dir}/${stem}.bmp AND NOT EXISTS ${windows_dir}/${stem}.bmp)
            windows_path(w ${f})
            execute_process(COMMAND ${EMULATOR} ${ZEMHOST} decode ${w} -o ${win_out}\\
                                    --plugin imgsrc --format bmp
                RESULT_VARIABLE again_rc OUTPUT_QUIET ERROR_QUIET)
            string(APPEND report "${group}: ${stem}: refused by zemhost.exe (exit status ${rc}: "
                                 "${windows_text}); asked again: exit status ${again_rc}\n")
            if(NOT EXISTS ${windows_dir}/${stem}.bmp)
                string(APPEND failures "  ${group}/${name}: the Windows build refuses it, twice "
                                       "(first exit status ${rc}: ${windows_text})\n")
            endif()
        elseif(EXISTS ${windows_dir}/${stem}.bmp AND NOT EXISTS ${native_dir}/${stem}.bmp)
            string(APPEND failures "  ${group}/${name}: only the Windows build decodes it\n")
        elseif(NOT EXISTS ${windows_dir}/${stem}.bmp)
            math(EXPR refused_both "${refused_both} + 1")
        endif()
    endforeach()

    windows_path(win_native ${native_dir})
    execute_process(COMMAND ${EMULATOR} ${COMPARE} ${win_native} ${win_out}
                            ${tolerance_${group}}
        RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE text)
    string(REGEX MATCH "bmp_compare: [^\n]*" summary "${text}")
    string(APPEND report "${group}: ${summary}; ${refused_both} refused by both\n")
    # The lines of the files that differ at all.
    string(REGEX MATCHALL "[^\n]*differ[^\n]*" differing "${text}")
    foreach(line IN LISTS differing)
        string(APPEND report "    ${line}\n")
    endforeach()
    if(NOT rc EQUAL 0)
        string(REGEX MATCHALL "[^\n]*FAIL[^\n]*" lines "${text}")
        string(REPLACE ";" "\n    " lines "${lines}")
        string(APPEND failures "  ${group}: ${summary}\n    ${lines}\n")
    endif()
endforeach()

message(STATUS "imgsrc.dll against the native imgsrc:\n${report}")
if(failures)
    message(FATAL_ERROR "imgsrc.dll differs from the native imgsrc:\n${failures}")
endif()
if(compared_groups EQUAL 0)
    message(FATAL_ERROR "no picture was decoded by both builds")
endif()
