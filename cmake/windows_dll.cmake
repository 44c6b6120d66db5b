# The Windows DLL of one variant (KORVANE_VARIANT), made from the same objects as every other
# build. Included from src/ when building for Windows.
#   64:  KorvaneI2C64.dll,  64-bit
#   32:  KorvaneI2C.dll,    32-bit, C convention, plain names
#   VB6: KorvaneI2CVB6.dll, 32-bit, callee-cleans (stdcall) convention, decorated names
# Each DLL takes its names and ordinals from its .def file, carries the version resource and
# links the C++ runtime, libgcc and winpthread statically, so that it needs only DLLs that
# Windows ships.

set(_korvane_variants 64 32 VB6)
if(NOT KORVANE_VARIANT IN_LIST _korvane_variants)
  message(FATAL_ERROR "KORVANE_VARIANT must be one of ${_korvane_variants}, not '${KORVANE_VARIANT}'")
endif()
if(KORVANE_VARIANT STREQUAL "64")
  set(_korvane_dll KorvaneI2C64)
  set(_korvane_pointer_size 8)
else()
  set(_korvane_dll KorvaneI2C)
  if(KORVANE_VARIANT STREQUAL "VB6")
    set(_korvane_dll KorvaneI2CVB6)
  endif()
  set(_korvane_pointer_size 4)
endif()
if(NOT CMAKE_SIZEOF_VOID_P EQUAL _korvane_pointer_size)
  message(FATAL_ERROR "${_korvane_dll} needs a ${_korvane_pointer_size}-byte pointer compiler; "
                      "use the matching toolchain file (presets win64, win32, vb6)")
endif()

enable_language(RC)

if(KORVANE_VARIANT STREQUAL "VB6")
  # Selects __stdcall in KORVANE_CALL for the library objects and everything that links them.
  target_compile_definitions(korvane_objects PUBLIC KORVANE_VB6)
endif()

set(_korvane_def ${PROJECT_SOURCE_DIR}/exports/${_korvane_dll}.def)
add_library(${_korvane_dll} SHARED $<TARGET_OBJECTS:korvane_objects> ${_korvane_def}
            ${PROJECT_SOURCE_DIR}/src/platform/win32/version.rc)
target_include_directories(${_korvane_dll} PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(${_korvane_dll} PRIVATE KORVANE_VARIANT_${KORVANE_VARIANT})
target_link_libraries(${_korvane_dll} PRIVATE ws2_32)
set_target_properties(${_korvane_dll} PROPERTIES
  PREFIX "" OUTPUT_NAME ${_korvane_dll}
  # The import library is named as Windows tool chains expect: KorvaneI2C64.lib.
  IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
# -static: libstdc++, libgcc and winpthread go into the DLL; system DLLs stay imports.
target_link_options(${_korvane_dll} PRIVATE -static -Wl,--no-undefined
                    -Wl,--dynamicbase -Wl,--nxcompat)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  target_link_options(${_korvane_dll} PRIVATE -Wl,--high-entropy-va)
endif()

set(_korvane_implib ${CMAKE_CURRENT_BINARY_DIR}/${_korvane_dll}.lib)
if(KORVANE_VARIANT STREQUAL "VB6")
  # A C host compiled with KORVANE_VB6 calls I2CRead@16 and so imports __imp__I2CRead@16,
  # which must resolve to the export _I2CRead@16. The linker's import library would name
  # the import after the export (__imp___I2CRead@16); dlltool writes one that maps each
  # compiled name onto its decorated export.
  file(STRINGS ${PROJECT_SOURCE_DIR}/exports/windows_exports.txt _korvane_rows REGEX "^[0-9]")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/exports/windows_exports.txt)
  set(_korvane_implib_def "LIBRARY ${_korvane_dll}.dll\nEXPORTS\n")
  foreach(_row IN LISTS _korvane_rows)
    string(REGEX REPLACE "^[0-9]+ [^ ]+ _([^ ]+)$" "  \\1 == _\\1\n" _entry "${_row}")
    string(APPEND _korvane_implib_def "${_entry}")
  endforeach()
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${_korvane_dll}.implib.def CONTENT "${_korvane_implib_def}")
  add_custom_command(OUTPUT ${_korvane_implib}
    COMMAND ${CMAKE_DLLTOOL} -m i386 -d ${CMAKE_CURRENT_BINARY_DIR}/${_korvane_dll}.implib.def -l ${_korvane_implib}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${_korvane_dll}.implib.def
    COMMENT "Import library ${_korvane_dll}.lib")
  add_custom_target(${_korvane_dll}_implib ALL DEPENDS ${_korvane_implib})
  # The linker's own import library is not shipped.
  set_target_properties(${_korvane_dll} PROPERTIES IMPORT_SUFFIX ".linker.a")
endif()

# Lets windows/ find the DLL target and its import library without repeating the rules.
set_property(GLOBAL PROPERTY KORVANE_DLL_TARGET ${_korvane_dll})
set_property(GLOBAL PROPERTY KORVANE_DLL_IMPORT_LIBRARY ${_korvane_implib})

# Install rules of the DLL: the DLL, its import library and .def file, and the header.
# scripts/package-windows.sh builds the release zip from them.
include(GNUInstallDirs)
install(TARGETS ${_korvane_dll} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dll)
install(FILES ${_korvane_implib} ${_korvane_def} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dll)
install(FILES ${PROJECT_SOURCE_DIR}/include/KorvaneI2C.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dll)
