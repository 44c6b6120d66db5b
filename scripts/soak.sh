#!/usr/bin/env bash
# The long soak: 1000 open/close cycles, 64 handles used by 2 threads each with every reply
# checked, closes racing calls, the simulator killed and restarted underneath; then the chaos
# cases. Prints the figures (cycles, requests, descriptors, threads, resident memory).
# Usage: scripts/soak.sh [preset]   (default dev; asan or tsan run the same under a sanitizer)
# Counts can be changed through KORVANE_SOAK_CYCLES, KORVANE_SOAK_HANDLES,
# KORVANE_SOAK_REQUESTS and KORVANE_SOAK_RACES; the build directory through KORVANE_SOAK_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
build=${KORVANE_SOAK_BUILD:-build/$preset}
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target soak_tests chaos_tests korvane-gwsim

export KORVANE_SOAK_CYCLES=${KORVANE_SOAK_CYCLES:-1000}
export KORVANE_SOAK_HANDLES=${KORVANE_SOAK_HANDLES:-64}
export KORVANE_SOAK_REQUESTS=${KORVANE_SOAK_REQUESTS:-500}
export KORVANE_SOAK_RACES=${KORVANE_SOAK_RACES:-50}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
echo "soak: $KORVANE_SOAK_CYCLES cycles, $KORVANE_SOAK_HANDLES handles x 2 threads x $KORVANE_SOAK_REQUESTS requests, $KORVANE_SOAK_RACES close races ($preset)"
"$build/tests/hostile/soak_tests"
"$build/tests/hostile/chaos_tests"
