# Stage "windows": cross-builds the three DLLs with mingw-w64, checks their export and import
# tables, and runs the Windows test programs under Wine (64-bit DLL under 64-bit Wine, the
# two 32-bit DLLs under 32-bit Wine) against the gateway simulator on loopback.
# Sourced by scripts/test-all.sh, which runs stage_windows from the top of the tree.

stage_windows() (
  set -euo pipefail
  local variants=(64:win64:x86_64 32:win32:i686 VB6:vb6:i686)
  local tool
  for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix wine wineboot wineserver; do
    command -v "$tool" >/dev/null || { echo "windows: $tool is missing; run scripts/install-deps.sh" >&2; return 1; }
  done

  # Builds, one after the other (the machine is shared).
  local v variant preset arch
  for v in "${variants[@]}"; do
    IFS=: read -r variant preset arch <<<"$v"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
  done

  # Export and import tables.
  for v in "${variants[@]}"; do
    IFS=: read -r variant preset arch <<<"$v"
    windows/check_dll_tables.sh "$arch-w64-mingw32-objdump" "$(windows_dll_path "$preset")" "$variant" \
      exports/windows_exports.txt exports/windows_imports.txt
  done

  # The gateway simulator is a Linux program; build it natively beside the cross builds.
  local host_build=build/win64/gwsim
  cmake -S . -B "$host_build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$host_build" --target korvane-gwsim -j2
  local sim=$PWD/$host_build/sim/korvane-gwsim

  # A fresh Wine prefix of our own, booted once; mono and gecko are not needed.
  export WINEPREFIX=$PWD/build/win64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  timeout 300 wineboot -i
  local sim_pids=() sim_index=""
  # shellcheck disable=SC2317  # runs from the trap
  windows_cleanup() {
    local pid
    for pid in "${sim_pids[@]}"; do
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    done
    timeout 30 wineserver -k 2>/dev/null || true
  }
  trap windows_cleanup EXIT

  # One simulator for the sessions, one that asks every client for keep-alive supervision
  # at 100 ms, so that the library's keep-alive thread runs too.
  local log=build/win64/gwsim.log alive_log=build/win64/gwsim-keepalive.log index alive_index
  windows_start_simulator "$sim" "$log"
  index=$sim_index
  windows_start_simulator "$sim" "$alive_log" --keep-alive 100
  alive_index=$sim_index
  echo "windows: gateway simulators (pids ${sim_pids[*]}) on port indexes $index and $alive_index"

  local dll failed=0
  for v in "${variants[@]}"; do
    IFS=: read -r variant preset arch <<<"$v"
    dll=$(windows_dll_path "$preset")
    echo "--- $preset: platform backends"
    timeout 300 wine "build/$preset/windows/platform_test.exe" || failed=1
    echo "--- $preset: time zones"
    windows_zone_checks "build/$preset/windows/platform_test.exe" || failed=1
    echo "--- $preset: a C host linked against the import library"
    WINEPATH=$(winepath -w "$(dirname "$dll")") timeout 120 wine "build/$preset/windows/import_lib_test.exe" || failed=1
    echo "--- $preset: $(basename "$dll") loaded by a host, session with the gateway"
    timeout 300 wine "build/$preset/windows/dll_test.exe" "$dll" --gateway 127.0.0.1 "$index" || failed=1
    echo "--- $preset: FreeLibrary with an open handle"
    local before
    before=$(windows_disconnects_seen "$log")
    timeout 120 wine "build/$preset/windows/dll_test.exe" "$dll" --unload-open 127.0.0.1 "$index" || failed=1
    # One from the unload, one from the close after loading the library again.
    if ! windows_wait_for_disconnects "$log" $((before + 2)); then
      echo "windows: the gateway saw no disconnect telegram when $(basename "$dll") was unloaded" >&2
      failed=1
    fi
    echo "--- $preset: process exit with an open handle"
    local start_ns elapsed_ms
    before=$(windows_disconnects_seen "$log")
    start_ns=$(date +%s%N)
    timeout 120 wine "build/$preset/windows/dll_test.exe" "$dll" --exit-open 127.0.0.1 "$index" || failed=1
    elapsed_ms=$((($(date +%s%N) - start_ns) / 1000000))
    echo "process ended after $elapsed_ms ms"
    # The device's time-out is 20 s: a detach that waited for a reply would take that long.
    if ((elapsed_ms >= 10000)); then
      echo "windows: ending the process with an open handle took $elapsed_ms ms" >&2
      failed=1
    fi
    if ! windows_wait_for_disconnects "$log" $((before + 1)); then
      echo "windows: the gateway saw no disconnect telegram when the process ended" >&2
      failed=1
    fi
    echo "--- $preset: session and unload under keep-alive supervision"
    local confirmed
    confirmed=$(grep -c 'cmd 0x810D' "$alive_log" || true)
    timeout 300 wine "build/$preset/windows/dll_test.exe" "$dll" --gateway 127.0.0.1 "$alive_index" || failed=1
    before=$(windows_disconnects_seen "$alive_log")
    timeout 120 wine "build/$preset/windows/dll_test.exe" "$dll" --unload-open 127.0.0.1 "$alive_index" || failed=1
    windows_wait_for_disconnects "$alive_log" $((before + 2)) || { echo "windows: no disconnect under keep-alive" >&2; failed=1; }
    if (($(grep -c 'cmd 0x810D' "$alive_log" || true) <= confirmed)); then
      echo "windows: the library confirmed no keep-alive request" >&2
      failed=1
    fi
  done
  ((failed == 0)) || { echo "windows: tests failed" >&2; return 1; }

  # The release zip, and the tables of the stripped DLLs it holds.
  local zip unpacked=build/package-windows/check
  zip=$(scripts/package-windows.sh build/package-windows/dist | tail -n 1)
  rm -rf "$unpacked" && python3 -m zipfile -e "$zip" "$unpacked"
  local root=("$unpacked"/*)
  windows/check_dll_tables.sh x86_64-w64-mingw32-objdump "${root[0]}/x64/KorvaneI2C64.dll" 64 \
    exports/windows_exports.txt exports/windows_imports.txt
  windows/check_dll_tables.sh i686-w64-mingw32-objdump "${root[0]}/x86/KorvaneI2C.dll" 32 \
    exports/windows_exports.txt exports/windows_imports.txt
  windows/check_dll_tables.sh i686-w64-mingw32-objdump "${root[0]}/x86/KorvaneI2CVB6.dll" VB6 \
    exports/windows_exports.txt exports/windows_imports.txt
  # The stripped DLLs of the zip load and answer like the ones tested above.
  timeout 120 wine build/win64/windows/dll_test.exe "${root[0]}/x64/KorvaneI2C64.dll"
  timeout 120 wine build/win32/windows/dll_test.exe "${root[0]}/x86/KorvaneI2C.dll"
  timeout 120 wine build/vb6/windows/dll_test.exe "${root[0]}/x86/KorvaneI2CVB6.dll"
  echo "windows: $zip"
)

# Disconnect requests that the simulator has logged.
windows_disconnects_seen() { grep -c '<- id [0-9]* cmd 0x0102' "$1" || true; }

# Waits up to 10 s until the simulator has logged count disconnect requests.
windows_wait_for_disconnects() {
  local log=$1 count=$2 deadline=$((SECONDS + 10))
  while (($(windows_disconnects_seen "$log") < count)); do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# The DLL that a preset's build made.
windows_dll_path() {
  case $1 in
    win64) echo build/win64/src/KorvaneI2C64.dll ;;
    win32) echo build/win32/src/KorvaneI2C.dll ;;
    vb6) echo build/vb6/src/KorvaneI2CVB6.dll ;;
  esac
}

# Starts the simulator (SIM LOG [option...]) on a free port index (the library reaches a
# gateway only through 5000 + 100 * index): tries random indexes until one binds, waiting
# for the "listening on" line. Adds the pid to sim_pids and sets sim_index in the caller.
windows_start_simulator() {
  local sim=$1 log=$2 try line pid fd
  shift 2
  for try in $(seq 1 20); do
    sim_index=$((10 + RANDOM % 90))
    # The pipe stays open to the end, so that the simulator can always write to it.
    exec {fd}< <(exec "$sim" --port-index "$sim_index" --verbose "$@" 2>"$log")
    pid=$!
    if read -r -t 10 -u "$fd" line && [[ $line == "listening on "* ]]; then
      sim_pids+=("$pid")
      return 0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    exec {fd}<&-
  done
  echo "windows: the gateway simulator found no free port index" >&2
  return 1
}

# The zone offset that the Windows backend computes from Wine's time-zone information must
# match the offset of the Linux zone database for the same zone now, in whole hours toward
# zero: both hemispheres, half-hour zones, and zones with and without daylight saving.
windows_zone_checks() {
  local exe=$1 tz z hours failed=0
  for tz in UTC Europe/Berlin America/New_York Australia/Sydney Pacific/Auckland America/Santiago \
            Asia/Kolkata America/St_Johns Australia/Adelaide; do
    z=$(TZ=$tz date +%z)
    hours=$((10#${z:1:2}))
    [[ ${z:0:1} == - ]] && hours=$((-hours))
    printf '%-20s %s: ' "$tz" "$z"
    TZ=$tz timeout 60 wine "$exe" --zone-offset "$hours" || failed=1
  done
  return $failed
}
