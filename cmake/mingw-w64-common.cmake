# Shared by the toolchain files: Debian's mingw-w64 cross compilers for CMAKE_SYSTEM_PROCESSOR,
# in their win32-threads flavour. Its runtime imports nothing newer than Windows XP (the
# POSIX-threads flavour links winpthreads, which imports GetTickCount64, Vista and later); its
# C++ library has no std::mutex, which the tool, on one thread, does not need.
set(CMAKE_SYSTEM_NAME Windows)
set(triplet ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${triplet}-gcc-win32)
set(CMAKE_CXX_COMPILER ${triplet}-g++-win32)
set(CMAKE_RC_COMPILER ${triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
