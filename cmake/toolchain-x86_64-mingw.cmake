# Cross build for 64-bit Windows (Debian: g++-mingw-w64-x86-64): the same
# sources and tests on the Windows API where only a 64-bit Wine can run.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZUB_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
