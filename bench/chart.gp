# Chart of a korvane-bench run. Variables (gnuplot -e): latency, throughput (data files that
# scripts/bench.sh extracts from results.csv), out (PNG path) and note (a line about the machine).
#   latency:    placement, medians raw_read8 I2CRead_8 raw_write8 I2CWrite_8, the same as p99,
#               median ratios I2CRead/raw and I2CWrite/raw
#   throughput: placement, handles, raw calls/s, I2CRead calls/s, ratio
set terminal pngcairo size 1400,900 font "DejaVu Sans,11" noenhanced
set output out
set datafile separator whitespace
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set logscale y
set format y "%g"
set ytics nomirror
set xtics nomirror
set key outside right top vertical Left reverse samplen 2
set bmargin 5
set tics out
set linetype 1 lc rgb "#6b7b8c"
set linetype 2 lc rgb "#d1495b"
set linetype 3 lc rgb "#a8b4c0"
set linetype 4 lc rgb "#edae49"

if (!exists("note")) note = ""
set multiplot title "korvane-bench: the library against a raw send/recv ping-pong on loopback, same run\n".note

set origin 0, 0.48
set size 0.5, 0.48

set title "Round trip, median (us); label: I2CRead and I2CWrite as multiples of raw"
set ylabel "microseconds (log)"
plot latency using 2:xtic(sprintf("%s\nRead %.2fx\nWrite %.2fx", strcol(1), $10, $11)) title "raw, read size", \
     '' using 3 title "I2CRead 8 B", \
     '' using 4 title "raw, write size", \
     '' using 5 title "I2CWrite 8 B"

set origin 0.5, 0.48
set size 0.5, 0.48
set title "Round trip, 99th percentile (us)"
plot latency using 6:xtic(sprintf("%s\nRead %.2fx\nWrite %.2fx", strcol(1), $7/$6, $9/$8)) title "raw, read size", \
     '' using 7 title "I2CRead 8 B", \
     '' using 8 title "raw, write size", \
     '' using 9 title "I2CWrite 8 B"

set origin 0, 0
set size 1, 0.48
set title "Throughput: n handles, one thread each, I2CRead 8 B vs n raw ping-pong threads (calls/s); label: ratio"
set ylabel "calls per second (log)"
plot throughput using 3:xtic(sprintf("%s n=%d\n%.2fx", strcol(1), $2, $5)) title "raw" lt 1, \
     '' using 4 title "I2CRead" lt 2
unset multiplot
