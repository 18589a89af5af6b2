# PCX/DCX, SGI, XPM, XBM, WBMP, Sun raster, HDR and PFM: one table of files written with Pillow
# or by hand, through zemhost, against Pillow's decode or the picture written (own_formats_table.py).
# Under Wine too, where the same files must give the same pixels.
find_program(ZEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(ZEM_PYTHON3 AND TARGET zemhost AND (NOT WIN32 OR ZEM_EMULATOR_RUNS))
    set(zem_emulator "")
    if(CMAKE_CROSSCOMPILING)
        set(zem_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
    add_test(NAME ImgOwnFormatsTable
        COMMAND ${ZEM_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/own_formats_table.py
            ${CMAKE_CURRENT_BINARY_DIR}/own-formats-table $<TARGET_FILE:zemhost> ${zem_emulator})
    set_tests_properties(ImgOwnFormatsTable PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
