# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_korvane_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_korvane_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_korvane_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_korvane_triple}-windres)
set(CMAKE_OBJDUMP ${_korvane_triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_korvane_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
