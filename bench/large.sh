#!/usr/bin/env bash
# One large problem (normal p and q, b = 1) at 1e5, 1e6 and 1e7 terms, as a
# batch of one on 1 thread and on 2, one process a measurement: time per
# call (the median of several calls, each with scratch of its own, as a
# single call has), the process's peak resident size, and the intervals
# that survive the pruning; and how long a cache line takes between two
# processors. Writes the figures to DATA and prints them as a Markdown
# table; draws CHART.png with gnuplot when given.
#   bench/large.sh BUILD DATA [CHART.png]
set -euo pipefail
exe=$1/bench/tarvenloch_large_bench
data=$2
: > "$data"
# Where the two processors sit decides what sharing a pass can gain: a
# cache line's round trip between them, before the runs and after.
before=$("$exe" crosscore)
for n in 100000 1000000 10000000; do
    case $n in 100000) calls=21 ;; 1000000) calls=5 ;; *) calls=1 ;; esac
    read -r _ kept refined < <("$exe" "$n" survivors)
    # 1 and 2 threads in turn, so that both see the same load.
    for threads in 1 2; do
        read -r _ _ seconds peak < <("$exe" "$n" "$threads" "$calls")
        echo "$n $threads $seconds $peak $kept $refined" >> "$data"
    done
done

after=$("$exe" crosscore)
[[ -z $before ]] || echo "A cache line from processor 0 to 1 and back: $before ns before the runs, $after ns after."
echo
echo "| n | threads | time per call | peak memory | beyond the input, a term | 2 threads vs 1 | intervals kept / after the second round |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
awk '{ beyond = ($4 - 16 * $1) / $1
       if ($2 == 1) one[$1] = $3
       ratio = $2 == 1 ? "" : sprintf("%.2fx", one[$1] / $3)
       time = $3 < 1 ? sprintf("%.2f ms", $3 * 1e3) : sprintf("%.3f s", $3)
       printf "| %d | %d | %s | %.0f MB | %.0f bytes | %s | %d / %d |\n", $1, $2, time, $4 / 1e6, beyond, ratio, $5, $6 }' "$data"
awk '$2 == 1 && $1 == 100000 { t5 = $3 } $2 == 1 && $1 == 1000000 { t6 = $3 }
     END { if (t5 > 0 && t6 > 0) printf "\nGrowth from 1e5 to 1e6 terms on 1 thread: n^%.2f\n", log(t6 / t5) / log(10) }' "$data"

# The chart, when asked for: time per call on 1 and 2 threads, and the peak
# memory beyond the input, against n.
chart=${3:-}
[[ -n $chart ]] || exit 0
for threads in 1 2; do
    awk -v t=$threads '$2 == t { print $1, $3, ($4 - 16 * $1) / $1 }' "$data" > "$data.$threads"
done
gnuplot <<GNUPLOT
set terminal pngcairo size 800,560 font "sans,11"
set output "$chart"
set logscale xy
set format x "10^{%L}"
set xrange [5e4:2e7]
set xlabel "n (terms)"
set ylabel "time per call (s)"
set y2label "peak memory beyond the input (bytes a term)"
set y2range [0:120]
set ytics nomirror
set y2tics
set key top left
set grid
set title "tarvenloch: one large problem (normal p and q, b = 1), a batch of one"
plot '$data.1' using 1:2 with linespoints title 'time, 1 thread', \
     '$data.2' using 1:2 with linespoints title 'time, 2 threads', \
     '$data.1' using 1:3 axes x1y2 with linespoints dt 2 title 'memory, 1 thread', \
     '$data.2' using 1:3 axes x1y2 with linespoints dt 2 title 'memory, 2 threads'
GNUPLOT
echo
echo "chart: $chart"
