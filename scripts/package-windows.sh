#!/usr/bin/env bash
# Builds the three Windows DLLs and packs the release zip:
#   dist/korvane-i2c-<version>-windows.zip
#     include/KorvaneI2C.h
#     x64/KorvaneI2C64.dll .lib .def            64-bit hosts
#     x86/KorvaneI2C.dll .lib .def              32-bit hosts, C convention
#     x86/KorvaneI2CVB6.dll .lib .def           Visual Basic 6 (stdcall, decorated names)
#     README.txt
# Usage: scripts/package-windows.sh [output directory]   (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."
out_dir=$(realpath -m "${1:-dist}")

version=$(awk '/#define KORVANE_VERSION_(MAJOR|MINOR|PATCH|BUILD) / {v = v (v == "" ? "" : ".") $3} END {print v}' src/version.h)
version_text=$(sed -n 's/^#define KORVANE_VERSION_TEXT "\(.*\)"$/\1/p' src/version.h)
name=korvane-i2c-$version-windows
stage=build/package-windows
rm -rf "$stage"
mkdir -p "$stage/$name" "$out_dir"

for spec in win64:x64 win32:x86 vb6:x86; do
  preset=${spec%%:*} dir=${spec#*:}
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  cmake --install "build/$preset" --component dll --prefix "$stage/$preset" --strip >/dev/null
  mkdir -p "$stage/$name/$dir" "$stage/$name/include"
  cp "$stage/$preset"/bin/*.dll "$stage/$preset"/lib/*.lib "$stage/$preset"/lib/*.def "$stage/$name/$dir/"
  cp "$stage/$preset/include/KorvaneI2C.h" "$stage/$name/include/"
done

cat >"$stage/$name/README.txt" <<EOF
$version_text - Korvane Ethernet-to-I2C gateway client library for Windows
Version $version

x64\\KorvaneI2C64.dll    64-bit hosts.
x86\\KorvaneI2C.dll      32-bit hosts; C calling convention (cdecl), plain export names.
x86\\KorvaneI2CVB6.dll   32-bit Visual Basic 6 hosts; stdcall convention, decorated
                        export names such as _I2CRead@16.

Each DLL exports the same 20 functions at ordinals 1-20 (see its .def file) and needs
only DLLs that Windows ships (KERNEL32, msvcrt, WS2_32). The .lib files are import
libraries; include\\KorvaneI2C.h declares the functions (define KORVANE_VB6 before
including it when linking against KorvaneI2CVB6).

C:       #include "KorvaneI2C.h", link KorvaneI2C64.lib or KorvaneI2C.lib.
C#:      [DllImport("KorvaneI2C64.dll", CallingConvention = CallingConvention.Cdecl)]
         static extern int I2CRead(int handle, int slave, byte[] buffer, int length);
VB6:     Declare Function I2CRead Lib "KorvaneI2CVB6.dll" Alias "_I2CRead@16" _
             (ByVal Handle As Long, ByVal Slave As Long, Buffer As Byte, ByVal Length As Long) As Long

Every function returns a result code, 0 for success; I2CErrorMessage gives its text.
EOF
sed -i 's/$/\r/' "$stage/$name/README.txt"  # Windows line ends

zip_file=$out_dir/$name.zip
rm -f "$zip_file"
(cd "$stage" && zip -q -r -X "$zip_file" "$name")

# The zip holds exactly what a host needs.
expected="$name/README.txt
$name/include/KorvaneI2C.h
$name/x64/KorvaneI2C64.def
$name/x64/KorvaneI2C64.dll
$name/x64/KorvaneI2C64.lib
$name/x86/KorvaneI2C.def
$name/x86/KorvaneI2C.dll
$name/x86/KorvaneI2C.lib
$name/x86/KorvaneI2CVB6.def
$name/x86/KorvaneI2CVB6.dll
$name/x86/KorvaneI2CVB6.lib"
actual=$(python3 -c 'import sys, zipfile; print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")))' "$zip_file" | sort)
if [[ "$actual" != "$(sort <<<"$expected")" ]]; then
  diff <(sort <<<"$expected") <(echo "$actual") >&2 || true
  echo "package-windows: unexpected zip contents" >&2
  exit 1
fi
echo "$zip_file"
