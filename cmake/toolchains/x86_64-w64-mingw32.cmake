# Cross-build for 64-bit Windows with mingw-w64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(VELMAR_WINE_LOADER_NAMES wine64)
set(VELMAR_WINE_MULTIARCH x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
