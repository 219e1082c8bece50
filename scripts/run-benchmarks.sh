#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and runs all of
# them: turnaround, line efficiency, capture, start-up and idle cost. Ends
# with one table of every figure beside its goal. Extra arguments go to the
# benchmark binary (e.g. --benchmark_filter=Turnaround).
# BENCH_BUILD_DIR names the build directory (default build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build

# Google Benchmark and Boost's lock-free queue are for the benchmarks only.
missing=()
for pkg in libbenchmark-dev libboost-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

dir="${BENCH_BUILD_DIR:-build/bench}"
# GCC 12 at -O3 reports a false out-of-bounds copy inside std::vector::insert
# (sim/central_online.cpp); it stays a warning here.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTELDRV_BUILD_BENCH=ON -DTELDRV_BUILD_TESTS=OFF \
      -DTELDRV_BUILD_TOOLS=OFF -DCMAKE_CXX_FLAGS="-Wno-error=array-bounds" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target teldrv_bench

echo "=== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "=== load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$dir/bench/teldrv_bench" --benchmark_color=false "$@"
echo "=== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
