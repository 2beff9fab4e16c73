# How VelmarDll.dll is linked (included from src/CMakeLists.txt on Windows),
# and, run as a script (cmake -P), how its 32-bit import library is made.

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: rewrites the import library of the 32-bit DLL.
  #
  # The DLL exports the undecorated names, which is what applications ask
  # GetProcAddress for. A C or C++ program compiled against VelmarDll.h sees
  # __stdcall declarations and asks the linker for _DDSSearch@0 and so on,
  # which an import library made from the plain .def lacks. So the import
  # library carries both: _Name@N and _Name, each importing the plain Name.
  # The @N suffixes are read from the compiled objects, never written by
  # hand, so they cannot drift from the header.
  foreach(var NM DLLTOOL DEF_FILE DLL_NAME IMPORT_LIBRARY OBJECTS WORK_DIR)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "WindowsDll.cmake: ${var} not given")
    endif()
  endforeach()
  file(STRINGS ${DEF_FILE} def_lines REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]*$")
  execute_process(COMMAND ${NM} --defined-only ${OBJECTS}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
  if(NOT nm_result EQUAL 0)
    message(FATAL_ERROR "WindowsDll.cmake: ${NM} failed on the DLL's objects")
  endif()
  set(import_def "LIBRARY ${DLL_NAME}\nEXPORTS\n")
  foreach(line ${def_lines})
    string(STRIP "${line}" name)
    if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
      message(FATAL_ERROR "WindowsDll.cmake: no __stdcall symbol _${name}@N among the objects")
    endif()
    string(APPEND import_def "    ${name}@${CMAKE_MATCH_1}\n    ${name}\n")
  endforeach()
  file(WRITE ${WORK_DIR}/VelmarDll-import.def "${import_def}")
  execute_process(
    COMMAND ${DLLTOOL} --kill-at --input-def ${WORK_DIR}/VelmarDll-import.def
            --dllname ${DLL_NAME} --output-lib ${IMPORT_LIBRARY}
    RESULT_VARIABLE dlltool_result)
  if(NOT dlltool_result EQUAL 0)
    message(FATAL_ERROR "WindowsDll.cmake: ${DLLTOOL} could not write ${IMPORT_LIBRARY}")
  endif()
  return()
endif()

# The module-definition file alone decides the exports: the fifteen
# functions under their plain names. Internal symbols never leave the DLL.
set(VELMAR_DEF_FILE ${PROJECT_SOURCE_DIR}/src/VelmarDll.def)
target_sources(VelmarDll PRIVATE ${VELMAR_DEF_FILE})
set_target_properties(VelmarDll PROPERTIES
  PREFIX ""
  OUTPUT_NAME VelmarDll
  LINK_DEPENDS ${VELMAR_DEF_FILE})

# libgcc, libstdc++ and winpthread go inside the DLL, so that it imports
# only Windows system DLLs.
target_link_options(VelmarDll PRIVATE -static -static-libgcc -static-libstdc++)

# The DLL is packed from the core's objects, not linked to the object
# library, so it names the system libraries those objects call itself.
target_link_libraries(VelmarDll PRIVATE setupapi)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The .def names the __stdcall functions undecorated; the linker matches
  # each name to its decorated symbol (and says nothing about it).
  target_link_options(VelmarDll PRIVATE -Wl,--enable-stdcall-fixup)
  if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool dlltool REQUIRED)
  endif()
  add_custom_command(TARGET VelmarDll POST_BUILD
    COMMAND ${CMAKE_COMMAND}
      -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DDEF_FILE=${VELMAR_DEF_FILE}
      -DDLL_NAME=$<TARGET_FILE_NAME:VelmarDll>
      -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:VelmarDll>
      "-DOBJECTS=$<TARGET_OBJECTS:velmardll_face>"
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}
      -P ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Import library of VelmarDll.dll with plain and _name@N symbols"
    VERBATIM)
endif()

# velmardds.dll, the session API: plain C functions on both widths, so the
# linker's own import library serves; its .def alone decides the exports.
set(VELMAR_DDS_DEF_FILE ${PROJECT_SOURCE_DIR}/src/velmardds.def)
target_sources(velmardds PRIVATE ${VELMAR_DDS_DEF_FILE})
set_target_properties(velmardds PROPERTIES
  PREFIX ""
  OUTPUT_NAME velmardds
  LINK_DEPENDS ${VELMAR_DDS_DEF_FILE})
target_link_options(velmardds PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(velmardds PRIVATE setupapi)

# GoogleTest for the Windows test programs. Debian ships it as source
# (package googletest); built here with the same cross-compiler, it answers
# the tests' find_package(GTest) in place of the build machine's copy, which
# could not run on Windows.
set(VELMAR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for Windows test programs")
if(VELMAR_BUILD_TESTS AND EXISTS ${VELMAR_GTEST_SOURCE_DIR}/CMakeLists.txt)
  include(FetchContent)
  FetchContent_Declare(GTest SOURCE_DIR ${VELMAR_GTEST_SOURCE_DIR} OVERRIDE_FIND_PACKAGE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # Not our code: its warnings are not ours to fail on.
  FetchContent_MakeAvailable(GTest)
  foreach(gtest_target gtest gtest_main gmock gmock_main)
    if(TARGET ${gtest_target})
      target_compile_options(${gtest_target} PRIVATE -w)
    endif()
  endforeach()
  # The names FindGTest gives, for suites that use them.
  if(NOT TARGET GTest::GTest)
    add_library(GTest::GTest INTERFACE IMPORTED GLOBAL)
    target_link_libraries(GTest::GTest INTERFACE GTest::gtest)
  endif()
  if(NOT TARGET GTest::Main)
    add_library(GTest::Main INTERFACE IMPORTED GLOBAL)
    target_link_libraries(GTest::Main INTERFACE GTest::gtest_main)
  endif()
endif()
