#ifndef KORVANE_VERSION_H
#define KORVANE_VERSION_H

// The one place the version is written down. CMake reads the numbers for the package
// version and the Windows version resource; DLLInfo hands out the text.
#define KORVANE_VERSION_MAJOR 1
#define KORVANE_VERSION_MINOR 8
#define KORVANE_VERSION_PATCH 2
#define KORVANE_VERSION_BUILD 17

#define KORVANE_VERSION_TEXT "Korvane I2C DLL V1.8-2.18"

#endif
