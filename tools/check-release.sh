#!/usr/bin/env bash
# The release check. Builds orvex.exe twice with the `windows` preset's settings, in two
# fresh directories of its own (build/release-a, build/release-b), and checks what an
# administrator relies on: the size bound, the DLLs it imports, DEP and ASLR, no link
# time stamp and no build path in it, the SSE2 marking chosen at run time (cpuid and the
# vector instructions in the code), both builds byte-identical and the same as the
# build the package takes (build/windows), no aligned SSE operand on a stack that was not
# realigned, the version fields as Windows code reads them
# under Wine, the manifest, and the message table that renders the event-log entries.
# orvexcheck.exe, where the build has it, gets the same checks but the version, manifest
# and message table ones, and a size bound of its own. Prints every figure; fails on any miss.
# Usage: tools/check-release.sh TEST_BED_DIR WINE_LOADER   (./dev test passes both)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
BED=$(cd "${1:?test bed directory with svcctl.exe}" && pwd)
LOADER=${2:?wine loader}
START=$SECONDS

# Size bounds, in bytes: orvex.exe stays small enough to check by eye; orvexcheck.exe
# carries a live probe beside its report (the refresh in a job, four formats, the
# explanation's second pass) and has a bound of its own.
declare -A MAX_BYTES=([orvex]=327680 [orvexcheck]=393216)
ALLOWED_DLLS=(ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL)
VERSION=$(sed -n 's/^project(orvexWinService VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
# Windows 7, 8, 8.1 and 10/11, as the manifest must declare them.
SUPPORTED_OS=(35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a)

misses=0
# verdict LABEL VALUE CONDITION-EXIT-STATUS: one line per figure.
verdict() {
  local mark=ok
  if [ "$3" -ne 0 ]; then mark=MISS; misses=$((misses + 1)); fi
  printf '  %-4s  %-22s %s\n' "$mark" "$1" "$2"
}
is() { [ "$1" = "$2" ]; echo $?; }

for dir in release-a release-b; do
  echo "== building build/$dir (preset windows)"
  rm -rf "build/$dir"
  cmake --preset windows -B "build/$dir" >"build/$dir.log" 2>&1 || { cat "build/$dir.log"; exit 1; }
  targets=(orvex)
  # grep reads to the end: with -q it could stop early and leave ninja a broken pipe.
  ninja -C "build/$dir" -t targets all | grep '^orvexcheck:' >/dev/null && targets+=(orvexcheck)
  cmake --build "build/$dir" --target "${targets[@]}" >>"build/$dir.log" 2>&1 || { cat "build/$dir.log"; exit 1; }
done

# 32-bit Windows gives a thread a stack aligned to 4 bytes only: no function may keep an
# aligned SSE operand on its stack without realigning it.
echo "== stack alignment of the 32-bit functions (build/release-a objects)"
stack_rc=0
stack=$(tools/check-sse-stack.sh build/release-a) || stack_rc=$?
sed -n 's/^  no realignment: /  MISS  no realignment: /p' <<<"$stack"
verdict "SSE stack operands" "$(tail -n 1 <<<"$stack")" "$stack_rc"
# The guard must be able to fail: the matcher compiled as release-a compiles it, but
# without the flag, keeps aligned SSE operands on a stack it does not realign.
matcher=CMakeFiles/orvex_core.dir/common/src/orvexWinService/TextMatcher.cpp.obj
unflagged=$(ninja -C build/release-a -t commands "$matcher" | tail -n 1 |
  sed -e 's/ -mincoming-stack-boundary=2//g' -e "s| -o $matcher| -o unflagged/TextMatcher.obj|" \
      -e "s| -MF [^ ]*| -MF unflagged/TextMatcher.d|")
rm -rf build/release-a/unflagged && mkdir build/release-a/unflagged
negative_rc=0
(cd build/release-a && eval "$unflagged") >build/release-a/unflagged.log 2>&1 || negative_rc=$?
negative=$(tools/check-sse-stack.sh --objects build/release-a/unflagged/TextMatcher.obj 2>&1) && negative_rc=1
sed -n 's/^  no realignment: /        reported: /p' <<<"$negative"
verdict "guard without the flag" "$(tail -n 1 <<<"$negative")" \
  $([ "$negative_rc" -eq 0 ] && grep -q 'no realignment: .*MarkStartsByVectors' <<<"$negative"; echo $?)

objdump=i686-w64-mingw32-objdump
for name in "${targets[@]}"; do
  exe=build/release-a/$name.exe
  echo "== $name.exe"
  headers=$($objdump -p "$exe")

  size=$(stat -c %s "$exe")
  bound=${MAX_BYTES[$name]}
  verdict size "$(printf "%'d bytes (bound %'d)" "$size" "$bound")" $([ "$size" -le "$bound" ]; echo $?)

  dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort -u | tr '\n' ' ')
  foreign=0
  for dll in $dlls; do
    [[ " ${ALLOWED_DLLS[*]} " == *" ${dll^^} "* ]] || foreign=1
  done
  verdict imports "${dlls% }" $foreign

  # The scan marks sixteen positions at a time where the processor has SSE2: the
  # vector instructions are there, and cpuid, which asks the processor once.
  code=$($objdump -d "$exe")
  vectors=$(grep -c 'pmovmskb' <<<"$code" || true)
  asks=$(grep -cw 'cpuid' <<<"$code" || true)
  verdict "SSE2 marking" "$vectors pmovmskb, $asks cpuid" $([ "$vectors" -gt 0 ] && [ "$asks" -gt 0 ]; echo $?)

  chars=$(awk '/^DllCharacteristics/ { print $2 }' <<<"$headers")
  for flag in NX_COMPAT DYNAMIC_BASE; do
    verdict "$flag" "DllCharacteristics 0x$chars" $(grep -qx "[[:space:]]*$flag" <<<"$headers"; echo $?)
  done

  # TimeDateStamp of the COFF header, 8 bytes after the PE signature.
  pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
  stamp=$(od -An -tu4 -j$((pe + 8)) -N4 "$exe" | tr -d ' ')
  verdict "link time stamp" "$stamp" "$(is "$stamp" 0)"
  paths=$(grep -caF -e "$ROOT" -e release-a "$exe" || true)
  verdict "build paths" "$paths places name $ROOT or release-a" "$(is "$paths" 0)"

  sha_a=$(sha256sum "$exe" | cut -d' ' -f1)
  sha_b=$(sha256sum "build/release-b/$name.exe" | cut -d' ' -f1)
  verdict "SHA-256 release-a" "$sha_a" 0
  verdict "SHA-256 release-b" "$sha_b" "$(is "$sha_a" "$sha_b")"
  if [ -f "build/windows/$name.exe" ]; then
    shipped=$(sha256sum "build/windows/$name.exe" | cut -d' ' -f1)
    verdict "SHA-256 build/windows" "$shipped" "$(is "$sha_a" "$shipped")"
  fi
done

echo "== orvex.exe as Windows code reads it (svcctl, $(basename "$BED") under $(basename "$LOADER"))"
# Runs the test bed's helper under Wine. Its output goes to files: a wine process that
# boots the prefix leaves services behind that would hold a pipe open.
helper() {
  WINEPREFIX=$BED/wineprefix WINELOADER=$LOADER WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$LOADER" "$BED/svcctl.exe" "$@" </dev/null || true
}
# The Windows name of a file of build/release-a.
release_path() { echo "Z:${ROOT//\//\\}\\build\\release-a\\$1"; }
out=build/release-a/version.txt
helper version "$(release_path orvex.exe)" >"$out.raw" 2>build/release-a/version.err
tr -d '\r' <"$out.raw" >"$out"
field() { sed -n "s/^$1=//p" "$out"; }
expect() { local value; value=$(field "$1"); verdict "$1" "$value" "$(is "$value" "$2")"; }
expect fixedfileversion "$VERSION.0"
expect fileversion "$VERSION"
expect filedescription "ORVEX for Quellon - Managing Server"
expect productname "ORVEX for Quellon"
expect productversion 6.1
expect internalname orvexWinService
expect originalfilename orvex.exe
manifest=$(field manifestbytes)
verdict "manifest" "${manifest:-none} bytes" $([ "${manifest:-0}" -gt 0 ]; echo $?)
if [ -z "$manifest" ]; then cat "$out" build/release-a/version.err; fi
exe=build/release-a/orvex.exe
verdict "  execution level" asInvoker $(grep -qaF 'level="asInvoker"' "$exe"; echo $?)
declared=0
for id in "${SUPPORTED_OS[@]}"; do grep -qaF "{$id}" "$exe" && declared=$((declared + 1)); done
verdict "  supportedOS" "$declared of ${#SUPPORTED_OS[@]} (Windows 7 to 10/11)" "$(is "$declared" ${#SUPPORTED_OS[@]})"

# Event Viewer renders an entry through message 0 of the table, with the entry's text as
# its one inserted string: the text must come back as it is, line ends and % signs too.
text=build/release-a/message.txt
printf 'ORVEX STATUS:\n\nalpha 100%% up, %%1 and %%%% stay\r\n' >"$text"
helper format "$(release_path orvex.exe)" "$(release_path message.txt)" "$(release_path message.out)" \
  >build/release-a/message.raw 2>&1
verdict "message table" "message 0 gives back a text of $(stat -c %s "$text") bytes as written" \
  "$(cmp -s "$text" build/release-a/message.out; echo $?)"
if ! cmp -s "$text" build/release-a/message.out; then cat build/release-a/message.raw; fi

echo "release check: $((SECONDS - START)) s, $misses misses"
[ "$misses" -eq 0 ]
