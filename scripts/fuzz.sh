#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset fuzz, clang) and runs each for the given time.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
#   targets: telegram stream decoders client_ops (default: all)
# Environment: KORVANE_FUZZ_BUILD  build directory (default build/fuzz)
#              KORVANE_FUZZ_NOBUILD=1 to skip the build step
# New corpus entries go to <build>/corpus/<target>; the checked-in seeds in fuzz/corpus/<target>
# are read only. A crash leaves its input in <build>/artifacts/<target>/ and fails the run:
# keep it as fuzz/corpus/<target>/regression_<what>.bin once it is fixed, and the regular
# tests replay it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(telegram stream decoders client_ops)
build=${KORVANE_FUZZ_BUILD:-build/fuzz}

if [[ "${KORVANE_FUZZ_NOBUILD:-0}" != 1 ]]; then
  cmake --preset fuzz -B "$build" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  log="$build/fuzz-$t.log"
  mkdir -p "$work" "$artifacts"
  echo "=== fuzz $t for ${seconds} s (log $log)"
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$t")
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' || true)
  echo "    $status: ${runs:-?} runs, ${speed:-?} exec/s, ${last:-no stats}"
  if [[ $status != ok ]]; then
    grep -E 'ERROR|invariant broken|runtime error|Test unit written' "$log" | head -5 | sed 's/^/    /'
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
