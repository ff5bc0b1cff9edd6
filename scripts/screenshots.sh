#!/usr/bin/env bash
# Renders every window of the program, in each of its states, into
# build/screenshots/<window>-<state>.png: the real windows under Xvfb, with
# the Fenwave simulator supplying metadata and pictures. Each state runs in a
# private environment of its own, so no real settings are touched.
#
#   bash scripts/screenshots.sh            every window and state
#   bash scripts/screenshots.sh NAME...    only these (vortlebox-screens --list)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"

build=${VBX_BUILD_DIR:-$top/build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBX_TESTS=OFF -DVBX_BENCH=OFF
fi
ninja -C "$build" -j"${VBX_JOBS:-2}" vortlebox-screens
out="$build/screenshots"
mkdir -p "$out"

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# The simulated Fenwave servers, on free ports.
python3 "$top/tools/fenwave-sim.py" --submit-port 0 --web-port 0 --static-port 0 \
    --user alice:secret --ports-file "$work/ports" > /dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
ports=$(python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); print("%d,%d,%d" % (p["submit"], p["web"], p["static"]))' "$work/ports")

if [ $# -gt 0 ]; then scenes=("$@"); else mapfile -t scenes < <(QT_QPA_PLATFORM=offscreen "$build/bin/vortlebox-screens" --list); fi

# Runs a command with a tray host (trayer) in the bottom-right corner.
with_tray='trayer --edge bottom --align right --widthtype pixel --width 160 --heighttype pixel --height 26 &
tray=$!
sleep 1
status=0
"$@" || status=$?
kill "$tray" 2>/dev/null || true
wait "$tray" 2>/dev/null || true
exit $status'

failed=0
for scene in "${scenes[@]}"; do
    env_dir="$work/$scene"
    mkdir -p "$env_dir/home" "$env_dir/config" "$env_dir/data" "$env_dir/run" "$env_dir/tmp"
    chmod 700 "$env_dir/run"
    if ! HOME="$env_dir/home" XDG_CONFIG_HOME="$env_dir/config" XDG_DATA_HOME="$env_dir/data" \
        XDG_RUNTIME_DIR="$env_dir/run" TMPDIR="$env_dir/tmp" QT_QPA_PLATFORM=xcb \
        xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
        bash -c "$with_tray" with_tray \
        "$build/bin/vortlebox-screens" --sim "$ports" --out "$out" "$scene"; then
        echo "screenshots: $scene failed (its log: $out/$scene.log)" >&2
        failed=1
    fi
done
exit $failed
