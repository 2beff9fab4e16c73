# Run by CPack (CPACK_POST_BUILD_SCRIPTS) on the packages it made: mends the
# -dbgsym packages of CMake 3.25 (Debian 12) as Debian's own are made. CPack
# writes their md5sums with the staging directory's absolute paths, which
# match no installed file (dpkg --verify would call every one missing), and
# gives them no documentation directory; Debian's point it at the package
# they belong to, whose copyright covers them.
function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed (${failed}): ${ARGN}")
  endif()
endfunction()

foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "/([^/_]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(package ${CMAKE_MATCH_1})
  set(tree ${ddeb}.tree)
  file(REMOVE_RECURSE ${tree})
  run(dpkg-deb --raw-extract ${ddeb} ${tree})
  file(READ ${tree}/DEBIAN/md5sums sums)
  string(REGEX REPLACE "  /[^\n]*-dbgsym/usr/" "  usr/" sums "${sums}")
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  file(GLOB_RECURSE debug_files ${tree}/usr/lib/debug/*.debug)
  file(CHMOD ${debug_files} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${package} ${tree}/usr/share/doc/${package}-dbgsym SYMBOLIC)
  run(dpkg-deb --root-owner-group --build ${tree} ${ddeb})
  file(REMOVE_RECURSE ${tree})
endforeach()
