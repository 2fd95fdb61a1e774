# Project-wide compiler settings: warnings are errors in every target of this project.
add_library(qel_warnings INTERFACE)
if(MSVC)
    target_compile_options(qel_warnings INTERFACE /W4 /WX /permissive-)
else()
    target_compile_options(qel_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
        -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
endif()

# Symbols are hidden unless a declaration says otherwise.
function(qel_hide_symbols target)
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# A shared library must resolve all its symbols at link time, except under clang's sanitizers,
# whose runtime only the executable carries.
function(qel_no_undefined target)
    if(NOT (CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize"))
        target_link_options(${target} PRIVATE "LINKER:--no-undefined")
    endif()
endfunction()
