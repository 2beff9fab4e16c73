# Compares the dynamic symbol table of the shared library with the fifteen
# names callers look up. Run as: cmake -DNM=<nm> -DLIBRARY=<lib> -P <this>.

set(expected
  DDSCheck DDSDownload DDSGetCLK DDSGetDigitalIn DDSGetDivNum DDSGetMeasure
  DDSResetCounter DDSSearch DDSSetDIOMode DDSSetDigitalOut DDSSetDivNum
  DDSSetFrequency DDSSetPowerOnOutput DDSSetSingleWave DDSSetTrigger)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE table RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}: ${err}")
endif()

set(found "")
set(not_code "")
string(REPLACE "\n" ";" lines "${table}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)")
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
message(STATUS "exactly the fifteen DDS functions are exported")
