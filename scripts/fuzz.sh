#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (in build-fuzz/, ASan + UBSan) and runs each for the
# given number of seconds (default 60): the bus frame reader, the engine window procedure, the
# song-image validator with seeks and replays, and the settings reader. Each run starts from the
# committed seeds (fuzz/corpus/<name>) plus what earlier runs found (build-fuzz/corpus/<name>), uses
# fuzz/<name>.dict, and logs to build-fuzz/<name>.log. A crash stops the script with status 1 and
# leaves its input as build-fuzz/crash-<name>-*; replay it with build-fuzz/fuzz/fuzz_<name> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=$(nproc 2>/dev/null || echo 2)
command -v clang++ >/dev/null 2>&1 || scripts/setup.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVU_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"

status=0
for name in bus_frames window_proc song_image settings; do
  mkdir -p "build-fuzz/corpus/$name"
  log="build-fuzz/$name.log"
  if build-fuzz/fuzz/fuzz_$name -max_total_time="$seconds" -timeout=120 -print_final_stats=1 \
      -dict="fuzz/$name.dict" -artifact_prefix="build-fuzz/crash-$name-" \
      "build-fuzz/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
    echo "fuzz $name: ${seconds}s, $runs runs, $cov"
  else
    echo "fuzz $name FAILED (log: $log):"
    grep -E 'ERROR|SUMMARY|#[0-9]+ in ' "$log" | head -30
    status=1
  fi
done
exit $status
