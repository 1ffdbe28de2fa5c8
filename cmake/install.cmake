include(CMakePackageConfigHelpers)

# Components follow the Debian packages (debian/rules): "runtime" is the shared library with its SONAME,
# "dev" what builds against it, "doc" the API reference; the tools directory installs into "tools" and
# "devtools".
install(TARGETS vorna EXPORT vornaTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY include/vorna DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev FILES_MATCHING PATTERN "*.h")

install(EXPORT vornaTargets NAMESPACE vorna:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorna COMPONENT dev)
configure_package_config_file(cmake/vornaConfig.cmake.in ${PROJECT_BINARY_DIR}/vornaConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorna)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vornaConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vornaConfig.cmake ${PROJECT_BINARY_DIR}/vornaConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorna COMPONENT dev)

# The pkg-config file finds its prefix from its own place, so the install tree can be moved.
file(RELATIVE_PATH VORNA_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(cmake/vorna.pc.in ${PROJECT_BINARY_DIR}/vorna.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorna.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
include(${CMAKE_CURRENT_LIST_DIR}/docs.cmake)
