# The API reference (doc/Doxyfile.in): `cmake --build <tree> --target docs` writes <tree>/docs/html, and the
# "doc" install component (the libvorna-doc package) carries it when it has been built.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
    configure_file(${PROJECT_SOURCE_DIR}/doc/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
    add_custom_target(docs COMMAND ${CMAKE_COMMAND} -E rm -rf ${PROJECT_BINARY_DIR}/docs
        COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
endif()
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libvorna-doc
    COMPONENT doc OPTIONAL)
