# RPM and DEB packages from one configuration: `cpack` in the build directory
# writes neskutils (runtime) and neskutils-devel / neskutils-dev (development)
# for both formats. The packages install under /usr; build a package for a
# RHEL-family node with -DCMAKE_INSTALL_LIBDIR=lib64, as its %cmake does.
set(CPACK_GENERATOR "RPM;DEB")
set(CPACK_PACKAGE_NAME neskutils)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "neskutils developers")
set(CPACK_PACKAGE_CONTACT "neskutils developers <neskutils@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Node-management utilities: block device manager, nesk-disks and system helpers")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime devel)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "neskutils libraries and the nesk-disks tool")
set(CPACK_COMPONENT_DEVEL_DESCRIPTION "Headers, pkg-config and CMake files for neskutils")
set(CPACK_COMPONENT_DEVEL_DEPENDS runtime)

# The commands the libraries run to find disks in use and probe them.
set(NESK_RUNTIME_COMMANDS "xfsprogs, lvm2, mdadm, util-linux")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME neskutils)
set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME neskutils-dev)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "mount, ${NESK_RUNTIME_COMMANDS}")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
set(CPACK_RPM_PACKAGE_GROUP "System Environment/Base")
set(CPACK_RPM_RUNTIME_PACKAGE_NAME neskutils)
set(CPACK_RPM_DEVEL_PACKAGE_NAME neskutils-devel)
# On RHEL-family systems mount(8) comes with util-linux.
set(CPACK_RPM_RUNTIME_PACKAGE_REQUIRES "${NESK_RUNTIME_COMMANDS}, /usr/bin/mount")
set(CPACK_RPM_DEVEL_PACKAGE_REQUIRES "neskutils = ${PROJECT_VERSION}")
# Directories that belong to the filesystem package, not to ours.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/man /usr/share/man/man1 /usr/share/bash-completion
  /usr/share/bash-completion/completions /usr/lib64/cmake /usr/lib/cmake
  /usr/lib64/pkgconfig /usr/lib/pkgconfig /usr/include /usr/lib/systemd /usr/lib/systemd/system)

include(CPack)
