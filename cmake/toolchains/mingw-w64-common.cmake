# Shared part of the mingw-w64 cross builds (Debian's packages, posix thread model). The
# toolchain file that includes it sets CMAKE_SYSTEM_PROCESSOR and _korvane_triple first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_korvane_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_korvane_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_korvane_triple}-windres)
set(CMAKE_OBJDUMP ${_korvane_triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_korvane_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
