# Warnings for the project's own targets; third-party code keeps its defaults.
function(zem_set_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wimplicit-fallthrough
            -Wnon-virtual-dtor)
        if(ZEM_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
endfunction()
