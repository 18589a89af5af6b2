# ICO and CUR: our writer's files through the module; on Linux also an entry made by libpng.
list(APPEND img_test_sources IcoTest.cpp)
if(NOT WIN32)
    find_package(PNG)
    if(PNG_FOUND)
        list(APPEND img_test_libs PNG::PNG)
        set_source_files_properties(IcoTest.cpp PROPERTIES COMPILE_DEFINITIONS ZEM_ICO_PNG_ENTRY)
    endif()
endif()
