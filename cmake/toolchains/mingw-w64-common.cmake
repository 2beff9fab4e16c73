# What both mingw-w64 toolchains share; each toolchain file names its
# target and the Wine loader of its width, and includes this. The -posix
# compilers are the ones whose libstdc++ has std::mutex (through
# winpthread); the library's process-wide lock needs it.
set(CMAKE_C_COMPILER ${VELMAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMAR_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VELMAR_MINGW_TRIPLE}-dlltool)

# Look for libraries and packages of the target only, never the build
# machine's (a Linux GoogleTest would link but not run).
set(CMAKE_FIND_ROOT_PATH /usr/${VELMAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is linked with its runtime (libgcc, libstdc++, winpthread)
# inside, so that it runs under Wine or on a bare Windows without the
# compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# CTest runs the test programs under the Wine loader of their width, named
# directly: Debian's `wine` script prefers the 32-bit loader, which a kernel
# without 32-bit execution refuses even for a 64-bit program. Nothing runs
# a target program while building, so a missing Wine only leaves the tests
# without an emulator; cmake/test-windows.sh decides whether they can run.
if(NOT VELMAR_WINE)
  find_program(VELMAR_WINE NAMES ${VELMAR_WINE_LOADER_NAMES}
    PATHS /usr/lib/wine /usr/lib/${VELMAR_WINE_MULTIARCH}/wine NO_DEFAULT_PATH)
  find_program(VELMAR_WINE NAMES ${VELMAR_WINE_LOADER_NAMES} wine)
endif()
if(VELMAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMAR_WINE})
endif()
