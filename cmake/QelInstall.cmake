# Installation: the shared library with its SONAME link, the public headers under
# include/QelConfig/, the tool, a CMake package (QelConfig::QelConfig) and qelconfig.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

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
configure_file(${PROJECT_SOURCE_DIR}/cmake/qelconfig.pc.in ${PROJECT_BINARY_DIR}/qelconfig.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qelconfig.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
