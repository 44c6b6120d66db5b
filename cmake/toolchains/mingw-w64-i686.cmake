# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_korvane_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
