#!/usr/bin/env bash
# Installs the Debian package into a fresh root with dpkg and runs the
# installed program from there, headless, against the simulator: one track
# sent as a plug-in would must reach the submission server. The package is
# then removed while the program runs: the program goes on until it ends,
# and the person's settings, log and queue stay.
#
#   tests/package/install-and-run.sh PACKAGE.deb      (from scripts/package.sh)
set -euo pipefail
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
sim_pid="" vbx_pid=""
finish() {
    if [ -n "$vbx_pid" ]; then kill -KILL "$vbx_pid" 2>/dev/null || true; fi
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT
fail() {
    echo "FAILED: $*" >&2
    for f in "$work"/home/data/Fenwave/Vortlebox/vortler.log "$work/simulator.log"; do
        [ -f "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
    done
    exit 1
}

echo "== The package"
echo "$(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Computed from the binaries, not written by hand.
for lib in libqt6widgets6 libqt6dbus6 libsqlite3-0 libcurl4; do
    grep -q "$lib" <<<"$depends" || fail "the package does not depend on $lib"
done
# Folders 0755, files 0644 or 0755 (it was built under umask 077).
odd=$(dpkg-deb -c "$deb" | awk '$1 !~ /^(drwxr-xr-x|-rw-r--r--|-rwxr-xr-x|lrwxrwxrwx)$/')
[ -z "$odd" ] || fail "entries of the package with other modes: $odd"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/xdg/autostart/vortlebox.desktop ||
    fail "the autostart entry is not a conffile"

echo "== Installing from the build folder: into a system prefix, and into a home"
build=$(dirname "$deb")
DESTDIR=$work/system cmake --install "$build" --prefix /usr/local >/dev/null
for f in etc/xdg/autostart/vortlebox.desktop usr/local/lib/systemd/user/vortlebox.service \
         usr/local/libexec/vortlebox/vortlebox-desktop; do
    [ -e "$work/system/$f" ] || fail "an install into /usr/local did not put /$f in place"
done
grep -q '^ExecStart=/usr/local/bin/vortlebox$' "$work/system/usr/local/lib/systemd/user/vortlebox.service" ||
    fail "the /usr/local unit does not start /usr/local/bin/vortlebox"
person=$work/person
mkdir -p "$person"
(unset XDG_CONFIG_HOME DESTDIR; HOME=$person cmake --install "$build" --prefix "$person/.local" >/dev/null)
for f in .config/autostart/vortlebox.desktop .config/systemd/user/vortlebox.service .local/bin/vortlebox; do
    [ -e "$person/$f" ] || fail "an install into a home did not put ~/$f in place"
done
[ ! -e "$person/.local/etc" ] || fail "an install into a home made ~/.local/etc"

echo "== Installing it into a fresh root"
root=$work/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
force=--force-depends
[ "$(id -u)" -ne 0 ] && force=$force,not-root
# The root has no other package: the dependencies are reported, not needed.
dpkg --root="$root" --log=/dev/null "$force" -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg could not install the package"; }
for f in usr/bin/vortlebox usr/bin/vortlebox-play usr/bin/vortlebox-reg usr/bin/vortlebox-history \
         usr/libexec/vortlebox/vortlebox usr/libexec/vortlebox/vortlebox-desktop \
         usr/libexec/vortlebox/vortlebox-mpris usr/libexec/vortlebox/Updater.exe \
         usr/libexec/vortlebox/package-managed \
         usr/share/doc/vortlebox/copyright usr/share/doc/vortlebox/changelog.Debian.gz \
         usr/share/man/man1/vortlebox.1.gz usr/share/man/man1/vortlebox-reg.1.gz \
         usr/share/man/man1/vortlebox-history.1.gz \
         usr/share/applications/vortlebox.desktop etc/xdg/autostart/vortlebox.desktop \
         usr/lib/systemd/user/vortlebox.service \
         usr/share/icons/hicolor/scalable/apps/vortlebox.svg usr/share/icons/hicolor/22x22/apps/vortlebox.png; do
    [ -e "$root/$f" ] || fail "the package did not install /$f"
done
grep -q '^MimeType=x-scheme-handler/fenwave;' "$root/usr/share/applications/vortlebox.desktop" ||
    fail "the desktop entry does not handle fenwave: links"
grep -q '^ExecStart=/usr/bin/vortlebox$' "$root/usr/lib/systemd/user/vortlebox.service" ||
    fail "the user unit does not start /usr/bin/vortlebox"
desktop-file-validate "$root/usr/share/applications/vortlebox.desktop"

echo "== Running the installed program headless against the simulator"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data
export XDG_RUNTIME_DIR=$work/home/run TMPDIR=$work/home/tmp QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
mkdir -p -m 700 "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
python3 "$top/tools/fenwave-sim.py" --user pkg:secret --submit-port 0 --web-port 0 --static-port 0 \
    --ports-file "$work/ports" >"$work/simulator.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
[ -s "$work/ports" ] || fail "the simulator did not start"
port_of() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$work/ports" "$1"; }
submit=$(port_of submit)

reg=$root/usr/bin/vortlebox-reg
$reg set 'Software\Fenwave\Users\pkg' Password sz "$(printf secret | md5sum | cut -d' ' -f1)"
$reg set 'Software\Fenwave\Users\pkg' LogToProfile dword 1
$reg set 'Software\Fenwave\Users' CurrentUser sz pkg
$reg set 'Software\Fenwave\Vortlebox' SubmitHost sz "127.0.0.1:$submit"
$reg set 'Software\Fenwave\Vortlebox' WebServiceHost sz "127.0.0.1:$(port_of web)"
$reg set 'Software\Fenwave\Vortlebox' StaticHost sz "127.0.0.1:$(port_of static)"

# A port of its own, so that a copy running on this machine is not asked.
listener=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export VORTLEBOX_LISTENER_PORT=$listener
"$root/usr/bin/vortlebox" &
vbx_pid=$!
log=$XDG_DATA_HOME/Fenwave/Vortlebox/vortler.log
for _ in $(seq 300); do
    grep -q "Listener bound to port" "$log" 2>/dev/null && break
    kill -0 "$vbx_pid" 2>/dev/null || fail "the installed program ended at start"
    sleep 0.1
done
port=$(sed -n 's/.*Listener bound to port \([0-9]*\).*/\1/p' "$log" | tail -1)
[ -n "$port" ] || fail "the installed program did not listen"

reply=$("$root/usr/bin/vortlebox-play" --port "$port" START 'c=pkg&a=Packaged Artist&t=Installed Title&b=Deb&l=30&p=/music/p.mp3')
[ "$reply" = OK ] || fail "the listener answered '$reply'"
entries=$(curl -s "http://127.0.0.1:$submit/__sim/entries?wait=1&timeout=60000")
grep -q '"title": "Installed Title"' <<<"$entries" || fail "no track reached the simulator: $entries"
echo "The simulator received: $(tr -d '\n' <<<"$entries" | tr -s ' ')"

echo "== Removing the package while the program runs"
dpkg --root="$root" --log=/dev/null "$force" -r vortlebox >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg could not remove the package"; }
[ ! -e "$root/usr/libexec/vortlebox/vortlebox" ] || fail "the program is still installed"
reply=$(python3 -c 'import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"STOP c=pkg\n")
print(s.recv(64).decode().strip())' "$port")
[ "$reply" = OK ] || fail "the running program no longer answers after the removal: '$reply'"
kill -TERM "$vbx_pid"
status=0
wait "$vbx_pid" || status=$?
vbx_pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status on SIGTERM after the removal"
for f in "$XDG_CONFIG_HOME/Fenwave/registry.db" "$log" "$XDG_DATA_HOME/Fenwave/Vortlebox/pkg.vortler.cache"; do
    [ -e "$f" ] || fail "the removal took $f"
done
echo "== The installed package works, and goes without breaking what runs"
