# velmar_manpage(<target> <description>): the man page of a command-line
# program, generated from its --help by Debian's help2man at build time and
# installed with it. Without help2man the program is installed without one.
find_program(VELMAR_HELP2MAN help2man)
if(NOT VELMAR_HELP2MAN)
  message(STATUS "help2man not found (Debian: help2man): the programs are installed without man pages")
endif()

function(velmar_manpage target description)
  if(NOT VELMAR_HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  # The version comes from the project, not from --version, whose lines name
  # the build's revision and library path.
  add_custom_command(OUTPUT ${page}
    COMMAND ${VELMAR_HELP2MAN} --no-info --no-discard-stderr
      --name=${description} --version-string=${PROJECT_VERSION}
      --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Man page of ${target}" VERBATIM)
  add_custom_target(${target}-manpage ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
