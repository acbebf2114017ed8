#!/usr/bin/env bash
# Builds and runs bench_timing twice: on an idle machine, and with both cores kept busy by
# `stress-ng --cpu 2` (installed here when missing). Prints figures; asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if ! command -v stress-ng >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq stress-ng
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVU_BENCH=ON >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target tovu-engine bench_timing
build/bench/bench_timing
build/bench/bench_timing --busy
