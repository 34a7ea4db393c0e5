#!/usr/bin/env bash
# Turns the benchmark results in DIR (results.csv from tarvenloch_bench,
# octave.dat from octave_bench) into a log-log chart of time per call
# against n, with fitted growth exponents, and prints the tables in Markdown.
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
