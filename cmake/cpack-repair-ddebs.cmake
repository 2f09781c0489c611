# Run by cpack after each generator (CPACK_POST_BUILD_SCRIPTS): completes the
# debug symbol packages (.ddeb) that CPack's DEB generator writes. Its md5sums
# name each file by its path in the staging directory instead of its path in
# the package, its .debug files may come out executable, and the packages
# lack the documentation directory that Debian's dbgsym packages link to
# their library's. Each .ddeb is unpacked, put right and packed again.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(NESK_DPKG_DEB dpkg-deb)
if(NOT NESK_DPKG_DEB)
  message(WARNING "dpkg-deb not found: the -dbgsym packages are left as CPack wrote them")
  return()
endif()

function(nesk_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${errors}")
  endif()
endfunction()

foreach(package ${CPACK_PACKAGE_FILES})
  if(NOT package MATCHES "\\.ddeb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/ddeb-repair)
  file(REMOVE_RECURSE ${tree})
  nesk_run(${NESK_DPKG_DEB} --raw-extract ${package} ${tree})

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
  list(SORT files)
  set(sums "")
  foreach(file ${files})
    if(NOT IS_SYMLINK ${tree}/${file})
      file(MD5 ${tree}/${file} sum)
      string(APPEND sums "${sum}  ${file}\n")
    endif()
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  nesk_run(chmod -R a-x,u+w,a+rX ${tree}/usr/lib/debug)

  file(STRINGS ${tree}/DEBIAN/control name REGEX "^Package: ")
  string(REGEX REPLACE "^Package: " "" name "${name}")
  string(REGEX REPLACE "-dbgsym$" "" base "${name}")
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${base} ${tree}/usr/share/doc/${name} SYMBOLIC)

  nesk_run(${NESK_DPKG_DEB} --root-owner-group --build ${tree} ${package})
  file(REMOVE_RECURSE ${tree})
endforeach()
