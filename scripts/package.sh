#!/usr/bin/env bash
# Builds the Debian package as a distribution would: a release build with
# Debian's hardening flags (dpkg-buildflags), packaged by CPack for /usr,
# then checked by lintian (no error, no warning; overrides only where a rule
# does not apply, each with its reason in cmake/debian/lintian-overrides).
#
#   bash scripts/package.sh [BUILD-FOLDER]     (default: build-pkg)
#
# Prints the path of the package. Needs what `scripts/deps.sh test` installs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-pkg}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVBX_TESTS=OFF -DVBX_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=8 \
    "-DCMAKE_C_FLAGS=$(flags CFLAGS) $(flags CPPFLAGS)" "-DCMAKE_CXX_FLAGS=$(flags CXXFLAGS) $(flags CPPFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)" >/dev/null
ninja -C "$build" -j"${VBX_JOBS:-2}" >/dev/null
# Whatever the umask, the package's folders are 0755 and its files 0644 or
# 0755: built here under the strictest one.
(umask 077 && cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/vortlebox_*.deb)
lintian --fail-on error,warning --display-info "$deb" >&2
echo "$deb"
