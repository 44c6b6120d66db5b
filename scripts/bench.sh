#!/usr/bin/env bash
# Builds korvane-bench (Release, build/bench) and runs it: prints the tables, writes
# build/bench/results.csv and draws docs/bench.png from it.
# Usage: scripts/bench.sh [korvane-bench options]   (see build/bench/bench/korvane-bench --help)
# Environment: KORVANE_BENCH_NOBUILD=1 skips the build; KORVANE_BENCH_CHART_ONLY=1 only redraws
# the chart from an existing results.csv; KORVANE_BENCH_PNG sets the chart path.
# The figures are only as quiet as the machine: run it while nothing else is busy.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
csv=$build/results.csv
png=${KORVANE_BENCH_PNG:-docs/bench.png}

chart_only=${KORVANE_BENCH_CHART_ONLY:-0}
if [[ $chart_only != 1 && "${KORVANE_BENCH_NOBUILD:-0}" != 1 ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target korvane-bench
fi

status=0
if [[ $chart_only != 1 ]]; then
  "$build/bench/korvane-bench" --csv "$csv" "$@" || status=$?
fi
[[ -s $csv ]] || exit "$status"

# Chart data: one line per placement, and one per placement and handle count (its ratio is
# the median of the windows' ratios that the program reports).
awk -F, '
  NR > 1 { v[$1 "," $2 "," $3] = $4; if (!($1 in seen) && $1 != "-") { seen[$1] = 1; order[++n] = $1 } }
  END {
    for (i = 1; i <= n; i++) {
      p = order[i]
      if (!((p ",I2CRead_8,median_us") in v)) continue
      printf "%s", p
      split("median_us p99_us", m, " ")
      for (j = 1; j <= 2; j++)
        printf " %s %s %s %s", v[p ",raw_read8," m[j]], v[p ",I2CRead_8," m[j]], v[p ",raw_write8," m[j]], v[p ",I2CWrite_8," m[j]]
      printf " %s %s\n", v[p ",I2CRead_8,median_us"] / v[p ",raw_read8,median_us"], v[p ",I2CWrite_8,median_us"] / v[p ",raw_write8,median_us"]
    }
  }' "$csv" >"$build/latency.dat"
awk -F, '
  NR > 1 && $2 ~ /^raw_x[0-9]+$/ { n = substr($2, 6); raw[$1 " " n] = $4; if (!(($1 " " n) in seen)) { seen[$1 " " n] = 1; order[++k] = $1 " " n } }
  NR > 1 && $2 ~ /^I2CRead_x[0-9]+$/ { lib[$1 " " substr($2, 10)] = $4; ratio[$1 " " substr($2, 10)] = $6 }
  END { for (i = 1; i <= k; i++) if (order[i] in lib) printf "%s %s %s %s\n", order[i], raw[order[i]], lib[order[i]], ratio[order[i]] }
' "$csv" >"$build/throughput.dat"

if [[ -s $build/latency.dat && -s $build/throughput.dat ]]; then
  mkdir -p "$(dirname "$png")"
  note=$(awk -F, '$2 == "machine" { v[$3] = $4 } END { printf "%s CPUs; other processes used %.0f%% of them during the run", v["cpus"], v["others_cpu_percent"] }' "$csv")
  gnuplot -e "latency='$build/latency.dat'; throughput='$build/throughput.dat'; out='$png'; note='$note'" bench/chart.gp
  echo "chart: $png"
else
  echo "no round-trip or throughput figures: chart not drawn" >&2
fi
exit "$status"
