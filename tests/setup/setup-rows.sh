#!/usr/bin/env bash
# Setup's paths against a stand-in apt (fake-apt beside this file): a row per state of the
# mirror, each checking what setup installs and what it says.
set -u
here=$(cd "$(dirname "$0")" && pwd)
setup_script=$here/../../tools/setup.sh
passed=0 failed=0

# row: FAKE_ROW, expected exit status, then pairs of "log|out" and an extended regex.
row() {
  local name=$1 want_rc=$2; shift 2
  local dir; dir=$(mktemp -d)
  mkdir "$dir/bin"
  for tool in apt-get apt-cache dpkg dpkg-query; do ln -s "$here/fake-apt" "$dir/bin/$tool"; done
  printf 'cmake amd64 3.25.1 cmake\nlibssl3 amd64 3.0.19 openssl\nlibssl-dev amd64 3.0.19 openssl\n' >"$dir/installed"
  : >"$dir/log"
  local rc=0
  ( export PATH=$dir/bin:$PATH FAKE_ROW=$name FAKE_DIR=$dir SETUP_PAUSE_S=0
    set -euo pipefail
    # shellcheck source=../../tools/setup.sh
    . "$setup_script"
    setup_packages cmake wine64 wine32:i386 || exit
    echo "note: ${SETUP_I386_NOTE:-none}" ) >"$dir/out" 2>&1 || rc=$?
  local ok=1 where pattern
  [ "$rc" -eq "$want_rc" ] || { echo "  exit status $rc, wanted $want_rc"; ok=0; }
  while [ $# -gt 0 ]; do
    where=$1 pattern=$2; shift 2
    local file=$dir/$where negate=
    [ "${pattern:0:1}" = '!' ] && { negate=1; pattern=${pattern:1}; }
    if grep -qE -- "$pattern" "$file"; then [ -z "$negate" ] || { echo "  $where has: $pattern"; ok=0; }
    else [ -n "$negate" ] || { echo "  $where lacks: $pattern"; ok=0; }; fi
  done
  if [ "$ok" -eq 1 ]; then passed=$((passed + 1)); echo "ok     $name"
  else failed=$((failed + 1)); echo "FAILED $name"; sed 's/^/  out: /' "$dir/out"; sed 's/^/  log: /' "$dir/log"; fi
  rm -rf "$dir"
}

row good 0 \
  log '^install wine64 wine32:i386$' log '!update.*update' out '!PE32 will not be run' out 'note: none'
row index 0 \
  log '^install wine64 wine32:i386$' \
  out '^== apt-get update failed 3 times \(exit status 100\) for: http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz; going on' \
  out 'note: none'
row skew 0 \
  log '^install (.* )?libssl3:amd64=3\.0\.20 libssl3:i386=3\.0\.20 .*wine64 wine32:i386$' \
  log '^install .*libssl-dev=3\.0\.20' log '^install .*libgst:i386' log '!3\.0\.22' \
  out 'installing libssl3 3\.0\.20 at one version for both architectures' out 'note: none'
row impossible 0 \
  log '^install wine64$' log '!install .*:i386' \
  out '^== the shipped PE32 will not be run: 32-bit Wine could not be installed \(apt: Unable to correct problems' \
  out 'note: 32-bit Wine could not be installed'
row no64 100 \
  log '!^install' out 'E: Unable to locate package wine64'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
