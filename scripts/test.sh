#!/usr/bin/env bash
# Builds and runs the whole test suite: every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded parts again under ThreadSanitizer,
# and a short run of each fuzz target. Installs what it needs on first use.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${VBX_JOBS:-2}
# The tests mostly wait on sockets, timers and child processes, not on the
# CPU: they run several at a time beyond the number of cores.
test_jobs=${VBX_TEST_JOBS:-4}
bash "$top/scripts/deps.sh" test

# The sanitizer builds read the project's suppression files by themselves
# (cmake/SanitizerDefaults.c.in), however a program is started.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# The sanitizer builds are for finding faults, not for speed: without
# optimisation and with line tables only they compile three to four times
# faster, and the tests wait on sockets and timers rather than on the CPU.
# Compiling eight files of a target as one halves the time again.
fast=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O0 -g1"
      -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=8)

echo "== ASan + UBSan build"
cmake -S "$top" -B "$top/build-asan" -G Ninja -DVBX_SANITIZE=ON -DVBX_BENCH=OFF "${fast[@]}"
ninja -C "$top/build-asan" -j"$jobs"
ctest --test-dir "$top/build-asan" -j"$test_jobs" --output-on-failure --timeout 300

echo "== The Debian package: a hardened release build, checked by lintian, installed into a fresh root"
deb=$(bash "$top/scripts/package.sh" "$top/build-pkg")
bash "$top/tests/package/install-and-run.sh" "$deb"

echo "== ThreadSanitizer build of the threaded parts"
cmake -S "$top" -B "$top/build-tsan" -G Ninja -DVBX_TSAN=ON -DVBX_BENCH=OFF "${fast[@]}"
tsan_targets=$(ninja -C "$top/build-tsan" -t targets all | sed -n 's/^\(test_\(player\|submit\|jnet\|app\|wizards\|ui\|metadata\|update\|mpris\|history\)\): .*/\1/p' | sort -u)
if [ -n "$tsan_targets" ]; then
    # shellcheck disable=SC2086
    ninja -C "$top/build-tsan" -j"$jobs" $tsan_targets
    regex=$(echo "$tsan_targets" | tr '\n' '|' | sed 's/|$//')
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
        ctest --test-dir "$top/build-tsan" -j"$test_jobs" --output-on-failure --timeout 300 -R "^($regex)\\."
fi

echo "== Fuzz targets (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -G Ninja -DVBX_FUZZ=ON -DVBX_TESTS=OFF -DVBX_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1"
ninja -C "$top/build-fuzz" -j"$jobs" fuzz_all
ctest --test-dir "$top/build-fuzz" -j"$jobs" --output-on-failure --timeout 120
