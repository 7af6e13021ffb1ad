#!/usr/bin/env bash
# Checks that no 32-bit function relies on a 16-byte aligned stack it was not given.
# 32-bit Windows aligns a thread's stack to 4 bytes only; a legacy SSE instruction whose
# memory operand must be 16-byte aligned (pcmpeqb m128, pand m128, movdqa, movaps, ...)
# faults on a stack slot unless its function realigns the stack itself. Reads the
# disassembly of the objects of orvex.exe and orvexcheck.exe, which keep their symbols,
# and fails naming every function that uses such an operand on %esp or %ebp without
# realigning. Prints the number of functions checked.
# Usage: tools/check-sse-stack.sh I686_BUILD_DIR
set -euo pipefail
BUILD=${1:?an i686 build directory}
objects=()
for target in orvex_core orvex_host orvex orvex_check orvexcheck; do
  dir=$BUILD/CMakeFiles/$target.dir
  [ -d "$dir" ] && while IFS= read -r object; do objects+=("$object"); done < <(find "$dir" -name '*.obj' | sort)
done
if [ ${#objects[@]} -eq 0 ]; then
  echo "no i686 objects under $BUILD" >&2
  exit 1
fi

i686-w64-mingw32-objdump -d --no-show-raw-insn -C "${objects[@]}" | awk '
  # Forms that take any alignment: unaligned moves, 32- and 64-bit loads and
  # stores, single-element inserts and extracts, and scalar arithmetic.
  function anyAlignment(m) {
    if (m ~ /^(movups|movupd|movdqu|lddqu|movq|movd|movss|movsd|movlps|movhps|movlpd|movhpd|maskmovdqu)$/) return 1
    if (m ~ /^(pinsr|pextr|insertps|extractps)/) return 1
    if (m ~ /^(cvtps2pd|cvtdq2pd|cvtpi2ps|cvtpi2pd)$/) return 1
    if (m ~ /(ss|sd)[lq]?$/) return 1
    # VEX forms take any alignment but for their aligned moves.
    if (m ~ /^v/ && m !~ /^vmov(a|nt)/) return 1
    return 0
  }
  function finish() {
    if (name != "" && needs && !realigns) offenders[name] = first
    name = ""
  }
  /^[0-9a-f]+ <.*>:$/ {
    finish()
    name = substr($0, index($0, "<") + 1)
    sub(/>:$/, "", name)
    if (!(name in seen)) { seen[name] = 1; checked++ }
    needs = 0; realigns = 0; first = ""
    next
  }
  name != "" && /\t/ {
    split($0, parts, "\t")
    insn = parts[2]
    mnemonic = insn
    sub(/[ \t].*/, "", mnemonic)
    if (insn ~ /and[l]? +\$0xffffff[0-9a-f]0,%esp/) realigns = 1
    if (insn ~ /%xmm/ && insn ~ /\(%e[sb]p[,)]/ && !anyAlignment(mnemonic)) {
      if (!needs) { first = insn; gsub(/ +/, " ", first) }
      needs = 1
      if (!(name in holding)) { holding[name] = 1; users++ }
    }
  }
  END {
    finish()
    n = 0
    for (f in offenders) { printf "  no realignment: %s (%s)\n", f, offenders[f]; n++ }
    printf "%d functions checked, %d keep aligned SSE operands on the stack, %d of them without realigning it\n", checked, users + 0, n
    exit n > 0
  }'
