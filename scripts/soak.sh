#!/usr/bin/env bash
# Soak (not part of CI): builds the engine and tovu-soak, then runs 200 client processes against
# one engine for the given number of minutes (default 10): clients connect, register, open ports,
# send, load songs and die (SIGKILL, a close without a word, or an unregistration) over and over,
# while the engine's open descriptors and resident memory are printed every 10 seconds. At the end
# both must be back at their starting level (resident memory within 16 MiB); status 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target tovu-engine tovu-soak
exec build/tovu-soak "$minutes" 200
