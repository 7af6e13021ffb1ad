#!/usr/bin/env bash
# Status log scan throughput against a plain read of the same file, and the
# peak memory of one scan, for logs of 1, 10 and 100 MB.
#
# Usage: tools/scan-bench.sh [BENCH_BINARY]   (default build/native/bench/orvex_scan_bench)
#
# Targets: scan at least 1/4 of the plain read with 1 component and 1/10 with
# 1000 components; peak memory at most 1.1 x log size + 4 MiB (1000 components).
# "copy" is the plain read keeping the whole file in one fresh buffer, as the
# status text does: no scan can be faster than that.
set -euo pipefail

bench=${1:-build/native/bench/orvex_scan_bench}
if [[ ! -x $bench ]]; then
    echo "scan-bench: no benchmark binary at $bench" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-scan-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "running $bench (progress below) ..." >&2
"$bench" --benchmark_out="$work/results.csv" --benchmark_out_format=csv >&2

# Rows look like: "Scan/10/1000/real_time",iterations,real,cpu,unit,bytes_per_second,...
declare -A rate
while IFS=, read -r name _ _ _ _ bytesPerSecond _; do
    name=${name//\"/}
    rate[${name%/real_time}]=$bytesPerSecond
done < <(sed -n '/^name,/,$p' "$work/results.csv" | tail -n +2)

declare -A peak limit
for mb in 1 10 100; do
    mkdir "$work/$mb"
    "$bench" --write-files "$work/$mb" "$mb" 1000
    size=$(stat -c %s "$work/$mb/orvexStatus.log")
    peak[$mb]=$("$bench" --peak-rss "$work/$mb/status.properties" "$work/$mb/orvexStatus.log" |
        awk '$1 == "peak_rss_kib" { print $2 }')
    limit[$mb]=$(( size * 11 / 10 / 1024 + 4096 ))
    rm -rf "${work:?}/$mb"
done

missed=0
printf '%5s %10s %10s %10s %10s %7s %7s %7s %10s %10s  %s\n' \
    size components "scan MB/s" "read MB/s" "copy MB/s" ratio target "of copy" "peak KiB" "limit KiB" result
for mb in 1 10 100; do
    for components in 1 10 100 1000; do
        target=-
        [[ $components == 1 ]] && target=0.25
        [[ $components == 1000 ]] && target=0.10
        line=$(awk -v scan="${rate[Scan/$mb/$components]}" -v read="${rate[PlainRead/$mb]}" \
            -v copy="${rate[CopyRead/$mb]}" -v target="$target" -v peak="${peak[$mb]}" -v limit="${limit[$mb]}" \
            'BEGIN {
                ratio = scan / read
                ok = (target == "-" || ratio >= target) && peak <= limit
                printf "%10.0f %10.0f %10.0f %7.3f %7s %7.2f %10d %10d  %s", scan / 1e6, read / 1e6, copy / 1e6, ratio,
                    target, scan / copy, peak, limit, ok ? "ok" : "MISSED"
            }')
        [[ $line == *MISSED ]] && missed=$((missed + 1))
        printf '%3sMB %10s %s\n' "$mb" "$components" "$line"
    done
done
echo "rows below target: $missed"

# Where fresh memory is dear (first touch of each 4 KiB page), the copy column is
# the floor of the largest rows: below 32 MiB the allocator hands freed memory
# back to the next scan, above it every scan gets fresh pages. The same rows
# with the status text in huge pages show what the scan itself costs there.
echo
"$bench" --first-touch 100 | awk '
    $1 == "fresh_mb_per_s" { fresh = $2 } $1 == "again_mb_per_s" { again = $2 } $1 == "microseconds_per_page" { page = $2 }
    END { printf "writing 100 MB: %.0f MB/s into fresh memory (%.2f us per 4 KiB page), %.0f MB/s into the same memory again\n", fresh, page, again }'
echo "bound for a scan that keeps the log, 100 MB rows: ratio <= copy/read = $(awk -v c="${rate[CopyRead/100]}" -v r="${rate[PlainRead/100]}" 'BEGIN { printf "%.3f", c / r }')"
echo
echo "100 MB rows again, memory in huge pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1):"
GLIBC_TUNABLES=glibc.malloc.hugetlb=1 "$bench" --benchmark_filter='^(PlainRead|CopyRead)/100/|^Scan/100/(1|1000)/' \
    --benchmark_format=csv 2>/dev/null | sed -n '/^name,/,$p' | tail -n +2 |
    awk -F, '{ gsub(/"/, "", $1); sub(/\/real_time/, "", $1); rate[$1] = $6 }
        END {
            printf "  read %.0f MB/s, copy %.0f MB/s, scan with 1 component %.0f MB/s (ratio %.3f), with 1000 %.0f MB/s (ratio %.3f)\n",
                rate["PlainRead/100"] / 1e6, rate["CopyRead/100"] / 1e6, rate["Scan/100/1"] / 1e6,
                rate["Scan/100/1"] / rate["PlainRead/100"], rate["Scan/100/1000"] / 1e6,
                rate["Scan/100/1000"] / rate["PlainRead/100"]
        }'
