#!/usr/bin/env bash
# Builds and runs bench_timing twice: on an idle machine, and with both cores kept busy by
# `stress-ng --cpu 2` (installed here when missing). Prints figures; asserts nothing.
#
#   scripts/bench_timing.sh           Linux: the engine's event lateness beside a bare sleep loop
#   scripts/bench_timing.sh --wine    Windows build (build-win64/, scripts/build-windows.sh) under
#                                     wine: the engine's event lateness and its timer service's,
#                                     beside a bare waitable-timer loop and a WinMM one-shot chain,
#                                     in the same run (under wine the ratios mean more than the
#                                     absolute figures)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --wine ]; then
  TOVU_WIN_TARGETS=win64 scripts/build-windows.sh --no-install > /dev/null
  export WINEPREFIX="$PWD/build-win64/wineprefix" WINEDEBUG=-all
  [ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i > /dev/null 2>&1
  /usr/lib/wine/wine64 build-win64/bench_timing.exe "${2:-1000}" | tr -d '\r'
  exit 0
fi
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
