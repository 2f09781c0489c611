# DEB and RPM packages from one build directory: `cpack` writes both, each
# laid out as its family of distributions expects.
#
#   DEB (Debian Policy)               RPM (Fedora/RHEL guidelines)
#   libneskplatform1, libneskutils1   neskutils-libs      shared libraries
#   nesk-disks                        neskutils           the tool, manual, completion
#   libneskutils-dev                  neskutils-devel     headers, .so links, pkg-config, CMake
#   *-dbgsym (.ddeb)                  *-debuginfo         debug symbols
#
# Each format has install rules of its own (components deb_* and rpm_*, run
# only by cpack), so the libraries land in /usr/lib/<multiarch> for DEB and in
# /usr/lib64 for RPM on 64-bit machines whatever CMAKE_INSTALL_LIBDIR is;
# cmake/cpack-generator.cmake hands each generator its components.

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(NESK_DEB_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(NESK_DEB_LIBDIR lib)
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(NESK_RPM_LIBDIR lib64)
else()
  set(NESK_RPM_LIBDIR lib)
endif()
# Debian installs shared libraries without the execute bit, RPM with it (its
# debuginfo extraction only takes executable files).
set(NESK_READABLE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
nesk_install_layout(deb PACKAGE LIBDIR ${NESK_DEB_LIBDIR}
  COMPONENTS deb_platform deb_utils deb_tools deb_devel
  LIBRARY_PERMISSIONS ${NESK_READABLE})
nesk_install_layout(rpm PACKAGE LIBDIR ${NESK_RPM_LIBDIR}
  COMPONENTS rpm_platform rpm_utils rpm_tools rpm_devel
  LIBRARY_PERMISSIONS ${NESK_READABLE} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

# What the libraries run. Probing and the in-use checks run parted, mdadm,
# pvscan (lvm2), xfs_logprint (xfsprogs), mount and blkid; only some callers'
# helpers run ssh, sshpass, tar and systemctl.
set(NESK_DEB_DEPENDS "mount, parted, mdadm, lvm2, xfsprogs")
set(NESK_DEB_RECOMMENDS "openssh-client, sshpass")
set(NESK_DEB_SUGGESTS "systemd")
set(NESK_RPM_REQUIRES "util-linux, parted, mdadm, lvm2, xfsprogs")
set(NESK_RPM_SUGGESTS "openssh-clients, sshpass, tar, systemd")

set(CPACK_GENERATOR "RPM;DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME neskutils)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "neskutils developers")
# The maintainer; packaging/debian/copyright and changelog name it too.
set(CPACK_PACKAGE_CONTACT "neskutils developers <neskutils@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-generator.cmake)
set(CPACK_NESK_DEB_COMPONENTS deb_platform deb_utils deb_tools deb_devel)
set(CPACK_NESK_RPM_COMPONENTS rpm_platform rpm_utils rpm_tools rpm_devel)
set(CPACK_COMPONENTS_ALL runtime devel)
# Stripping is left to the debug symbol packages, which take the symbols out
# of the installed files first.
set(CPACK_STRIP_FILES OFF)

# --- DEB ---
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in each component's staging directory; the libraries
# the tool and libneskutils need are in their siblings'. (The dependencies on
# the libraries' own packages come from the component dependencies below.)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ../deb_platform${CPACK_PACKAGING_INSTALL_PREFIX}/${NESK_DEB_LIBDIR}
  ../deb_utils${CPACK_PACKAGING_INSTALL_PREFIX}/${NESK_DEB_LIBDIR})
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-repair-ddebs.cmake)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_COMPONENT_DEB_UTILS_DEPENDS deb_platform)
set(CPACK_COMPONENT_DEB_TOOLS_DEPENDS deb_utils)
set(CPACK_COMPONENT_DEB_DEVEL_DEPENDS deb_platform deb_utils)

set(CPACK_DEBIAN_DEB_PLATFORM_PACKAGE_NAME libneskplatform1)
set(CPACK_DEBIAN_DEB_UTILS_PACKAGE_NAME libneskutils1)
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_NAME nesk-disks)
set(CPACK_DEBIAN_DEB_DEVEL_PACKAGE_NAME libneskutils-dev)
set(CPACK_DEBIAN_DEB_PLATFORM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEB_UTILS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DEB_DEVEL_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEB_UTILS_PACKAGE_DEPENDS "${NESK_DEB_DEPENDS}")
set(CPACK_DEBIAN_DEB_UTILS_PACKAGE_RECOMMENDS "${NESK_DEB_RECOMMENDS}")
set(CPACK_DEBIAN_DEB_UTILS_PACKAGE_SUGGESTS "${NESK_DEB_SUGGESTS}")
# A shlibs file for callers' packages (dpkg-shlibdeps), and the ldconfig
# trigger that runs ldconfig once at the end of an installation.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
foreach(component DEB_PLATFORM DEB_UTILS)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
endforeach()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEB_PLATFORM_DESCRIPTION "platform services of the neskutils libraries
The host platform as libneskutils sees it: process runner, configuration
store, mount-table parser, debug log writer, name resolver and sleep. It is a
library of its own so that the platform can be replaced at link time.")
set(CPACK_DEBIAN_DEB_UTILS_DESCRIPTION "node-management utilities for scale-out storage nodes
The block device manager (disk discovery, probing, selection of the disks
that may be given to storage) and the text, file, process, cluster and
system helpers that a storage node's provisioning, install and support
programs share. Probing runs parted, mdadm, lvm2, xfsprogs and mount.")
set(CPACK_DEBIAN_DEB_TOOLS_DESCRIPTION "list the disks of a node that may be given to storage
nesk-disks prints the local disks that are new: no LVM physical volume, no
software-RAID membership, no mounted file system and no stamp of the
appliance, smallest first, as a table or as JSON.")
set(CPACK_DEBIAN_DEB_DEVEL_DESCRIPTION "development files for the neskutils libraries
Headers, the unversioned shared library links, a pkg-config file and a CMake
package for programs that link with libneskutils and libneskplatform.")

# Every package carries the copyright file and the changelog Debian Policy
# asks for, in its own documentation directory.
file(STRINGS packaging/debian/changelog NESK_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT NESK_CHANGELOG_TOP MATCHES "^neskutils \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog does not begin with version ${PROJECT_VERSION}")
endif()
nesk_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog NESK_DEB_CHANGELOG)
# The RPMs' %changelog, in rpm's own format.
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/changelog)
add_custom_target(nesk_deb_changelog ALL DEPENDS ${NESK_DEB_CHANGELOG})
foreach(component DEB_PLATFORM DEB_UTILS DEB_TOOLS DEB_DEVEL)
  string(TOLOWER ${component} lower)
  install(FILES packaging/debian/copyright ${NESK_DEB_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${component}_PACKAGE_NAME}
    COMPONENT ${lower} EXCLUDE_FROM_ALL)
endforeach()

# --- RPM ---
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
# The RPMs' build file: packaging/rpm/neskutils-rpmbuild.in, CPack's own template
# without the tags the Fedora/RHEL guidelines drop (BuildRoot, Group, Vendor,
# Packager); the packager (CPACK_PACKAGE_CONTACT) and the vendor come from rpm
# macros, as a build system sets them. CPack fills no scriptlets into a build
# file of its user's, so the libraries get a copy with the post and postun lines
# filled in: ldconfig after installing and removing them, in the one-line
# form RHEL 7 needs (later releases run it from glibc's file triggers too).
set(NESK_RPM_BUILD_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/neskutils-rpmbuild.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${NESK_RPM_BUILD_FILE})
file(READ ${NESK_RPM_BUILD_FILE} nesk_libs_build_file)
foreach(scriptlet post postun)
  if(NOT nesk_libs_build_file MATCHES "\n@${scriptlet}_@\n")
    message(FATAL_ERROR "${NESK_RPM_BUILD_FILE} has no line @${scriptlet}_@")
  endif()
  string(REPLACE "\n@${scriptlet}_@\n" "\n%${scriptlet} -p /sbin/ldconfig\n"
    nesk_libs_build_file "${nesk_libs_build_file}")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/neskutils-libs-rpmbuild.in "${nesk_libs_build_file}")
set(CPACK_RPM_USER_BINARY_SPECFILE ${NESK_RPM_BUILD_FILE})
set(CPACK_RPM_RPM_LIBS_USER_BINARY_SPECFILE ${PROJECT_BINARY_DIR}/packaging/neskutils-libs-rpmbuild.in)
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_COMPONENT_RPM_PLATFORM_GROUP rpm_libs)
set(CPACK_COMPONENT_RPM_UTILS_GROUP rpm_libs)
set(CPACK_RPM_RPM_LIBS_PACKAGE_NAME neskutils-libs)
set(CPACK_RPM_RPM_TOOLS_PACKAGE_NAME neskutils)
set(CPACK_RPM_RPM_DEVEL_PACKAGE_NAME neskutils-devel)
set(CPACK_RPM_RPM_LIBS_PACKAGE_REQUIRES "${NESK_RPM_REQUIRES}")
set(CPACK_RPM_RPM_LIBS_PACKAGE_SUGGESTS "${NESK_RPM_SUGGESTS}")
set(NESK_RPM_SAME_LIBS "neskutils-libs%{?_isa} = %{version}-%{release}")
set(CPACK_RPM_RPM_TOOLS_PACKAGE_REQUIRES "${NESK_RPM_SAME_LIBS}")
set(CPACK_RPM_RPM_DEVEL_PACKAGE_REQUIRES "${NESK_RPM_SAME_LIBS}")
# The licence goes with the libraries, which every other package requires.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/licenses/neskutils-libs
  COMPONENT rpm_utils EXCLUDE_FROM_ALL)
set(CPACK_RPM_RPM_LIBS_USER_FILELIST
  "%license ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/licenses/neskutils-libs/LICENSE")
# Debug symbols and sources in -debuginfo packages; rpmbuild's find-debuginfo
# strips the installed files (cmake/cpack-generator.cmake: unless the paths
# are too short).
set(CPACK_RPM_RPM_LIBS_DEBUGINFO_PACKAGE ON)
set(CPACK_RPM_RPM_TOOLS_DEBUGINFO_PACKAGE ON)
set(CPACK_BUILD_SOURCE_DIRS ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set(CPACK_RPM_BUILD_SOURCE_DIRS_PREFIX /usr/src/debug/neskutils-${PROJECT_VERSION})
# rpm on Debian runs brp-elfperms, which clears the execute bit of shared
# libraries, against the RHEL convention.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define __brp_elfperms %{nil}")

# Directories that other packages own (filesystem, bash-completion, cmake,
# pkgconf).
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/man /usr/share/licenses /usr/share/bash-completion
  /usr/share/bash-completion/completions /usr/lib/systemd /usr/lib/systemd/system
  /usr/${NESK_RPM_LIBDIR}/cmake
  /usr/${NESK_RPM_LIBDIR}/pkgconfig)
foreach(manual ${NESK_MANUALS})
  string(REGEX MATCH "[0-9]$" section ${manual})
  list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man/man${section})
endforeach()

set(CPACK_RPM_RPM_LIBS_PACKAGE_SUMMARY "Shared libraries of the neskutils node-management utilities")
set(CPACK_RPM_RPM_LIBS_PACKAGE_DESCRIPTION "libneskutils: the block device manager (disk discovery, probing, selection
of the disks that may be given to storage) and the text, file, process,
cluster and system helpers that a storage node's provisioning, install and
support programs share; libneskplatform: the host platform's services it
runs on. Probing runs parted, mdadm, lvm2, xfsprogs and mount.")
set(CPACK_RPM_RPM_TOOLS_PACKAGE_SUMMARY "List the disks of a node that may be given to storage")
set(CPACK_RPM_RPM_TOOLS_PACKAGE_DESCRIPTION "nesk-disks prints the local disks that are new: no LVM physical volume, no
software-RAID membership, no mounted file system and no stamp of the
appliance, smallest first, as a table or as JSON.")
set(CPACK_RPM_RPM_DEVEL_PACKAGE_SUMMARY "Development files for the neskutils libraries")
set(CPACK_RPM_RPM_DEVEL_PACKAGE_DESCRIPTION "Headers, the unversioned shared library links, a pkg-config file and a CMake
package for programs that link with libneskutils and libneskplatform.")

include(CPack)
