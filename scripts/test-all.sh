#!/usr/bin/env bash
# Runs every test: the regular build, the sanitizer builds and the other stages present.
# Usage: scripts/test-all.sh [stage...]   (default: all stages)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

stage_dev()   { cmake --preset dev >/dev/null && cmake --build --preset dev -j"$jobs" && ctest --preset dev; }
stage_asan()  { cmake --preset asan >/dev/null && cmake --build --preset asan -j"$jobs" && ctest --preset asan; }
stage_tsan()  { cmake --preset tsan >/dev/null && cmake --build --preset tsan -j"$jobs" && ctest --preset tsan; }

all_stages=(dev asan tsan)
# Further stages come from scripts/stages/<name>.sh, each defining stage_<name>.
for f in scripts/stages/*.sh; do
  [[ -e "$f" ]] || continue
  # shellcheck source=/dev/null
  source "$f"
  all_stages+=("$(basename "$f" .sh)")
done

stages=("$@")
((${#stages[@]})) || stages=("${all_stages[@]}")
for s in "${stages[@]}"; do
  echo "=== stage $s ==="
  start=$SECONDS
  "stage_$s"
  echo "=== stage $s passed in $((SECONDS - start)) s ==="
done
