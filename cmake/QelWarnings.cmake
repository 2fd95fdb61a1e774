# Project-wide compiler settings: warnings are errors in every target of this project.
add_library(qel_warnings INTERFACE)
if(MSVC)
    target_compile_options(qel_warnings INTERFACE /W4 /WX /permissive-)
else()
    target_compile_options(qel_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
        -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
    # GCC 12 at -O2 reports a false -Wrestrict overlap in "literal" + std::string (GCC bug 105329).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(qel_warnings INTERFACE -Wno-restrict)
    endif()
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
