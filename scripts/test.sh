#!/usr/bin/env bash
# Sets everything up and runs every test in three builds: ThreadSanitizer, AddressSanitizer +
# UndefinedBehaviorSanitizer, and a normal build (last, so that its summary closes the output).
# First the engine is compiled once with Clang's thread-safety analysis, whose findings are errors:
# every access to data a lock guards, every call that needs a lock held, and the order locks are
# taken in are checked against their annotations (locks/locks.h).
# Engine processes started by the integration tests are built with the same sanitizer. Each fuzzing
# harness also runs for a few seconds (about 30 s in all), so that a harness that stops reaching
# the code, or an input it finds at once, shows here; the long runs are scripts/fuzz.sh.
# Then the Python package: its wheel built offline, installed in a fresh virtual environment, its
# tests against the engine (scripts/test-python.sh). Then the Windows builds (mingw-w64, both
# targets) and their tests under wine: the unit tests and the engine against the C example client
# (scripts/build-windows.sh, scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-windows.sh
jobs=$(nproc 2>/dev/null || echo 2)

build() {  # build <dir> <cmake options...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== lock annotations: the engine under Clang's thread-safety analysis"
cmake -S . -B build-locks -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOVU_THREAD_SAFETY=ON \
  -DTOVU_BENCH=OFF >/dev/null
cmake --build build-locks -j "$jobs" --target tovu-engine
echo "== normal build"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== ThreadSanitizer build"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVU_TSAN=ON -DTOVU_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$jobs")
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTOVU_SANITIZE=ON -DTOVU_BENCH=OFF
(cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" ctest --output-on-failure -j "$jobs")
echo "== fuzzing harnesses, 7 s each"
scripts/fuzz.sh 7
echo "== normal build tests"
(cd build && ctest --output-on-failure -j "$jobs")
echo "== the Python package"
scripts/test-python.sh
echo "== Windows builds and their tests under wine"
windows_start=$SECONDS
TOVU_JOBS=$jobs scripts/build-windows.sh --no-install
echo "Windows builds: $(( (SECONDS - windows_start) / 60 )) min $(( (SECONDS - windows_start) % 60 )) s"
scripts/test-windows.sh
echo "Windows stage: $(( (SECONDS - windows_start) / 60 )) min $(( (SECONDS - windows_start) % 60 )) s"
