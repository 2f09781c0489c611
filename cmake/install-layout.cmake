# How the build installs: one set of install rules per layout. `cmake --install`
# uses the default layout (CMAKE_INSTALL_LIBDIR); the packages use a layout of
# their family's own (cmake/packaging.cmake), whose rules run only for cpack.
include(CMakePackageConfigHelpers)

find_program(NESK_GZIP gzip)
if(NOT NESK_GZIP)
  message(FATAL_ERROR "gzip is needed: manual pages and package changelogs are installed compressed")
endif()

# nesk_gzip(<file> <result-variable>): builds <file>.gz under the build
# directory (gzip -9n: the same bytes on every build) and names it in
# <result-variable>.
function(nesk_gzip file result)
  get_filename_component(name ${file} NAME)
  set(dir ${PROJECT_BINARY_DIR}/compressed)
  add_custom_command(OUTPUT ${dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dir}/${name}
    COMMAND ${NESK_GZIP} -9 -n -f ${dir}/${name}
    DEPENDS ${file} VERBATIM)
  set(${result} ${dir}/${name}.gz PARENT_SCOPE)
endfunction()

set(NESK_COMPRESSED_MANUALS)
foreach(manual ${NESK_MANUALS})
  nesk_gzip(${manual} compressed)
  list(APPEND NESK_COMPRESSED_MANUALS ${compressed})
endforeach()
add_custom_target(nesk_manuals ALL DEPENDS ${NESK_COMPRESSED_MANUALS})

write_basic_package_version_file(${PROJECT_BINARY_DIR}/neskutilsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)

# nesk_install_layout(<name> LIBDIR <dir>
#                     COMPONENTS <platform> <utils> <tools> <devel>
#                     [LIBRARY_PERMISSIONS <permission>...] [PACKAGE])
# Installs libneskplatform, libneskutils (SONAME links with them, the
# unversioned links with <devel>), the tools with their manual pages and
# completion, and the development files (headers, CMake package, pkg-config
# file) with the libraries in <dir> under the prefix. PACKAGE: the rules run
# only when their component is asked for (as cpack does), and the tools carry
# no RUNPATH, the libraries being in the system's search path.
function(nesk_install_layout name)
  cmake_parse_arguments(arg "PACKAGE" "LIBDIR" "COMPONENTS;LIBRARY_PERMISSIONS" ${ARGN})
  list(LENGTH arg_COMPONENTS count)
  if(NOT arg_LIBDIR OR NOT count EQUAL 4)
    message(FATAL_ERROR "nesk_install_layout(${name}): LIBDIR and four COMPONENTS are needed")
  endif()
  list(GET arg_COMPONENTS 0 platform)
  list(GET arg_COMPONENTS 1 utils)
  list(GET arg_COMPONENTS 2 tools)
  list(GET arg_COMPONENTS 3 devel)
  set(libdir ${arg_LIBDIR})
  set(only_asked)
  set(export neskutilsTargets)
  if(arg_PACKAGE)
    set(only_asked EXCLUDE_FROM_ALL)
    set(export neskutilsTargets_${name})
  endif()
  set(permissions)
  if(arg_LIBRARY_PERMISSIONS)
    set(permissions PERMISSIONS ${arg_LIBRARY_PERMISSIONS})
  endif()
  set(headers ${CMAKE_INSTALL_INCLUDEDIR}/${NESK_INCLUDE_SUBDIR})
  set(cmake_dir ${libdir}/cmake/neskutils)

  install(TARGETS neskplatform EXPORT ${export}
    LIBRARY DESTINATION ${libdir} ${permissions}
      COMPONENT ${platform} NAMELINK_COMPONENT ${devel} ${only_asked}
    PUBLIC_HEADER DESTINATION ${headers} COMPONENT ${devel} ${only_asked})
  install(TARGETS neskutils EXPORT ${export}
    LIBRARY DESTINATION ${libdir} ${permissions}
      COMPONENT ${utils} NAMELINK_COMPONENT ${devel} ${only_asked}
    PUBLIC_HEADER DESTINATION ${headers} COMPONENT ${devel} ${only_asked})

  install(TARGETS ${NESK_TOOLS}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${tools} ${only_asked})
  if(arg_PACKAGE)
    foreach(tool ${NESK_TOOLS})
      install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${tool}\")"
        COMPONENT ${tools} ${only_asked})
    endforeach()
  endif()
  foreach(manual ${NESK_COMPRESSED_MANUALS})
    string(REGEX MATCH "[0-9]\\.gz$" section ${manual})
    string(SUBSTRING ${section} 0 1 section)
    install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
      COMPONENT ${tools} ${only_asked})
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/completion/nesk-disks
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    COMPONENT ${tools} ${only_asked})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/nesk-disks-metrics.service
    ${PROJECT_SOURCE_DIR}/packaging/systemd/nesk-disks-metrics.timer
    DESTINATION ${NESK_SYSTEMD_UNITDIR} COMPONENT ${tools} ${only_asked})

  set(generated ${PROJECT_BINARY_DIR}/layouts/${name})
  install(EXPORT ${export} FILE neskutilsTargets.cmake NAMESPACE neskutils::
    DESTINATION ${cmake_dir} COMPONENT ${devel} ${only_asked})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/neskutilsConfig.cmake.in
    ${generated}/neskutilsConfig.cmake INSTALL_DESTINATION ${cmake_dir})
  install(FILES ${generated}/neskutilsConfig.cmake
    ${PROJECT_BINARY_DIR}/neskutilsConfigVersion.cmake
    DESTINATION ${cmake_dir} COMPONENT ${devel} ${only_asked})
  # The pkg-config file finds the prefix relative to itself, so the installed
  # tree can be moved.
  file(RELATIVE_PATH NESK_PC_TO_PREFIX "/prefix/${libdir}/pkgconfig" "/prefix")
  set(NESK_PC_LIBDIR ${libdir})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/neskutils.pc.in ${generated}/neskutils.pc @ONLY)
  install(FILES ${generated}/neskutils.pc
    DESTINATION ${libdir}/pkgconfig COMPONENT ${devel} ${only_asked})
endfunction()
