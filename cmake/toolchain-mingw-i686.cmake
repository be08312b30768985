# 32-bit Windows, cross-built with MinGW-w64 (Debian's g++-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# MPI's SDK lies outside the compiler's own tree, where MSMPI_INC and
# MSMPI_LIB32 say.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config knows this machine's libraries (its MPIs), not Windows'.
set(CMAKE_DISABLE_FIND_PACKAGE_PkgConfig TRUE)

# MinGW's own runtime (libgcc, libstdc++, winpthread) goes into the
# programs, which then need no DLL but Windows' own and MPI's.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
