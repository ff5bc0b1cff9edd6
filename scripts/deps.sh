#!/usr/bin/env bash
# Installs the Debian 12 packages that a command of the project needs, when
# any of them is missing.
#
#   bash scripts/deps.sh [run|test]
#
# run:  building and running Vortlebox (scripts/run.sh);
# test: that and the test tools (scripts/test.sh; the default).
#
# As root it installs them; otherwise with sudo, when there is sudo; without
# either it prints the one apt-get line that would, and ends with status 1.
# With everything installed it needs no root at all.
set -euo pipefail

run=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-svg-dev libsqlite3-dev libcurl4-openssl-dev libxcb1-dev
    python3 curl dbus-bin xdg-utils
)
# The sanitizer runtimes follow the installed clang (libclang-rt-dev is the
# one of Debian's default clang).
test=(
    clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth trayer xdotool desktop-file-utils dbus-daemon libglib2.0-bin
    mpv mpv-mpris dpkg-dev file lintian
)

case "${1:-test}" in
    run) packages=("${run[@]}") ;;
    test) packages=("${run[@]}" "${test[@]}") ;;
    *) echo "usage: bash scripts/deps.sh [run|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "Vortlebox needs Debian packages that are not installed. As root, run:" >&2
    echo "    apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
