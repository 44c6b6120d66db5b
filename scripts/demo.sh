#!/usr/bin/env bash
# The demo: builds the simulator, the tool and the library if they are missing, starts the
# gateway simulator on a free port index, runs a short session with the tool against it,
# stops the simulator by its PID and exits 0.
# Usage: scripts/demo.sh   (build directory: build/demo, tests not built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/demo

if [[ ! -x $build/sim/korvane-gwsim || ! -x $build/tools/korvane-i2c ]]; then
  echo "== building the simulator, the tool and the library in $build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target korvane-gwsim korvane-i2c -j"$(nproc)" >/dev/null
fi
sim=$build/sim/korvane-gwsim
tool=$build/tools/korvane-i2c

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator's own bind is the check for a free index: on a taken port it exits before
# it prints its "listening on" line, and the next index is tried.
mkfifo "$work/sim.out"
line=
for ((try = 0; try < 30; try++)); do
  index=$(( (RANDOM % 90) + 10 ))
  "$sim" --port-index "$index" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  exec 3<"$work/sim.out"
  if read -r -t 10 line <&3 && [[ $line == "listening on "* ]]; then break; fi
  exec 3<&-
  wait "$sim_pid" 2>/dev/null || true
  sim_pid= line=
done
[[ -n $line ]] || { cat "$work/sim.err" >&2; echo "demo: the simulator did not start" >&2; exit 1; }
cat <&3 >/dev/null &  # keep draining its stdout
exec 3<&-
echo "== korvane-gwsim (pid $sim_pid): $line, port index $index"

run() {
  local shown=
  for arg in "$@"; do
    if [[ $arg == *" "* ]]; then shown+=" \"$arg\""; else shown+=" $arg"; fi
  done
  echo
  echo "\$ korvane-i2c -p $index$shown"
  "$tool" -p "$index" "$@"
}

text="Korvane demo: this text starts at offset 0x30 of the 32 KiB EEPROM at 0x50 and runs across three of its 64-byte pages."
run version
run info
run status
run detect
run eeprom write --offset 0x30 --text "$text"
run eeprom read --offset 0x30 --length ${#text}
run eeprom verify --offset 0x30 --text "$text"
run gpio 0x00A5
run gpio

echo
kill -TERM "$sim_pid"
wait "$sim_pid"
echo "== simulator stopped (exit status $?)"
sim_pid=
