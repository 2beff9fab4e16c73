# Compares the dynamic symbol table of a shared library with the names its
# module-definition file lists (the one list of what each face exports, on
# Windows and Linux alike). Run as:
#   cmake -DNM=<nm> -DLIBRARY=<lib> -DDEF_FILE=<file.def> -P <this>

file(STRINGS ${DEF_FILE} def_lines REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]*$")
set(expected "")
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" name)
  list(APPEND expected ${name})
endforeach()
list(SORT expected)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE table RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}: ${err}")
endif()

set(found "")
set(not_code "")
string(REPLACE "\n" ";" lines "${table}")
foreach(line IN LISTS lines)
  # A version node of the version script (type A) is no symbol.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)" AND NOT CMAKE_MATCH_1 STREQUAL "A")
    list(APPEND found ${CMAKE_MATCH_2})
    if(NOT CMAKE_MATCH_1 STREQUAL "T")
      list(APPEND not_code "${CMAKE_MATCH_2} (${CMAKE_MATCH_1})")
    endif()
  endif()
endforeach()
list(SORT found)

if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
if(not_code)
  message(FATAL_ERROR "exported names that are not functions: ${not_code}")
endif()
list(LENGTH expected count)
message(STATUS "exactly the ${count} functions of ${DEF_FILE} are exported")
