# Read by cpack once for each generator, after CPackConfig.cmake: each format
# packs the components laid out for its own family (cmake/packaging.cmake).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL ${CPACK_NESK_DEB_COMPONENTS})
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_COMPONENTS_ALL ${CPACK_NESK_RPM_COMPONENTS})
  # CPack's RPM generator asks `${RPM_EXECUTABLE} --suggests` whether rpm
  # knows weak dependencies but never looks the program up; without it the
  # Suggests tag is dropped.
  find_program(RPM_EXECUTABLE rpm)
  # The -debuginfo packages carry the sources, whose paths debugedit rewrites
  # in place into /usr/src/debug/...: that works only from source and build
  # directories with longer paths. From shorter ones the packages are
  # stripped instead and have no -debuginfo companion.
  foreach(dir ${CPACK_BUILD_SOURCE_DIRS})
    string(LENGTH "${dir}" have)
    string(LENGTH "${CPACK_RPM_BUILD_SOURCE_DIRS_PREFIX}/src_0" need)
    if(have LESS need)
      message(WARNING "RPM: no -debuginfo packages, binaries stripped: the path "
        "${dir} is shorter than ${CPACK_RPM_BUILD_SOURCE_DIRS_PREFIX}/src_0, "
        "so debugedit cannot point its debug information at the packaged sources")
      set(CPACK_RPM_RPM_LIBS_DEBUGINFO_PACKAGE OFF)
      set(CPACK_RPM_RPM_TOOLS_DEBUGINFO_PACKAGE OFF)
      set(CPACK_STRIP_FILES ON)
      break()
    endif()
  endforeach()
endif()
