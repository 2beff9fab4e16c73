# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the packages' staging trees, before
# they are packed: what Debian's own packaging tools do to installed files.
#  - Manual pages and changelogs are compressed (gzip -9n: no name, no time,
#    so that the same files give the same package), and a page that only
#    includes another (.so) becomes a symbolic link to it.
#  - The programs lose their RUNPATH, which points from bin/ to the lib/ of a
#    plain installation; the packages put the libraries where the loader
#    looks anyway. Programs and libraries lose the compiler's .comment
#    section. CPack then strips them and puts their debug information into
#    the -dbgsym packages.
file(GLOB staging_trees LIST_DIRECTORIES true ${CPACK_TEMPORARY_DIRECTORY}/*/usr)
find_program(objcopy_program objcopy REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed (${failed}): ${ARGN}")
  endif()
endfunction()

foreach(usr IN LISTS staging_trees)
  file(GLOB pages ${usr}/share/man/man*/*)
  foreach(page IN LISTS pages)
    if(IS_SYMLINK ${page} OR page MATCHES "\\.gz$")
      continue()
    endif()
    file(READ ${page} text)
    if(text MATCHES "^\\.so (man[^/\n]+)/([^/\n]+)\n?$")
      get_filename_component(section_dir ${page} DIRECTORY)
      get_filename_component(section_dir ${section_dir} NAME)
      set(target ${CMAKE_MATCH_2}.gz)
      if(NOT section_dir STREQUAL CMAKE_MATCH_1)
        set(target ../${CMAKE_MATCH_1}/${target})
      endif()
      file(REMOVE ${page})
      file(CREATE_LINK ${target} ${page}.gz SYMBOLIC)
    else()
      run(gzip -9nf ${page})
    endif()
  endforeach()

  file(GLOB changelogs ${usr}/share/doc/*/changelog ${usr}/share/doc/*/changelog.Debian)
  foreach(changelog IN LISTS changelogs)
    run(gzip -9nf ${changelog})
  endforeach()

  file(GLOB programs ${usr}/bin/*)
  file(GLOB_RECURSE libraries ${usr}/lib/*.so.*)
  foreach(binary IN LISTS programs libraries)
    if(IS_SYMLINK ${binary})
      continue()
    endif()
    file(READ ${binary} magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
      continue()
    endif()
    file(RPATH_REMOVE FILE ${binary})
    run(${objcopy_program} --remove-section=.comment ${binary})
  endforeach()
endforeach()
