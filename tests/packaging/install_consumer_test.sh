#!/usr/bin/env bash
# Installs this build into a temporary prefix, checks the installed layout, builds the
# consumer once through pkg-config and once through find_package(KorvaneI2C), and runs both
# against the installed gateway simulator.
# Usage: install_consumer_test.sh BUILD_DIR CONSUMER_SRC LIBDIR HAVE_SIM HAVE_TOOL
# Environment: CMAKE, CC, CFLAGS, LDFLAGS (those of the build under test), HEADER (the
# public header of the source tree).
set -euo pipefail

build_dir=$1 consumer_src=$2 libdir=$3 have_sim=$4 have_tool=$5
cmake_cmd=${CMAKE:-cmake}
cc=${CC:-cc}
read -r -a cflags <<<"${CFLAGS:-}"
read -r -a ldflags <<<"${LDFLAGS:-}"

work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-pkg.XXXXXX")
prefix=$work/prefix
sim_pid=
drain_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [[ -n $drain_pid ]]; then wait "$drain_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }
step() { echo "--- $*"; }

step "install into $prefix"
"$cmake_cmd" --install "$build_dir" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

step "installed layout"
lib=$prefix/$libdir
[[ -f $lib/libKorvaneI2C64.so.1.8.2 && ! -L $lib/libKorvaneI2C64.so.1.8.2 ]] || fail "no libKorvaneI2C64.so.1.8.2 in $lib"
[[ $(readlink "$lib/libKorvaneI2C64.so.1") == libKorvaneI2C64.so.1.8.2 ]] || fail "libKorvaneI2C64.so.1 does not point to the versioned file"
[[ $(readlink "$lib/libKorvaneI2C64.so") == libKorvaneI2C64.so.1 ]] || fail "libKorvaneI2C64.so does not point to the soname"
soname=$(objdump -p "$lib/libKorvaneI2C64.so.1.8.2" | awk '$1 == "SONAME" {print $2}')
[[ $soname == libKorvaneI2C64.so.1 ]] || fail "soname is '$soname'"
cmp -s "$prefix/include/KorvaneI2C.h" "$HEADER" || fail "installed header differs from include/KorvaneI2C.h"
for f in "$lib/pkgconfig/korvane-i2c.pc" "$lib/cmake/KorvaneI2C/KorvaneI2CConfig.cmake" \
         "$lib/cmake/KorvaneI2C/KorvaneI2CConfigVersion.cmake"; do
  [[ -f $f ]] || fail "missing $f"
done
if [[ $have_sim == 1 ]]; then [[ -x $prefix/bin/korvane-gwsim ]] || fail "korvane-gwsim not installed"; fi
if [[ $have_tool == 1 ]]; then [[ -x $prefix/bin/korvane-i2c ]] || fail "korvane-i2c not installed"; fi
echo "soname $soname, $(cd "$prefix" && find . -type f | wc -l) files"

step "consumer through pkg-config"
export PKG_CONFIG_PATH=$lib/pkgconfig
version=$(pkg-config --modversion korvane-i2c)
[[ $version == 1.8.2 ]] || fail "pkg-config reports version '$version'"
read -r -a pc_cflags <<<"$(pkg-config --cflags korvane-i2c)"
read -r -a pc_libs <<<"$(pkg-config --libs korvane-i2c)"
pc_libdir=$(pkg-config --variable=libdir korvane-i2c)
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "${cflags[@]}" "${pc_cflags[@]}" \
  "$consumer_src/consumer.c" -o "$work/consumer-pkgconfig" \
  "${ldflags[@]}" "${pc_libs[@]}" "-Wl,-rpath,$pc_libdir"

step "consumer through find_package(KorvaneI2C)"
"$cmake_cmd" -S "$consumer_src" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="${CFLAGS:-}" -DCMAKE_EXE_LINKER_FLAGS="${LDFLAGS:-}" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  >"$work/consumer-configure.log" || { cat "$work/consumer-configure.log"; fail "configure the find_package consumer"; }
"$cmake_cmd" --build "$work/consumer-build" >"$work/consumer-build.log" || { cat "$work/consumer-build.log"; fail "build the find_package consumer"; }
cp "$work/consumer-build/consumer" "$work/consumer-cmake"

# The consumers, and the installed tool, must load the library of the temporary prefix,
# not some other copy.
programs=("$work/consumer-pkgconfig" "$work/consumer-cmake")
if [[ $have_tool == 1 ]]; then programs+=("$prefix/bin/korvane-i2c"); fi
for p in "${programs[@]}"; do
  resolved=$(env -u LD_LIBRARY_PATH ldd "$p" | awk '$1 == "libKorvaneI2C64.so.1" {print $3}')
  [[ $resolved -ef $lib/libKorvaneI2C64.so.1 ]] || fail "$p loads '$resolved'"
done
if [[ $have_tool == 1 ]]; then
  step "installed korvane-i2c version"
  env -u LD_LIBRARY_PATH "$prefix/bin/korvane-i2c" version | tee "$work/tool.out"
  grep -q "Korvane I2C DLL V1.8-2.18" "$work/tool.out" || fail "korvane-i2c does not report the library's version"
fi

if [[ $have_sim != 1 ]]; then
  echo "SKIPPED: the korvane-gwsim target is not part of this build, so the consumers were built but not run"
  exit 77
fi

# Start the installed simulator on a port index that is free: the simulator's own bind is
# the check, and a busy index makes it exit before it announces itself.
step "installed simulator"
mkfifo "$work/sim.out"
sim_line=
first=$(( (RANDOM % 80) + 10 ))
for ((try = 0; try < 20; try++)); do
  idx=$(( (first + try) % 90 + 10 ))
  "$prefix/bin/korvane-gwsim" --port-index "$idx" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  exec 3<"$work/sim.out"
  if read -r -t 20 sim_line <&3 && [[ $sim_line == "listening on "* ]]; then
    break
  fi
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
  sim_line=
  exec 3<&-
done
[[ -n $sim_line ]] || { cat "$work/sim.err" >&2; fail "the simulator did not start on any of 20 port indexes"; }
# Keep reading what the simulator prints so that it never blocks on a full pipe.
cat <&3 >"$work/sim.log" &
drain_pid=$!
exec 3<&-
echo "$sim_line (port index $idx)"
addr=${sim_line#listening on }
port=${addr##*:}
host=${addr%:*}
host=${host#[}
host=${host%]}
case $host in 0.0.0.0 | "") host=127.0.0.1 ;; "::") host=::1 ;; esac
[[ $port == $((5000 + 100 * idx)) ]] || fail "simulator listens on port $port for index $idx"

for c in consumer-pkgconfig consumer-cmake; do
  step "run $c $host $idx"
  "$work/$c" "$host" "$idx" || fail "$c"
done
