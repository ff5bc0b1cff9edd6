#!/usr/bin/env bash
# Builds Vortlebox (installing what the build needs on first use) and starts
# it. Arguments are passed to the program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBX_TESTS=OFF -DVBX_BENCH=OFF
ninja -C "$top/build" -j2
if [ ! -x "$top/build/bin/vortlebox" ]; then
    echo "build/bin/vortlebox is not built yet; the tools are in build/bin/." >&2
    exit 1
fi
# Without a display the program still runs, on Qt's offscreen platform.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi
exec "$top/build/bin/vortlebox" "$@"
