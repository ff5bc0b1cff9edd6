#!/usr/bin/env bash
# The idle cost of the MPRIS bridge: wake-ups per minute and resident memory.
#
#   bench/mpris-idle.sh [PATH-TO-vortlebox-mpris] [SECONDS]
#
# Runs the bridge on a private session bus in a temporary environment and
# counts its context switches (every thread, voluntary and involuntary: each
# time a sleeping thread wakes up and sleeps again) over SECONDS (default
# 120) in three situations: no player on the bus; mpv with a paused track;
# mpv playing a track (the bridge must not poll the position). Prints the
# wake-ups per minute and the resident memory after each: VmRSS (mostly
# pages of the shared libraries, Qt and ICU above all, which every Qt
# program on the desktop shares), PSS (those pages divided among the
# processes that map them) and RssAnon (the bridge's own memory). A stand-in listener answers the
# lines. Needs dbus-run-session, python3 and, for the last two, mpv with
# mpv-mpris.
set -euo pipefail

if [ "${VBX_IN_BUS:-}" != 1 ]; then
    top=$(cd "$(dirname "$0")/.." && pwd)
    bridge=${1:-$top/build-rel/bin/vortlebox-mpris}
    [ -x "$bridge" ] || { echo "no bridge at $bridge (build vortlebox-mpris first)" >&2; exit 2; }
    VBX_IN_BUS=1 exec dbus-run-session -- bash "$0" "$bridge" "${2:-120}" 2> >(grep -v 'fd limit' >&2)
fi

bridge=$1
seconds=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run TMPDIR=$work/tmp
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
chmod 700 "$XDG_RUNTIME_DIR"
# A stand-in listener that answers every line "OK", so that a track that
# plays is delivered and nothing waits to be retried.
export VORTLEBOX_LISTENER_PORT=${VORTLEBOX_LISTENER_PORT:-47000}
python3 "$(dirname "$0")/ok-server.py" "$VORTLEBOX_LISTENER_PORT" &

switches() {
    local total=0 n
    for task in /proc/"$1"/task/*; do
        n=$(awk '/ctxt_switches/ { s += $2 } END { print s }' "$task/status" 2>/dev/null || echo 0)
        total=$((total + n))
    done
    echo "$total"
}

measure() {
    local name=$1 before after
    sleep 3 # let start-up and the last change settle
    before=$(switches "$pid")
    sleep "$seconds"
    after=$(switches "$pid")
    awk -v name="$name" -v d=$((after - before)) -v s="$seconds" \
        -v rss="$(awk '/VmRSS/ { print $2 }' /proc/"$pid"/status)" \
        -v anon="$(awk '/RssAnon/ { print $2 }' /proc/"$pid"/status)" \
        -v pss="$(awk '/^Pss:/ { print $2 }' /proc/"$pid"/smaps_rollup)" \
        'BEGIN { printf "%-24s %5.1f wake-ups/min   VmRSS %5.1f MB   PSS %5.1f MB   RssAnon %4.1f MB\n", name, d * 60 / s, rss / 1024, pss / 1024, anon / 1024 }'
}

# A 10-minute tagged WAV for mpv (8 kHz, 8-bit mono).
wave=$work/idle.wav
python3 - "$wave" <<'PY'
import struct, sys
rate, secs = 8000, 600
def chunk(tag, body):
    return tag + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')
info = b'INFO' + chunk(b'IART', b'Bench Artist\0') + chunk(b'INAM', b'Bench Title\0')
fmt = struct.pack('<HHIIHH', 1, 1, rate, rate, 1, 8)
body = b'WAVE' + chunk(b'fmt ', fmt) + chunk(b'LIST', info) + chunk(b'data', bytes([128]) * (rate * secs))
open(sys.argv[1], 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
PY

"$bridge" &
pid=$!
echo "bridge $bridge, $seconds s per measurement"
measure "no player"

script=/usr/lib/mpv-mpris/mpris.so
[ -r "$script" ] || script=/etc/mpv/scripts/mpris.so
if command -v mpv > /dev/null && [ -r "$script" ]; then
    mpv --no-config --no-terminal --ao=null --vo=null --script="$script" --pause "$wave" &
    mpvpid=$!
    measure "mpv with a paused track"
    kill "$mpvpid"; wait "$mpvpid" 2>/dev/null || true
    mpv --no-config --no-terminal --ao=null --vo=null --script="$script" "$wave" &
    mpvpid=$!
    measure "mpv playing a track"
    kill "$mpvpid"; wait "$mpvpid" 2>/dev/null || true
else
    echo "mpv or mpv-mpris missing: player measurements skipped"
fi
kill "$pid"; wait "$pid" 2>/dev/null || true
