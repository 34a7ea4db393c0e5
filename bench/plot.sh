#!/usr/bin/env bash
# Turns the benchmark results in DIR (results.csv from tarvenloch_bench,
# octave.dat and octave_batch.dat from octave_bench) into a log-log chart of
# time per call against n, with fitted growth exponents, and prints the
# tables in Markdown.
#   bench/plot.sh DIR OUTPUT.png
set -euo pipefail
dir=$1
out=$2

# "name/n_median" or "name/n/iterations:1_median",iterations,real_time,... -> "n ns"
medians() {
    awk -F, -v name="$1" '{ gsub(/"/, "", $1); sub("/iterations:[0-9]+", "", $1) }
        $1 ~ "^" name "/[0-9]+_median$" { sub("^" name "/", "", $1); sub("_median$", "", $1); print $1, $3 }' \
        "$dir/results.csv" | sort -n
}
# The least-squares slope of log(time) against log(n) for n >= 1000.
exponent() {
    awk '$1 >= 1000 { x = log($1); y = log($2); n++; sx += x; sy += y; sxx += x * x; sxy += x * y }
         END { if (n > 1) printf "%.2f", (n * sxy - sx * sy) / (n * sxx - sx * sx); else printf "n/a" }' "$1"
}

for family in normal convex heavy integer degenerate; do
    medians "literal/$family" > "$dir/literal_$family.dat"
    medians "solver/$family" > "$dir/solver_$family.dat"
    medians "fullscan/$family" > "$dir/fullscan_$family.dat"
done
{ cat "$dir/literal_normal.dat"; medians growth-literal/normal; } | sort -n > "$dir/literal.dat"
{ cat "$dir/fullscan_normal.dat"; medians growth-fullscan/normal; } | sort -n > "$dir/fullscan.dat"
{ cat "$dir/solver_normal.dat"; medians growth-solver/normal; } | sort -n > "$dir/solver.dat"
medians BM_SortLiteral > "$dir/sort_literal.dat"
medians BM_SortFast > "$dir/sort_fast.dat"

echo "| data | n | literal (ns) | full scan (ns) | solver (ns) | literal / solver | full scan / solver |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for family in normal convex heavy integer degenerate; do
    join "$dir/literal_$family.dat" "$dir/fullscan_$family.dat" | join - "$dir/solver_$family.dat" | sort -n |
        awk -v f="$family" '{ printf "| %s | %d | %.1f | %.1f | %.1f | %.2fx | %.2fx |\n", f, $1, $2, $3, $4, $2 / $4, $3 / $4 }'
done
echo
echo "Growth exponents for n >= 1000 (time ~ n^k): literal $(exponent "$dir/literal.dat"), full scan $(exponent "$dir/fullscan.dat"), solver $(exponent "$dir/solver.dat")"
echo
echo "| m | sift-pass sort (ns) | solver's sort (ns) | ratio |"
echo "|---:|---:|---:|---:|"
join "$dir/sort_literal.dat" "$dir/sort_fast.dat" | sort -n | awk '{ printf "| %d | %.1f | %.1f | %.2fx |\n", $1, $2, $3, $2 / $3 }'
if [[ -f "$dir/octave.dat" ]]; then
    echo
    echo "| n | module (calls/s) | Octave code (calls/s) | ratio |"
    echo "|---:|---:|---:|---:|"
    awk '{ printf "| %d | %.0f | %.1f | %.0fx |\n", $1, $2, $3, $2 / $3 }' "$dir/octave.dat"
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

gnuplot <<GNUPLOT
set terminal pngcairo size 800,560 font "sans,11"
set output "$out"
set logscale xy
set format y "10^{%L}"
set format x "10^{%L}"
set xlabel "n (terms)"
set ylabel "time per call (ns)"
set key top left
set grid
set title "tarvenloch: time per call against n (normal p and q, b = 1)"
plot '$dir/literal.dat' using 1:2 with linespoints title 'literal computation (n^{$(exponent "$dir/literal.dat")})', \
     '$dir/fullscan.dat' using 1:2 with linespoints title 'vector scan alone (n^{$(exponent "$dir/fullscan.dat")})', \
     '$dir/solver.dat' using 1:2 with linespoints title 'pruned solver (n^{$(exponent "$dir/solver.dat")})'
GNUPLOT
echo
echo "chart: $out"
