#!/usr/bin/env bash
# Turns the benchmark results in DIR (results.csv from tarvenloch_bench,
# octave.dat and octave_batch.dat from octave_bench) into a log-log chart of
# time per call against n, and prints the tables in Markdown.
#   bench/plot.sh DIR OUTPUT.png
set -euo pipefail
dir=$1
out=$2

# "BM_Fast/100_median",iterations,real_time,... -> "100 <ns>"
medians() {
    awk -F, -v name="$1" '{ gsub(/"/, "", $1) }
        $1 ~ "^" name "/[0-9]+_median$" { sub("^" name "/", "", $1); sub("_median$", "", $1); print $1, $3 }' \
        "$dir/results.csv"
}
medians BM_Literal > "$dir/literal.dat"
medians BM_Fast > "$dir/fast.dat"
medians BM_SortLiteral > "$dir/sort_literal.dat"
medians BM_SortFast > "$dir/sort_fast.dat"

echo "| n | literal (ns) | solver (ns) | literal / solver |"
echo "|---:|---:|---:|---:|"
join "$dir/literal.dat" "$dir/fast.dat" | sort -n | awk '{ printf "| %d | %.1f | %.1f | %.2fx |\n", $1, $2, $3, $2 / $3 }'
echo
echo "| m | sift-pass sort (ns) | solver's sort (ns) | ratio |"
echo "|---:|---:|---:|---:|"
join "$dir/sort_literal.dat" "$dir/sort_fast.dat" | sort -n | awk '{ printf "| %d | %.1f | %.1f | %.2fx |\n", $1, $2, $3, $2 / $3 }'
if [[ -f "$dir/octave.dat" ]]; then
    echo
    echo "| n | module (calls/s) | Octave code (calls/s) | ratio |"
    echo "|---:|---:|---:|---:|"
    awk '{ printf "| %d | %.0f | %.1f | %.0fx |\n", $1, $2, $3, $2 / $3 }' "$dir/octave.dat"
    # Time per call in ns, for the chart.
    awk '{ print $1, 1e9 / $2, 1e9 / $3 }' "$dir/octave.dat" > "$dir/octave_ns.dat"
fi

# The batch: per-problem time against single calls, and 1 against 2 threads.
median_of() {
    awk -F, -v name="$1" '{ gsub(/"/, "", $1) } $1 == name "_median" { print $3 }' "$dir/results.csv"
}
single=$(median_of BM_SingleCalls/10)
batch=$(median_of BM_Batch/10)
fast=$(median_of BM_Fast/10)
same=$(median_of BM_BatchSameProblem/10)
one=$(median_of BM_BatchThreads/1/real_time)
two=$(median_of BM_BatchThreads/2/real_time)
if [[ -n $single && -n $batch && -n $one && -n $two ]]; then
    echo
    echo "| batch, C++ | time | ratio |"
    echo "|---|---:|---:|"
    awk -v s="$single" -v b="$batch" 'BEGIN {
        printf "| n = 10, K = 10,000: single calls, per problem | %.1f ns | |\n", s * 1000 / 10000
        printf "| n = 10, K = 10,000: batch on 1 thread, per problem | %.1f ns | %.2fx single calls |\n", b * 1000 / 10000, b / s }'
    if [[ -n $fast && -n $same ]]; then
        awk -v f="$fast" -v m="$same" 'BEGIN {
            printf "| n = 10, one problem: a single call | %.1f ns | |\n", f
            printf "| n = 10, that problem 10,000 times in one batch, per problem | %.1f ns | %.2fx a single call |\n", m * 1000 / 10000, m * 1000 / 10000 / f }'
    fi
    awk -v o="$one" -v t="$two" 'BEGIN {
        printf "| n = 100, K = 10,000: batch on 1 thread | %.1f ms | |\n", o / 1000
        printf "| n = 100, K = 10,000: batch on 2 threads | %.1f ms | %.2fx faster |\n", t / 1000, o / t }'
fi
if [[ -f "$dir/octave_batch.dat" ]]; then
    echo
    echo "| Octave, K problems of n terms | time | batch speed-up |"
    echo "|---|---:|---:|"
    awk '{ printf "| K = %d, n = %d: loop of single calls, columns sliced | %.1f ms | %.1fx |\n", $1, $2, $3 * 1e3, $3 / $5
           printf "| K = %d, n = %d: loop of single calls, P and Q whole | %.1f ms | %.1fx |\n", $1, $2, $4 * 1e3, $4 / $5
           printf "| K = %d, n = %d: one tarvenloch_batch call | %.2f ms | |\n", $1, $2, $5 * 1e3 }' "$dir/octave_batch.dat"
fi

octave_plot=""
if [[ -f "$dir/octave_ns.dat" ]]; then
    octave_plot=", '$dir/octave_ns.dat' using 1:2 with linespoints title 'module called from Octave', \
 '$dir/octave_ns.dat' using 1:3 with linespoints title 'same computation in Octave code'"
fi
gnuplot <<GNUPLOT
set terminal pngcairo size 800,560 font "sans,11"
set output "$out"
set logscale xy
set xlabel "n (terms)"
set ylabel "time per call (ns)"
set key top left
set grid
set title "tarvenloch: time per call against n"
plot '$dir/literal.dat' using 1:2 with linespoints title 'literal computation (C++)', \
     '$dir/fast.dat' using 1:2 with linespoints title 'solver (C++)'$octave_plot
GNUPLOT
echo
echo "chart: $out"
