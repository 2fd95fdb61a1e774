# Installation: the shared library with its SONAME link, the public headers under
# include/QelConfig/, the tool, a CMake package (QelConfig::QelConfig), qelconfig.pc, and the
# licence and README under share/doc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Run paths: the installed tool finds the libraries, and libQelConfig finds libQelPlatform,
# relative to where they are ($ORIGIN), so an install into any prefix starts as it is, even after
# the tree is moved. A library directory the dynamic loader searches anyway (/usr/lib/<triplet>
# for Debian's packages) gets no run path: there it could only shadow the system's choice, and
# Debian's policy forbids it.
if(NOT WIN32 AND NOT APPLE)
    set(QELCONFIG_SYSTEM_LIBDIRS
        ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
    if(NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST QELCONFIG_SYSTEM_LIBDIRS)
        file(RELATIVE_PATH QELCONFIG_BIN_TO_LIB
            ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
        set_target_properties(qelconfig PROPERTIES
            INSTALL_RPATH "$ORIGIN/${QELCONFIG_BIN_TO_LIB}")
        set_target_properties(QelConfig PROPERTIES INSTALL_RPATH "$ORIGIN")
    endif()
endif()

set(QELCONFIG_INSTALL_TARGETS QelConfig)
if(NOT WIN32)
    list(APPEND QELCONFIG_INSTALL_TARGETS QelPlatform)
endif()

install(TARGETS ${QELCONFIG_INSTALL_TARGETS}
    EXPORT QelConfigTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QelConfig
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} ${CMAKE_INSTALL_INCLUDEDIR}/QelConfig)
install(TARGETS qelconfig RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(QELCONFIG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelConfig)
install(EXPORT QelConfigTargets
    NAMESPACE QelConfig::
    DESTINATION ${QELCONFIG_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QelConfigConfig.cmake.in
    ${PROJECT_BINARY_DIR}/QelConfigConfig.cmake
    INSTALL_DESTINATION ${QELCONFIG_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QelConfigConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/QelConfigConfig.cmake
    ${PROJECT_BINARY_DIR}/QelConfigConfigVersion.cmake
    DESTINATION ${QELCONFIG_CMAKE_DIR})

# The header's inline code calls the variant functions, so callers link their library too.
if(WIN32)
    set(QELCONFIG_PC_REQUIRES_PRIVATE "")
    set(QELCONFIG_PC_LIBS "-loleaut32 -ladvapi32")
else()
    set(QELCONFIG_PC_REQUIRES_PRIVATE "sqlite3")
    set(QELCONFIG_PC_LIBS "-lQelPlatform")
endif()
# qelconfig.pc names the prefix it is installed under, written when it is installed, so it is
# right for `cmake --install --prefix` and any library directory (lib, lib/x86_64-linux-gnu, or
# an absolute one), and pkg-config recognises /usr/include and /usr/lib/<triplet> as the system's
# and leaves them out of the flags it prints.
foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(QELCONFIG_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(QELCONFIG_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
set(QELCONFIG_PC_PREFIX "@QELCONFIG_PC_PREFIX@")  # filled in at install time, below
configure_file(${PROJECT_SOURCE_DIR}/cmake/qelconfig.pc.in ${PROJECT_BINARY_DIR}/qelconfig.pc.in
    @ONLY)
install(CODE "
    set(QELCONFIG_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/qelconfig.pc.in\" \"${PROJECT_BINARY_DIR}/qelconfig.pc\"
        @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/qelconfig.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The tool's manual page and its bash and zsh completions (doc/, completions/), where man and
# the shells look for them under the prefix.
if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/doc/qelconfig.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/completions/qelconfig.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qelconfig)
    install(FILES ${PROJECT_SOURCE_DIR}/completions/_qelconfig
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
endif()
