#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and runs all of
# them: turnaround, line efficiency, capture, start-up and idle cost. Ends
# with one table of every figure beside its goal. Extra arguments go to the
# benchmark binary (e.g. --benchmark_filter=Turnaround).
# BENCH_BUILD_DIR names the build directory (default build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh bench

dir="${BENCH_BUILD_DIR:-build/bench}"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTELDRV_BUILD_BENCH=ON -DTELDRV_BUILD_TESTS=OFF \
      -DTELDRV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target teldrv_bench

echo "=== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "=== load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$dir/bench/teldrv_bench" --benchmark_color=false "$@"
echo "=== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
