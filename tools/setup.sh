# shellcheck shell=bash
# Installs what the build, the tests and the demo need, as root on Debian. Sourced by
# ./dev, which then reads SETUP_I386_NOTE: empty, or why 32-bit Wine is not installed
# (the tests then run the PE32+ stand-in under wine64).
#
# A mirror in the middle of a sync serves an index that does not match its Release file
# for hours. Setup then goes on with the indexes apt has; where that leaves the i386
# libraries a version behind their amd64 twins (packages that must have one version on
# both architectures), it installs the packages concerned at one version both
# architectures have, never below the installed one; and where the 32-bit packages still
# cannot be installed, it installs the rest and says so. A 64-bit package that cannot be
# installed is a failure, with apt's own message.

SETUP_TRIES=${SETUP_TRIES:-3}
SETUP_PAUSE_S=${SETUP_PAUSE_S:-10}
SETUP_I386_NOTE=

setup_say() { printf '\n== %s\n' "$*"; }

apt_install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove --no-install-recommends "$@"; }

# apt-get update, tried again after a pause; after the last try, goes on with what apt
# has, naming in one line the indexes that failed.
setup_update() {
  local try err rc=0 failed
  err=$(mktemp)
  for ((try = 1; try <= SETUP_TRIES; try++)); do
    rc=0
    apt-get update -qq 2>"$err" || rc=$?
    [ "$rc" -eq 0 ] && break
    [ "$try" -lt "$SETUP_TRIES" ] && sleep "$SETUP_PAUSE_S"
  done
  if [ "$rc" -ne 0 ]; then
    failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$err" | sort -u | tr '\n' ' ')
    [ -n "$failed" ] || failed=$(grep -m1 '^E:' "$err" || echo "exit status $rc")
    setup_say "apt-get update failed $SETUP_TRIES times (exit status $rc) for: ${failed% }; going on with the indexes apt has"
  fi
  rm -f "$err"
  return 0
}

# The packages the given ones pull in, recursively, as apt names them.
setup_closure() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[^ <]' | sort -u
}

# Pins for the libraries that must have one version on both architectures ("Multi-Arch:
# same") and whose two candidates differ: apt refuses to install such a pair. Arguments:
# the 64-bit packages to install, "--", the 32-bit ones. A library is concerned where the
# 32-bit packages pull it in and its amd64 twin is installed or pulled in too. It is
# pinned on both architectures to the newest version both have that is not below the
# installed amd64 one, and so is each installed amd64 package built from the same source
# that has that version (a -dev package that wants its library's exact version would
# otherwise be removed). Libraries with no such version are left as they are.
setup_skew_pins() {
  local wide=() tmp
  local LC_ALL=C
  export LC_ALL
  while [ $# -gt 0 ] && [ "$1" != -- ]; do wide+=("$1"); shift; done
  shift
  tmp=$(mktemp -d)
  setup_closure "$@" | sed -n 's/:i386$//p' | sort -u >"$tmp/narrow"
  { [ ${#wide[@]} -eq 0 ] || setup_closure "${wide[@]}"
    dpkg-query -W -f='${Package} ${Architecture} ${db:Status-Abbrev}\n' 2>/dev/null |
      awk '$2 == "amd64" && $3 ~ /^ii/ {print $1}'; } | sed 's/:amd64$//' | sort -u >"$tmp/wide"
  # Only "Multi-Arch: same" libraries must match their twin; the others (dpkg among them)
  # are never installed for both architectures.
  comm -12 "$tmp/narrow" "$tmp/wide" | sed 's/$/:i386/' | xargs -r apt-cache show --no-all-versions 2>/dev/null |
    awk '/^Package:/ {p = $2} /^Multi-Arch: same/ {print p}' | sort -u >"$tmp/same"
  if [ -s "$tmp/same" ]; then
    sed 'p; s/$/:i386/' "$tmp/same" | xargs apt-cache policy >"$tmp/policy" 2>/dev/null
    dpkg-query -W -f='${Package} ${Architecture} ${source:Package} ${Version} ${db:Status-Abbrev}\n' 2>/dev/null |
      awk '$2 != "i386" && $5 ~ /^ii/ {print $1, $3, $4}' >"$tmp/installed"
    # The libraries concerned, a line each: name, source, installed amd64 version or "-".
    awk 'FILENAME ~ /same$/ { same[$1] = 1; next }
         FILENAME ~ /installed$/ { src[$1] = $2; inst[$1] = $3; next }
         /^[^ ].*:$/ { key = substr($0, 1, length($0) - 1); next }
         $1 == "Candidate:" { cand[key] = $2 }
         END { for (p in same) if (cand[p] != cand[p ":i386"])
                 print p, (p in src ? src[p] : "-"), (p in inst ? inst[p] : "-") }' \
      "$tmp/same" "$tmp/installed" "$tmp/policy" | sort >"$tmp/concerned"
    cut -d' ' -f1 "$tmp/concerned" >"$tmp/concerned.names"
    local name source installed v best sibling amd64
    while read -r name source installed; do
      best=
      amd64=$(apt-cache madison "$name" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}')
      for v in $(apt-cache madison "$name:i386" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}'); do
        printf '%s\n' "$amd64" | grep -qxF "$v" || continue
        [ "$installed" = - ] || dpkg --compare-versions "$v" ge "$installed" || continue
        [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best" && best=$v
      done
      [ -n "$best" ] || continue
      printf '%s:amd64=%s %s:i386=%s\n' "$name" "$best" "$name" "$best"
      [ "$source" = - ] && continue
      for sibling in $(awk -v s="$source" '$2 == s {print $1}' "$tmp/installed" | grep -vxF -f "$tmp/concerned.names"); do
        apt-cache madison "$sibling" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}' | grep -qxF "$best" &&
          printf '%s=%s\n' "$sibling" "$best"
      done
    done <"$tmp/concerned" | sort -u
  fi
  rm -rf "$tmp"
  return 0
}

# The packages named, 64-bit and 32-bit in one go: as they are, else with the skewed
# libraries pinned, else the 64-bit ones alone (SETUP_I386_NOTE says why). Nothing
# installed is ever removed or downgraded. With pins, apt's resolver may still give up
# on a library a few levels down ("... but it is not going to be installed"); such
# libraries are named to it explicitly, a few rounds at most.
setup_install() {
  local wide=() narrow=() pkg err pins extra=() more round reason
  for pkg in "$@"; do
    case $pkg in *:i386) narrow+=("$pkg") ;; *) wide+=("$pkg") ;; esac
  done
  [ ${#narrow[@]} -gt 0 ] || { apt_install "${wide[@]}"; return; }
  err=$(mktemp)
  if apt-get install -s --no-remove --no-install-recommends "$@" >"$err" 2>&1; then
    rm -f "$err"; apt_install "$@"; return
  fi
  # A 64-bit package that cannot be installed is a failure, with apt's own message.
  if [ ${#wide[@]} -gt 0 ] && ! apt-get install -s --no-remove --no-install-recommends "${wide[@]}" >/dev/null 2>&1; then
    rm -f "$err"; apt_install "${wide[@]}"; return
  fi
  pins=$(setup_skew_pins "${wide[@]}" -- "${narrow[@]}")
  if [ -n "$pins" ]; then
    setup_say "the i386 libraries are a version behind their amd64 twins: installing $(printf '%s\n' $pins | sed -n 's/:i386=/ /p' | tr '\n' ',' | sed 's/,$//; s/,/, /g') at one version for both architectures"
    for round in 1 2 3 4 5; do
      # shellcheck disable=SC2086
      if apt-get install -s --no-remove --no-install-recommends $pins "${extra[@]}" "$@" >"$err" 2>&1; then
        rm -f "$err"
        # shellcheck disable=SC2086
        apt_install $pins "${extra[@]}" "$@"; return
      fi
      more=$(sed -n 's/.*Depends: \([^ ]*:i386\).* but it is not going to be installed.*/\1/p' "$err" | sort -u |
               grep -vxF -f <(printf '%s\n' "${extra[@]}" "$@") || true)
      [ -n "$more" ] || break
      # shellcheck disable=SC2206
      extra+=($more)
      : "$round"
    done
  fi
  reason=$(grep -m1 '^E:' "$err" | sed 's/^E: //')
  rm -f "$err"
  SETUP_I386_NOTE="32-bit Wine could not be installed (apt: ${reason:-no reason given})"
  setup_say "the shipped PE32 will not be run: $SETUP_I386_NOTE; the tests run the PE32+ stand-in under wine64"
  [ ${#wide[@]} -eq 0 ] || apt_install "${wide[@]}"
}

# Installs the packages named that are missing; names ending in :i386 are the 32-bit ones.
setup_packages() {
  local missing=() update='' pkg
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    setup_say "enabling the i386 architecture (for 32-bit Wine)"
    dpkg --add-architecture i386
    update=1
  fi
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && [ -z "$update" ] && return 0
  [ ${#missing[@]} -eq 0 ] || setup_say "installing: ${missing[*]}"
  setup_update
  setup_install "${missing[@]}"
}
