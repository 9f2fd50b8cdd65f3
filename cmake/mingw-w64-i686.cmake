# Cross build for 32-bit Windows with Debian's MinGW-w64 compilers.
# Built and checked here, not run: Wine on this kind of machine runs 64-bit programs only.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
