#!/usr/bin/env bash
# Checks that no 32-bit function relies on a 16-byte aligned stack it was not given.
# 32-bit Windows aligns a thread's stack to 4 bytes only; a legacy SSE instruction whose
# memory operand must be 16-byte aligned (pcmpeqb m128, pand m128, movdqa, movaps, ...)
# faults on a stack slot unless its function realigns the stack itself. Reads the
# disassembly of the objects of orvex.exe and orvexcheck.exe, which keep their symbols,
# and fails naming every function that uses such an operand on %esp or %ebp without
# realigning. Prints the number of functions checked.
#
# The statically linked runtime (libstdc++, libgcc, mingw's CRT and threads) is read
# too, from the compiler's own archives: its few SSE instructions on the stack (libgcc's
# half-precision conversions) take any alignment.
# What it does not see: an operand reached through another register that points into
# the stack (a stack slot's address in %eax, then movdqa (%eax)). That is acceptable:
# GCC addresses its own spills and locals through %esp or %ebp, and a function that
# gets a pointer to a caller's local can only trust its alignment if the caller, also
# checked here, realigned.
#
# Usage: tools/check-sse-stack.sh I686_BUILD_DIR     every target's objects (each target required) and the runtime
#        tools/check-sse-stack.sh --objects OBJ...   just these objects
set -euo pipefail
objects=()
if [ "${1:-}" = --objects ]; then
  shift
  objects=("$@")
else
  BUILD=${1:?an i686 build directory}
  for target in orvex_core orvex_host orvex orvex_check orvexcheck; do
    dir=$BUILD/CMakeFiles/$target.dir
    found=0
    if [ -d "$dir" ]; then
      while IFS= read -r object; do objects+=("$object"); found=$((found + 1)); done < <(find "$dir" -name '*.obj' | sort)
    fi
    # A renamed or missing target must not drop out of the check unseen.
    if [ "$found" -eq 0 ]; then
      echo "no objects of target $target under $BUILD" >&2
      exit 1
    fi
  done
  cxx=i686-w64-mingw32-g++-posix
  for archive in libstdc++.a libgcc.a libgcc_eh.a libmingwex.a libmingw32.a libmsvcrt.a libwinpthread.a; do
    path=$($cxx -print-file-name=$archive)
    if [ ! -f "$path" ]; then
      echo "no runtime archive $archive for $cxx" >&2
      exit 1
    fi
    objects+=("$path")
  done
fi
if [ ${#objects[@]} -eq 0 ]; then
  echo "no i686 objects to check" >&2
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
