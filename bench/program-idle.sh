#!/usr/bin/env bash
# The idle cost of the program: wake-ups per minute and resident memory.
#
#   bench/program-idle.sh [BUILD-DIR] [SECONDS]
#
# Runs the program in a temporary environment for a user whose password is
# remembered, against the Fenwave simulator (so that the handshake succeeds
# and nothing is retried), without the MPRIS bridge, and counts the context switches of all its threads (each time
# a sleeping thread wakes up and sleeps again) over SECONDS (default 120)
# after it has settled: headless (no display: the core alone), and on a
# display (Xvfb) with a tray host (trayer) holding its icon. Prints the
# wake-ups per minute and the resident memory: VmRSS, PSS (shared library
# pages divided among the processes that map them) and RssAnon (the
# program's own memory). Needs Xvfb and trayer for the second.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-rel}
seconds=${2:-120}
program=$build/bin/vortlebox
[ -x "$program" ] || { echo "no program at $program (build it first)" >&2; exit 2; }

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run TMPDIR=$work/tmp
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export VORTLEBOX_LISTENER_PORT=0
reg=$build/bin/vortlebox-reg
"$reg" set 'Software\Fenwave\Vortlebox' FirstRun sz 0 > /dev/null
# A user whose password is remembered: no login at start.
"$reg" set 'Software\Fenwave\Users\bench' Password sz "$(printf secret | md5sum | cut -d' ' -f1)" > /dev/null
"$reg" set 'Software\Fenwave\Users\bench' RememberPass dword 1 > /dev/null
"$reg" set 'Software\Fenwave\Users' CurrentUser sz bench > /dev/null
"$reg" set 'Software\Fenwave\Vortlebox' MprisBridge dword 0 > /dev/null
python3 "$top/tools/fenwave-sim.py" --submit-port 0 --web-port 0 --static-port 0 --user bench:secret \
    --ports-file "$work/ports" > /dev/null &
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
for role in submit web static; do
    port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$work/ports" "$role")
    case $role in
        submit) name=SubmitHost ;;
        web) name=WebServiceHost ;;
        static) name=StaticHost ;;
    esac
    "$reg" set 'Software\Fenwave\Vortlebox' "$name" sz "127.0.0.1:$port" > /dev/null
done

# Context switches of each thread: "TID COUNT" lines.
switches() {
    for task in /proc/"$1"/task/*; do
        echo "${task##*/} $(awk '/ctxt_switches/ { s += $2 } END { print s }' "$task/status" 2>/dev/null || echo 0)"
    done
}

measure() {
    local name=$1 pid=$2
    # Start-up settles: the handshake and the update check are done, and the
    # threads Qt keeps in its pool for a while after drawing have expired.
    sleep 40
    switches "$pid" > "$work/before"
    sleep "$seconds"
    switches "$pid" > "$work/after"
    # Threads present at both ends; one that came or went is a wake-up too.
    local wakeups
    wakeups=$(awk 'NR == FNR { before[$1] = $2; next }
                   ($1 in before) { d += $2 - before[$1]; delete before[$1]; next }
                   { d += $2 }
                   END { for (t in before) d += 1; print d }' "$work/before" "$work/after")
    awk -v name="$name" -v d="$wakeups" -v s="$seconds" \
        -v rss="$(awk '/VmRSS/ { print $2 }' /proc/"$pid"/status)" \
        -v anon="$(awk '/RssAnon/ { print $2 }' /proc/"$pid"/status)" \
        -v pss="$(awk '/^Pss:/ { print $2 }' /proc/"$pid"/smaps_rollup)" \
        'BEGIN { printf "%-26s %5.1f wake-ups/min   VmRSS %5.1f MB   PSS %5.1f MB   RssAnon %4.1f MB\n", name, d * 60 / s, rss / 1024, pss / 1024, anon / 1024 }'
}

echo "program $program, $seconds s per measurement"
"$program" &
pid=$!
measure "headless" "$pid"
kill "$pid"; wait "$pid" 2>/dev/null || true

if command -v Xvfb > /dev/null && command -v trayer > /dev/null; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" &
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=:$(cat "$work/display")
    trayer --edge bottom --align right > /dev/null 2>&1 &
    sleep 2
    "$program" &
    pid=$!
    measure "desktop, icon in a tray" "$pid"
    kill "$pid"; wait "$pid" 2>/dev/null || true
else
    echo "Xvfb or trayer missing: the desktop measurement is skipped"
fi
