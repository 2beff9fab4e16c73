# Cross-build for 32-bit Windows with mingw-w64:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELMAR_MINGW_TRIPLE i686-w64-mingw32)
set(VELMAR_WINE_LOADER_NAMES wine)
set(VELMAR_WINE_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
