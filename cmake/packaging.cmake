# Debian packages with CPack, from the install rules of an existing build tree (host or armhf cross build):
#   libvorna1     the shared library with its SONAME, and a shlibs file for packages built against it
#   libvorna-dev  headers, the unversioned link, the pkg-config file and the CMake package
#   vorna-tools   whatever the tools directory installs (vorna-msg with its man page and completion, the
#                 device emulator, and any tool added there later)
# Configure the tree with -DCMAKE_INSTALL_PREFIX=/usr, so that the library lands in the multiarch
# directory, then: cpack --config <build>/CPackConfig.cmake. tools/check-packages does both and tests
# the result.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorna)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libvorna maintainers <libvorna@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operating-system abstraction library for embedded Linux")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

# The architecture of the packages is that of the target, not of the machine that packs them.
if(CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE VORNA_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(VORNA_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VORNA_DEB_ARCH})
endif()

# dpkg-shlibdeps fills in the dependencies on the C and C++ runtimes (for a cross build through a wrapper
# that knows the target, below); it finds libvorna.so.1 itself in this tree, while the dependency on
# libvorna1 comes from the component relation.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Only libvorna1 holds a library with a SONAME, so only it gets a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
if(CMAKE_CROSSCOMPILING AND VORNA_DEB_ARCH)
    list(GET CMAKE_FIND_ROOT_PATH 0 VORNA_CROSS_ROOT)
    set(VORNA_CROSS_LIBDIR ${VORNA_CROSS_ROOT}/lib)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/dpkg-shlibdeps-cross.in ${PROJECT_BINARY_DIR}/dpkg-shlibdeps-cross
        @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
        WORLD_EXECUTE)
    set(VORNA_SHLIBDEPS ${PROJECT_BINARY_DIR}/dpkg-shlibdeps-cross)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake.in ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
    @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvorna${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvorna-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vorna-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "libvorna${PROJECT_VERSION_MAJOR}"
    DESCRIPTION "Threads, local-socket messaging, shared and physical memory, logging, crash handler and plug-in loader for embedded Linux: the shared library.")
cpack_add_component(dev DISPLAY_NAME "libvorna-dev" DEPENDS runtime
    DESCRIPTION "Headers, pkg-config file and CMake package for building against libvorna.")
cpack_add_component(tools DISPLAY_NAME "vorna-tools" DEPENDS runtime
    DESCRIPTION "vorna-msg (list, call, watch and stand in for libvorna message servers) and the device emulator that runs memory code on development machines.")
