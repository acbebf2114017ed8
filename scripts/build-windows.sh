#!/usr/bin/env bash
# Builds the Windows targets with mingw-w64: build-win64/ (x86_64) and build-win32/ (i686), each with
# tovu-engine.exe, the C example client, the unit tests (tovu_unit_tests.exe) and bench_timing.exe.
# Installs what is missing first (scripts/setup-windows.sh: mingw-w64 with its posix thread model,
# GoogleTest's sources, wine for 64- and 32-bit programs, and qemu-user for 32-bit wine on a kernel
# that cannot run 32-bit programs), through apt-get.
#
#   scripts/build-windows.sh            install when missing, configure and build both targets
#   scripts/build-windows.sh --no-install
#   TOVU_WIN_TARGETS="win64" scripts/build-windows.sh   one target only
set -euo pipefail
cd "$(dirname "$0")/.."

install=1
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    *) echo "usage: $0 [--no-install]" >&2; exit 2 ;;
  esac
done

# What the stage needs is scripts/setup-windows.sh's to install (also run by scripts/test.sh).
[ "$install" -eq 0 ] || scripts/setup-windows.sh

targets=${TOVU_WIN_TARGETS:-"win64 win32"}
jobs=${TOVU_JOBS:-2}
for target in $targets; do
  case "$target" in
    win64) toolchain=cmake/mingw-x86_64.cmake ;;
    win32) toolchain=cmake/mingw-i686.cmake ;;
    *) echo "build-windows: unknown target $target" >&2; exit 2 ;;
  esac
  dir="build-$target"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$dir" -j"$jobs"
  echo "build-windows: $dir/tovu-engine.exe built"
done
