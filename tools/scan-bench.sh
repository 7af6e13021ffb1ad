#!/usr/bin/env bash
# Status log scan throughput against a plain read() of the same cached file, for
# synthetic logs of random words (6 to 14 per line) of 1, 10 and 100 MB, and the
# peak memory of a process that scans once, for logs of 1, 10, 100 MB and 1 GiB.
#
# Usage: tools/scan-bench.sh [BENCH_BINARY]   (default build/native/bench/orvex_scan_bench)
#
# Targets, on the 100 MB log: scan at least 1/4 of the plain read with 1 component
# and 1/10 with 1000 components (texts that occur nowhere, so every line is searched);
# peak resident memory at most 16 MiB with 1000 components, whatever the log's size.
# Each rate is the best of three runs, the runs of all rows interleaved at random.
set -euo pipefail

bench=${1:-build/native/bench/orvex_scan_bench}
if [[ ! -x $bench ]]; then
    echo "scan-bench: no benchmark binary at $bench" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-scan-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "running $bench (progress below) ..." >&2
"$bench" --benchmark_enable_random_interleaving=true --benchmark_out="$work/results.csv" --benchmark_out_format=csv >&2

# Rows look like: "Scan/10/1000/repeats:3/real_time",iterations,real,cpu,unit,bytes_per_second,...
# One row per repetition; the best of them counts.
declare -A rate
while IFS=, read -r name _ _ _ _ bytesPerSecond _; do
    name=${name//\"/}
    [[ $name == */real_time ]] || continue
    name=${name%/repeats:*}
    if [[ -z ${rate[$name]:-} ]] || awk -v a="$bytesPerSecond" -v b="${rate[$name]}" 'BEGIN { exit !(a > b) }'; then
        rate[$name]=$bytesPerSecond
    fi
done < <(sed -n '/^name,/,$p' "$work/results.csv" | tail -n +2)

limitKib=$((16 * 1024))
declare -A peak text
for mb in 1 10 100 1024; do
    mkdir "$work/$mb"
    "$bench" --write-files "$work/$mb" "$mb" 1000
    result=$("$bench" --peak-rss "$work/$mb/status.properties" "$work/$mb/orvexStatus.log")
    peak[$mb]=$(awk '$1 == "peak_rss_kib" { print $2 }' <<<"$result")
    text[$mb]=$(awk '$1 == "status_text_chars" { print $2 }' <<<"$result")
    rm -rf "${work:?}/$mb"
done

missed=0
printf '%6s %10s %10s %10s %7s %7s %10s %10s  %s\n' \
    log components "scan MB/s" "read MB/s" ratio target "peak KiB" "text chars" result
for mb in 1 10 100 1024; do
    label=${mb}MB
    [[ $mb == 1024 ]] && label=1GiB
    for components in 1 10 100 1000; do
        if [[ $mb == 1024 && $components != 1000 ]]; then
            continue
        fi
        target=-
        [[ $mb == 100 && $components == 1 ]] && target=0.25
        [[ $mb == 100 && $components == 1000 ]] && target=0.10
        memory=-
        [[ $components == 1000 ]] && memory=${peak[$mb]}
        line=$(awk -v scan="${rate[Scan/$mb/$components]:-}" -v read="${rate[PlainRead/$mb]:-}" -v target="$target" \
            -v peak="$memory" -v limit="$limitKib" -v chars="${text[$mb]}" \
            'BEGIN {
                timed = scan != "" && read != ""
                ratio = timed ? scan / read : 0
                ok = (target == "-" || ratio >= target) && (peak == "-" || peak <= limit)
                printf "%10s %10s %7s %7s %10s %10s  %s", timed ? sprintf("%.0f", scan / 1e6) : "-",
                    timed ? sprintf("%.0f", read / 1e6) : "-", timed ? sprintf("%.3f", ratio) : "-", target,
                    peak, chars, ok ? "ok" : "MISSED"
            }')
        [[ $line == *MISSED ]] && missed=$((missed + 1))
        printf '%6s %10s %s\n' "$label" "$components" "$line"
    done
done
echo "memory limit: $limitKib KiB; the 1 GiB log is measured for memory only"
echo "rows below target: $missed"
