#!/usr/bin/env bash
# Sets everything up and runs every test twice: a normal build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build; the tests that drive shared state from several threads run a
# third time under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

build() {  # build <dir> <cmake options...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== normal build"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== ThreadSanitizer build (concurrency tests)"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVU_TSAN=ON -DTOVU_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -R 'Concurren' -j 1)
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTOVU_SANITIZE=ON -DTOVU_BENCH=OFF
(cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" ctest --output-on-failure -j "$jobs")
echo "== normal build tests"
(cd build && ctest --output-on-failure -j "$jobs")
