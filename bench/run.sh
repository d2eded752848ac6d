#!/bin/sh
# Runs every benchmark built in <bin> and prints one table: benchmark, case, result, and the
# target it is held to (bench/targets.txt). Google Benchmark programs report through their
# CSV output; the others print their own figures, one line each.
# Usage: sh bench/run.sh build/bin
bin=${1:-build/bin}
here=$(dirname "$0")
status=0
# The update bench opens the window: offscreen when there is no display.
[ -n "$DISPLAY" ] || export QT_QPA_PLATFORM=offscreen
row() { printf '%-20s %-44s %s\n' "$1" "$2" "$3"; }
row benchmark case result
row -------------------- -------------------------------------------- ------------------------------
for exe in "$bin"/*_bench; do
    [ -x "$exe" ] || continue
    name=$(basename "$exe" _bench)
    out=$(mktemp)
    if grep -q 'benchmark/benchmark.h' "$here/${name}_bench.cpp" 2>/dev/null; then
        "$exe" --benchmark_format=csv >"$out" 2>/dev/null || status=1
        # name,iterations,real_time,cpu_time,time_unit,bytes_per_second,items_per_second,
        # label,error_occurred,error_message, then the user counters.
        awk -F, -v bench="$name" '
            function t(v, u) {
                if (u == "ns" && v >= 1e4) { v /= 1e3; u = "us" }
                if (u == "us" && v >= 1e4) { v /= 1e3; u = "ms" }
                return sprintf("%.4g %s", v, u)
            }
            /^name,/ { gsub(/"/, ""); for (i = 1; i <= NF; i++) col[i] = $i; header = 1; next }
            header && NF > 4 {
                gsub(/"/, "", $1)
                r = t($3, $5) " real, " t($4, $5) " cpu"
                if ($6 != "") r = r sprintf(", %.3g MB/s", $6 / 1e6)
                for (i = 11; i <= NF; i++) if ($i != "") r = r sprintf(", %s=%.4g", col[i], $i)
                if ($9 == "true") r = "ERROR " $10
                printf "%-20s %-44s %s\n", bench, $1, r
            }' "$out"
    else
        # Their figures are on standard output; the toolkit's chatter on standard error is
        # shown only when the bench fails.
        "$exe" >"$out" 2>"$out.err" || { status=1; cat "$out.err"; }
        while IFS= read -r line; do row "$name" "-" "$line"; done <"$out"
        rm -f "$out.err"
    fi
    rm -f "$out"
    target=$(awk -v n="$name" '$1 == n { $1 = ""; sub(/^ /, ""); print }' "$here/targets.txt")
    [ -n "$target" ] && row "$name" "target" "$target"
done
exit $status
