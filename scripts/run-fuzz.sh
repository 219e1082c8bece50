#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time from its seed
# corpus (fuzz/corpus), after replaying every saved finding
# (fuzz/regressions). Any crash, leak or sanitizer report fails the run.
# Usage: run-fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-${TELDRV_FUZZ_SECONDS:-60}}"
bash scripts/install-deps.sh fuzz
# Absolute paths: two of the targets change directory to a scratch folder.
dir="$PWD/build/fuzz"
seeds="$PWD/fuzz/corpus"
regressions="$PWD/fuzz/regressions"
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELDRV_SANITIZE=address,undefined -DTELDRV_FUZZ=ON -DTELDRV_BUILD_TESTS=OFF -DTELDRV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
for target in fuzz_session fuzz_init_file fuzz_station_gates fuzz_change_buffer fuzz_history; do
  binary="$dir/fuzz/$target"
  if [ -d "$regressions/$target" ] && [ -n "$(ls -A "$regressions/$target")" ]; then
    echo "=== $target: replaying saved findings"
    "$binary" "$regressions/$target"/*
  fi
  work="$dir/corpus/$target"
  mkdir -p "$work" "$dir/findings"
  echo "=== $target: ${seconds}s"
  "$binary" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$target-" "$work" "$seeds/$target" 2>&1 | tail -n 12
done
echo "=== fuzzing passed"
