# Run at every build (cmake -P): writes the git revision of the source tree
# into a header, touching it only when the revision changed, so that
# --version names the commit the programs were built from. Outside git the
# revision is empty.
#   -DSOURCE_DIR=... -DOUTPUT=.../velmar_revision.h
set(revision "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --always --dirty --abbrev=12
    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(revision "")
  endif()
endif()
set(text "// Generated at build time by cmake/GitRevision.cmake.\n#define VELMAR_GIT_REVISION \"${revision}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()
