#!/usr/bin/env bash
# Status log scan throughput against a plain read() of the same cached file, for each
# marking: SSE2 (sixteen positions at a time, as every x86-64 build and the 32-bit
# build on a processor with SSE2 mark) and portable (as the 32-bit build marks on a
# processor without it). Logs: random words (6 to 14 per line) of 1, 10 and 100 MB,
# and 100 MB whose lines mostly hold the components' second or third text, as real
# status logs do. Then the peak memory of a process that scans once, for logs of 1,
# 10, 100 MB and 1 GiB. Last, orvexcheck against the host's scan on one 1 GiB log
# of each kind, one component found on its last line: confirmed, and with a second
# component that is found nowhere.
#
# Usage: tools/scan-bench.sh [BENCH_BINARY [PORTABLE_BENCH_BINARY]]
#   (default build/native/bench/orvex_scan_bench and the same with _portable)
#
# Targets, on the 100 MB logs, for the SSE2 marking: scan at least 0.30 of the plain
# read with 1 component on the words, 0.25 on the log of shared texts, and 0.10 with
# 1000 components (texts that occur nowhere, so every line is searched); peak resident
# memory at most 16 MiB with 1000 components, whatever the log's size. The portable
# marking has no target of its own. Each rate is the best of three runs, the runs of
# all rows of one marking interleaved at random. orvexcheck at most 1.3 times the
# scan's time when confirmed, 3 times with one component missing: each time the best
# of five rounds, the three runs of a round in random order.
set -euo pipefail

bench=${1:-build/native/bench/orvex_scan_bench}
portable=${2:-${bench}_portable}
for binary in "$bench" "$portable"; do
    if [[ ! -x $binary ]]; then
        echo "scan-bench: no benchmark binary at $binary" >&2
        exit 2
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-scan-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Rows look like: "Scan/100/1000/0/repeats:3/real_time",iterations,real,cpu,unit,bytes_per_second,...
# One row per repetition; the best of them counts.
declare -A rate
for marking in sse2 portable; do
    binary=$bench
    [[ $marking == portable ]] && binary=$portable
    echo "running $binary (progress below) ..." >&2
    "$binary" --benchmark_enable_random_interleaving=true --benchmark_out="$work/$marking.csv" \
        --benchmark_out_format=csv >&2
    while IFS=, read -r name _ _ _ _ bytesPerSecond _; do
        name=${name//\"/}
        [[ $name == */real_time ]] || continue
        name=$marking/${name%/repeats:*}
        if [[ -z ${rate[$name]:-} ]] || awk -v a="$bytesPerSecond" -v b="${rate[$name]}" 'BEGIN { exit !(a > b) }'; then
            rate[$name]=$bytesPerSecond
        fi
    done < <(sed -n '/^name,/,$p' "$work/$marking.csv" | tail -n +2)
done

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
printf '%8s %6s %6s %10s %10s %10s %7s %7s %10s %10s  %s\n' \
    marking lines log components "scan MB/s" "read MB/s" ratio target "peak KiB" "text chars" result
for marking in sse2 portable; do
    for kind in 0 1; do
        for mb in 1 10 100 1024; do
            label=${mb}MB
            [[ $mb == 1024 ]] && label=1GiB
            [[ $kind == 1 && $mb != 100 ]] && continue
            [[ $mb == 1024 && $marking == portable ]] && continue
            for components in 1 10 100 1000; do
                if [[ $mb == 1024 && $components != 1000 ]]; then
                    continue
                fi
                target=-
                if [[ $marking == sse2 && $mb == 100 ]]; then
                    [[ $components == 1 && $kind == 0 ]] && target=0.30
                    [[ $components == 1 && $kind == 1 ]] && target=0.25
                    [[ $components == 1000 ]] && target=0.10
                fi
                memory=-
                [[ $components == 1000 && $kind == 0 && $marking == sse2 ]] && memory=${peak[$mb]}
                chars=-
                [[ $kind == 0 && $marking == sse2 ]] && chars=${text[$mb]}
                line=$(awk -v scan="${rate[$marking/Scan/$mb/$components/$kind]:-}" \
                    -v read="${rate[$marking/PlainRead/$mb]:-}" -v target="$target" \
                    -v peak="$memory" -v limit="$limitKib" -v chars="$chars" \
                    'BEGIN {
                        timed = scan != "" && read != ""
                        ratio = timed ? scan / read : 0
                        ok = (target == "-" || ratio >= target) && (peak == "-" || peak <= limit)
                        printf "%10s %10s %7s %7s %10s %10s  %s", timed ? sprintf("%.0f", scan / 1e6) : "-",
                            timed ? sprintf("%.0f", read / 1e6) : "-", timed ? sprintf("%.3f", ratio) : "-", target,
                            peak, chars, ok ? "ok" : "MISSED"
                    }')
                [[ $line == *MISSED ]] && missed=$((missed + 1))
                lines=words
                [[ $kind == 1 ]] && lines=texts
                printf '%8s %6s %6s %10s %s\n' "$marking" "$lines" "$label" "$components" "$line"
            done
        done
    done
done
echo "lines: words = random words only; texts = most lines hold a component's second or third text"
echo "memory limit: $limitKib KiB; the 1 GiB log is measured for memory only"

# Rows look like: "words scan BEST WORST", "words confirmed ...", "words missing ...".
mkdir "$work/versus"
echo "running $bench --versus on 1 GiB logs ..." >&2
versus=$("$bench" --versus "$work/versus" 1024 5)
echo
echo "orvexcheck against the scan, 1 GiB log (seconds: best of 5, worst in brackets; ratios of the bests)"
printf '%6s %16s %16s %6s %6s %16s %6s %6s  %s\n' lines scan confirmed ratio target "one missing" ratio target result
for lines in words texts; do
    line=$(awk -v lines="$lines" '
        $1 == lines { best[$2] = $3; worst[$2] = $4 }
        END {
            confirmed = best["confirmed"] / best["scan"]
            missing = best["missing"] / best["scan"]
            ok = confirmed <= 1.3 && missing <= 3
            printf "%6s %7.3f (%6.3f) %7.3f (%6.3f) %6.2f %6s %7.3f (%6.3f) %6.2f %6s  %s", lines,
                best["scan"], worst["scan"], best["confirmed"], worst["confirmed"], confirmed, "1.3",
                best["missing"], worst["missing"], missing, "3", ok ? "ok" : "MISSED"
        }' <<<"$versus")
    [[ $line == *MISSED ]] && missed=$((missed + 1))
    echo "$line"
done
echo "rows below target: $missed"
