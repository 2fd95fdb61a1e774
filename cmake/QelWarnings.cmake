# Project-wide compiler settings. Every target of this project links qel_warnings.
#
# Warnings are errors only with QELCONFIG_WARNINGS_AS_ERRORS, which the developer presets and CI
# turn on: a compiler newer than the ones CI uses may warn about code it accepted before, and a
# user's or packager's build must not fail for that.
add_library(qel_warnings INTERFACE)
if(MSVC)
    target_compile_options(qel_warnings INTERFACE /W4 /permissive-
        $<$<BOOL:${QELCONFIG_WARNINGS_AS_ERRORS}>:/WX>)
else()
    target_compile_options(qel_warnings INTERFACE
        -Wall -Wextra -Wpedantic
        -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
        -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
        $<$<BOOL:${QELCONFIG_WARNINGS_AS_ERRORS}>:-Werror>)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        # GCC 12 at -O2 reports a false -Wrestrict overlap in "literal" + std::string (GCC bug
        # 105329), the way most messages here are built.
        target_compile_options(qel_warnings INTERFACE -Wno-restrict)
        # GCC 12 also reports potential null dereferences inside libstdc++ in correct code:
        # strings built from istreambuf_iterators (how the tests and fuzz drivers read files) and
        # vectors of strings that grow (CLI11's parsing in the tool). The warning needs
        # optimisation (-O2 and above), so it never fires in the Debug builds, only in a user's or
        # packager's. It stays on for the library's own targets, which have neither pattern; all
        # code still gets it from clang (the fuzz and tidy builds).
        target_compile_options(qel_warnings INTERFACE
            "$<$<PATH:IS_PREFIX,${PROJECT_SOURCE_DIR}/src/QelConfig,$<TARGET_PROPERTY:SOURCE_DIR>>:-Wnull-dereference>")
    else()
        target_compile_options(qel_warnings INTERFACE -Wnull-dereference)
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
