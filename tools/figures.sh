#!/usr/bin/env bash
# Prints the project's figures: the status-log scan table, the size and imports of
# orvex.exe, and the host's latencies and memory measured under Wine.
# Usage: tools/figures.sh TEST_BED_DIR WINE_LOADER   (./dev bench passes both)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

echo "== status-log scan (native, release build)"
tools/scan-bench.sh build/native/bench/orvex_scan_bench

echo
echo "== orvex.exe"
for exe in build/windows/orvex.exe build/windows64/orvex.exe; do
  [ -f "$exe" ] || continue
  objdump=i686-w64-mingw32-objdump
  case "$exe" in *windows64*) objdump=x86_64-w64-mingw32-objdump ;; esac
  printf '%s: %s bytes, %s\n' "$exe" "$(stat -c %s "$exe")" "$(file -b "$exe" | cut -d, -f1)"
  printf '  imports: %s\n' "$($objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -u | tr '\n' ' ')"
done

echo
echo "== host under Wine ($(basename "$1"))"
build/native/tests/service/orvex_service_figures 7
