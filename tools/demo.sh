#!/usr/bin/env bash
# The main job: the sample product in examples/ installed as the orvexWinService service
# in a fresh Wine prefix under a path with blanks, started, shown, started again with
# one component broken, explained by orvexcheck.exe, and uninstalled. Every event-log
# entry is printed as it comes.
# Usage: tools/demo.sh BUILD_DIR WINE_LOADER [WHICH_EXE]   (./dev demo passes all three;
# WHICH_EXE says which executable the build directory holds: the shipped PE32, or the
# PE32+ stand-in on a machine that runs no 32-bit code)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:?build directory with orvex.exe}
LOADER=${2:?wine loader}
WHICH_EXE=${3:-$(basename "$BUILD")}
WORK=$(mktemp -d /tmp/orvex-demo.XXXXXX)
export WINEPREFIX=$WORK/prefix WINELOADER=$LOADER WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
EVENTS=$WORK/events.log
INSTALL='C:\Program Files\ORVEX Demo'
HOST_INSTALL="$WINEPREFIX/drive_c/Program Files/ORVEX Demo"
SERVICE=orvexWinService

say() { printf '\n\033[1m>> %s\033[0m\n' "$*"; }
win() { "$LOADER" "$@" </dev/null; }
ctl() { win "$HOST_INSTALL/bin/svcctl.exe" "$@" | tr -d '\r'; }
state() {
  ctl query "$SERVICE" | awk -F= '$1=="state"{split("STOPPED START_PENDING STOP_PENDING RUNNING",n," "); s=n[$2]} $1=="checkpoint"{c=$2} $1=="pid"{p=$2}
    $1=="controls"{a=$2} $1=="exitcode"{e=$2} $1=="specific"{x=$2}
    END{printf "   service state: %s (checkpoint %s, pid %s, controls accepted 0x%x, exit codes %s and %s)\n", s, c, p, a, e, x}'
}
wait_for_entry() {  # text, seconds
  local i
  for ((i = 0; i < $2 * 10; i++)); do grep -qF "$1" "$EVENTS" && return 0; sleep 0.1; done
  echo "   (no entry \"$1\" within $2 s)"; return 1
}

# Prints each event-log entry as it arrives: wall-clock time, type and text. It follows
# the trace while WATCHING lives, and ends by itself once that is gone: ended by a
# signal, it would have the shell print a stray "Terminated".
show_events() {
  local offset
  offset=$(awk -v now="$(date +%s.%N)" '{printf "%.3f", now - $1}' /proc/uptime)
  # mawk reads its input in blocks unless told to read line by line.
  local live=()
  awk -W version 2>&1 | grep -q mawk && live=(-W interactive)
  tail --pid="$WATCHING" -n +1 -F "$EVENTS" 2>/dev/null | grep --line-buffered -F ':eventlog:ReportEventW L"' |
    awk "${live[@]}" -v offset="$offset" '{
      split($0, head, ":"); t = head[1] + offset
      kind = index($0, ":err:") ? "ERROR      " : index($0, ":warn:") ? "WARNING    " : "INFORMATION"
      text = substr($0, index($0, "L\"") + 2); cut = sub(/"\.\.\.$/, "", text); sub(/"$/, "", text)
      gsub(/\\n/, "\n                                  ", text); gsub(/\\\\/, "\\", text); gsub(/\\"/, "\"", text)
      printf "   %s.%03d  %s  %s%s\n", strftime("%H:%M:%S", int(t)), int((t - int(t)) * 1000), kind, text, cut ? " [...cut by Wine'"'"'s trace]" : ""
      fflush()
    }'
}

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${WATCHING:-}" ]; then
    sleep 0.5  # let the last entries through
    kill "$WATCHING" 2>/dev/null || true
    wait "$WATCHING" 2>/dev/null || true
    WATCHING=
  fi
  if [ -n "${SHOW_PID:-}" ]; then
    wait "$SHOW_PID" 2>/dev/null || true
    SHOW_PID=
  fi
}
trap cleanup EXIT

say "Fresh Wine prefix: $WINEPREFIX; orvex.exe is $WHICH_EXE"
win wineboot -i >/dev/null 2>&1; wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
: > "$EVENTS"
WINEDEBUG=-all,+eventlog,+pid,+timestamp "$LOADER" cmd /c exit </dev/null >/dev/null 2>>"$EVENTS"

say "Laying out the sample product in $INSTALL"
mkdir -p "$HOST_INSTALL"
cp -r "$ROOT/examples/product/." "$HOST_INSTALL/"
cp "$BUILD/orvex.exe" "$BUILD/orvexcheck.exe" "$BUILD/orvexDemoComponent.exe" "$BUILD/svcctl.exe" "$HOST_INSTALL/bin/"
(cd "$HOST_INSTALL" && find . -type f | sed 's|^\./|   |' | sort)

# Lives as long as this script, or until cleanup ends it.
tail --pid=$$ -f /dev/null & WATCHING=$!
show_events & SHOW_PID=$!

say "orvex.exe -install"
WINEDEBUG=-all,+eventlog,+pid,+timestamp win "$INSTALL\\bin\\orvex.exe" -install 2>>"$EVENTS" | sed "s/^/   /"; echo "   exit status ${PIPESTATUS[0]}"
ctl config "$SERVICE" | sed -n 's/^\(display\|binpath\|start\|account\)=/   \1: /p'

say "Starting the service: all three components come up"
ctl start "$SERVICE" 30000 >/dev/null; state
wait_for_entry "successfully started" 60 || true
sleep 0.5; state
echo "   status log:"; sed 's/^/     /' "$HOST_INSTALL/logs/orvexStatus.log"

say "Stopping the service"
ctl stop "$SERVICE" 60000 >/dev/null; state
wait_for_entry "stopped.\\n" 10 || true

say "Starting again with component gamma broken: the service names it and stops itself"
printf 'broken\r\n' > "$HOST_INSTALL/etc/gamma.broken"
: > "$WORK/mark"
ctl start "$SERVICE" 30000 >/dev/null; state
ctl wait "$SERVICE" 1 90000 >/dev/null; sleep 0.5; state

say "orvexcheck.exe: the host's verdict on the installation's files, explained"
status=0
win "$INSTALL\\bin\\orvexcheck.exe" >"$WORK/orvexcheck.txt" || status=$?
tr -d '\r' <"$WORK/orvexcheck.txt" | sed "s/^/   /"; echo "   exit status $status"
rm -f "$HOST_INSTALL/etc/gamma.broken"

say "orvex.exe -uninstall"
WINEDEBUG=-all,+eventlog,+pid,+timestamp win "$INSTALL\\bin\\orvex.exe" -uninstall 2>>"$EVENTS" | sed "s/^/   /"; echo "   exit status ${PIPESTATUS[0]}"
sleep 0.5
ctl exists "$SERVICE" | sed -n 's/^exists=0/   the service is gone/p'

cleanup
say "The demo ran orvex.exe as $WHICH_EXE"
say "Done. Nothing is left running; the prefix stays for a look: $WINEPREFIX (event trace: $EVENTS)"
