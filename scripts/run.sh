#!/usr/bin/env bash
# Builds Vortlebox (installing what the build needs on first use) and starts a
# working system on this machine:
#
#   - when no Fenwave hosts are configured, the project's simulator stands in
#     for the Fenwave servers, with a demo account;
#   - Vortlebox itself, with its windows and tray icon when there is a
#     display, headless otherwise; it starts the MPRIS bridge, which hears the
#     desktop's players.
#
# The settings, the log and the queue of a trial live in a private folder of
# their own, printed at the start, so a trial never touches your settings;
# with --here the program uses your normal places instead. Ctrl+C ends
# everything this script started; what is still waiting to be sent is kept.
#
#   bash scripts/run.sh [--here] [-- PROGRAM ARGUMENTS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

here=0
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --here) here=1 ;;
        -h | --help)
            sed -n '2,16s/^# \{0,1\}//p' "$0"
            exit 0
            ;;
        --) shift; args+=("$@"); break ;;
        *) args+=("$1") ;;
    esac
    shift
done

bash "$top/scripts/deps.sh" run
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBX_TESTS=OFF -DVBX_BENCH=OFF >/dev/null
ninja -C "$top/build" -j2
bin=$top/build/bin

say() { printf '%s\n' "$*"; }
# Without a display the program shows no window: its core runs alone.
display=1
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    display=0
fi
case "${QT_QPA_PLATFORM:-}" in offscreen | minimal) display=0 ;; esac
# The bridge hears the players on the session bus; a trial's runtime folder
# must not hide the bus, nor a Wayland display, that live in the real one.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/bus" ]; then
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
fi
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ] && [ -n "${XDG_RUNTIME_DIR:-}" ]; then
    export WAYLAND_DISPLAY=$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY
fi

if [ "$here" = 0 ]; then
    trial=$(mktemp -d "${TMPDIR:-/tmp}/vortlebox-trial.XXXXXX")
    export XDG_CONFIG_HOME=$trial/config XDG_DATA_HOME=$trial/data XDG_RUNTIME_DIR=$trial/run TMPDIR=$trial/tmp
    mkdir -m 700 "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
    work=$trial
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/vortlebox-run.XXXXXX")
fi
data_home=${XDG_DATA_HOME:-$HOME/.local/share}
log=$data_home/Fenwave/Vortlebox/vortler.log

reg() { "$bin/vortlebox-reg" "$@"; }
key='Software\Fenwave\Vortlebox'

sim_pid="" vbx_pid="" watch_pid="" hosts_set=0
cleanup() {
    trap - INT TERM
    if [ -n "$vbx_pid" ] && kill -0 "$vbx_pid" 2>/dev/null; then
        kill -TERM "$vbx_pid" 2>/dev/null || true
        wait "$vbx_pid" 2>/dev/null || true
    fi
    if [ -n "$watch_pid" ]; then
        kill "$watch_pid" 2>/dev/null || true
        wait "$watch_pid" 2>/dev/null || true
    fi
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    # Your own store keeps nothing that points at the simulator.
    if [ "$hosts_set" = 1 ]; then
        for name in SubmitHost WebServiceHost StaticHost; do reg delete "$key" "$name" 2>/dev/null || true; done
    fi
    if [ "$here" = 0 ]; then
        say "Stopped. The trial's settings, log and queue stay in $trial."
    else
        rm -rf "$work"
        say "Stopped."
    fi
}
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

demo_user=demo demo_password=listen
# A submission host on this machine is the simulator's (the program writes
# that default itself when none is set); any other is a real deployment.
submit_host=$(reg get "$key" SubmitHost 2>/dev/null || true)
case "$submit_host" in
    "" | 127.0.0.1:* | localhost:*) simulate=1 ;;
    *) simulate=0 ;;
esac
if [ "$simulate" = 1 ]; then
    # The simulator on its usual ports, or on free ones when those are taken.
    start_sim() {
        rm -f "$work/sim-ports"
        python3 "$top/tools/fenwave-sim.py" --user "$demo_user:$demo_password" --ports-file "$work/sim-ports" \
            "$@" >"$work/simulator.log" 2>&1 &
        sim_pid=$!
        for _ in $(seq 100); do
            [ -s "$work/sim-ports" ] && return 0
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.1
        done
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
        return 1
    }
    start_sim || start_sim --submit-port 0 --web-port 0 --static-port 0 || {
        say "The simulator did not start; see $work/simulator.log." >&2
        exit 1
    }
    ports=$(cat "$work/sim-ports")
    port_of() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$ports" "$1"; }
    submit_port=$(port_of submit)
    reg set "$key" SubmitHost sz "127.0.0.1:$submit_port"
    reg set "$key" WebServiceHost sz "127.0.0.1:$(port_of web)"
    reg set "$key" StaticHost sz "127.0.0.1:$(port_of static)"
    hosts_set=1
    users='Software\Fenwave\Users'
    current_user=$(reg get "$users" CurrentUser 2>/dev/null || true)
    if [ "$display" = 0 ] && [ -z "$current_user" ]; then
        # Nobody can log in without a window: the demo account is made current.
        current_user=$demo_user
        reg set "$users\\$demo_user" Password sz "$(printf %s "$demo_password" | md5sum | cut -d' ' -f1)"
        reg set "$users\\$demo_user" LogToProfile dword 1
        reg set "$users" CurrentUser sz "$demo_user"
    fi
fi

# What a person needs comes first: with a display, the program's first
# window (the set-up wizard, or the login) opens before it listens.
say ""
if [ "$here" = 0 ]; then
    say "Vortlebox trial: $trial (settings, log and queue; your own settings are not touched)"
else
    say "Vortlebox, with your own settings"
fi
say "  Log:           $log"
if [ "$hosts_set" = 1 ]; then
    say "  Servers:       the simulator, standing in for Fenwave (submissions on 127.0.0.1:$submit_port)"
    if [ "$display" = 0 ] && [ "$current_user" = "$demo_user" ]; then
        say "  Account:       $demo_user (password \"$demo_password\"), logged in"
    elif [ "$display" = 0 ]; then
        say "  Account:       $current_user; the simulator knows only $demo_user (password \"$demo_password\")"
    else
        say "  Account:       log in as $demo_user, password \"$demo_password\", in the window that opens"
    fi
fi
# Another Vortlebox on this desktop holds the players (its bridge serves the
# session bus): this one then hears only what is sent to it.
other_bridge=0
if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] && command -v dbus-send >/dev/null &&
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.vortlebox.MprisBridge 2>/dev/null | grep -q 'boolean true'; then
    other_bridge=1
    say "  Players:       a Vortlebox already runs on this desktop and hears its players; this one"
    say "                 hears only the plug-in commands sent to it (below)."
fi
say ""

# Only what this start writes counts; the program makes the log itself.
log_start=0
if [ -f "$log" ]; then log_start=$(wc -l <"$log"); fi
"$bin/vortlebox" ${args[@]+"${args[@]}"} &
vbx_pid=$!

# The listener's port, from the program's log: for as long as a set-up
# window is open (nobody can say how long a person takes), unless the
# program ends first.
listener_port=""
waited=0
while kill -0 "$vbx_pid" 2>/dev/null; do
    listener_port=$(tail -n +"$((log_start + 1))" "$log" 2>/dev/null | sed -n 's/.*Listener bound to port \([0-9]*\).*/\1/p' | tail -1) || true
    [ -n "$listener_port" ] && break
    waited=$((waited + 1))
    if [ "$waited" = 30 ] && [ "$display" = 1 ]; then
        say "Waiting for the set-up window to be finished..."
    fi
    sleep 0.1
done
if [ -z "$listener_port" ]; then
    status=0
    wait "$vbx_pid" || status=$?
    vbx_pid=""
    if [ "$status" = 0 ]; then
        say "Vortlebox ended at once: another copy of it runs for you already (see $log)." >&2
    elif [ "$display" = 1 ]; then
        say "Vortlebox ended during its set-up (the window was closed or cancelled; exit status $status)." >&2
    else
        say "Vortlebox ended before it listened for players (exit status $status); see $log." >&2
    fi
    cleanup
    exit 1
fi

say "Vortlebox is running (process $vbx_pid)."
play="$bin/vortlebox-play"
[ "$listener_port" != 33367 ] && play="$play --port $listener_port"
say "Next:"
if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ "$other_bridge" = 0 ]; then
    say "  - Play music in any player of this desktop (heard through the MPRIS bridge), or"
fi
say "  - send a 30-second track as a player's plug-in would:"
say "      $play START 'c=demo&a=Some Artist&t=Some Title&b=Some Album&l=30&p=/music/a.mp3'"
if [ "$hosts_set" = 1 ]; then
    say "  - Half-way through (15 s for that track) it is submitted and shows up below; the whole list:"
    say "      curl -s http://127.0.0.1:$submit_port/__sim/entries"
else
    say "  - Half-way through (15 s for that track) it is submitted to your Fenwave profile; the log tells."
fi
say "Ctrl+C ends it all; what is still waiting to be sent is kept on disk."
say ""

if [ "$hosts_set" = 1 ]; then
    # Each entry the simulator accepts, as it arrives.
    python3 - "$submit_port" <<'EOF' &
import json, sys, time, urllib.request
port, seen = sys.argv[1], 0
while True:
    url = f"http://127.0.0.1:{port}/__sim/entries?wait={seen + 1}&timeout=30000"
    try:
        with urllib.request.urlopen(url, timeout=60) as reply:
            entries = json.load(reply)
    except OSError:
        time.sleep(1)
        continue
    for e in entries[seen:]:
        print(f"{time.strftime('%H:%M:%S')} Fenwave received from {e['user']}: {e['artist']} - {e['title']}"
              f" ({e['length']} s)", flush=True)
    seen = max(seen, len(entries))
EOF
    watch_pid=$!
fi

status=0
wait "$vbx_pid" || status=$?
vbx_pid=""
cleanup
exit "$status"
