# add_zem_plugin(NAME SOURCES src... [DEF file.def] [LIBS lib...] [STAYS_LOADED])
# Builds one plug-in module: the framework's exports plus the plug-in's own sources, no "lib"
# prefix, placed in bin/plugins/. Only the five exports are visible.
# STAYS_LOADED (Linux): the module is never unmapped once loaded. For modules over libraries
# that keep process-wide state they are not made to give back (codec registries, thread pools,
# tables built once): a host that unloads and reloads the module then neither orphans that
# state nor builds it again.
function(add_zem_plugin name)
    cmake_parse_arguments(ARG "STAYS_LOADED" "DEF" "SOURCES;LIBS" ${ARGN})
    add_library(${name} MODULE ${ARG_SOURCES} $<TARGET_OBJECTS:zem_exports>)
    target_link_libraries(${name} PRIVATE zem_framework ${ARG_LIBS})
    zem_set_warnings(${name})
    set_target_properties(${name} PROPERTIES
        PREFIX ""
        LIBRARY_OUTPUT_DIRECTORY ${ZEM_PLUGIN_DIR}
        RUNTIME_OUTPUT_DIRECTORY ${ZEM_PLUGIN_DIR}
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    if(WIN32)
        if(ARG_DEF)
            target_sources(${name} PRIVATE ${ARG_DEF})
        endif()
        target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            # The .def file names the __stdcall functions without their @N suffix: the linker
            # matches them to the decorated symbols and exports the plain names.
            target_link_options(${name} PRIVATE -Wl,--kill-at -Wl,--enable-stdcall-fixup)
        endif()
    else()
        set(script ${PROJECT_SOURCE_DIR}/cmake/plugin_exports.map)
        target_link_options(${name} PRIVATE -Wl,--version-script=${script})
        # clang's sanitizer and coverage runtimes live in the fuzz executables, so a fuzz build's
        # modules resolve them only when loaded.
        if(NOT ZEM_BUILD_FUZZ)
            target_link_options(${name} PRIVATE -Wl,--no-undefined)
        endif()
        set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${script})
        if(ARG_STAYS_LOADED)
            target_link_options(${name} PRIVATE -Wl,-z,nodelete)
        endif()
    endif()
endfunction()
