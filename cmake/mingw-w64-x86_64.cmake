# Cross-compiling for 32-bit (i686) or 64-bit (x86_64) Windows.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
