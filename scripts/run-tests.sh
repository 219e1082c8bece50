#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the quick
# build first, then the same suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer, then every fuzz
# target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
jobs=$(nproc)

run_suite() {
  local dir="$1"; shift
  echo "=== build $dir ($*)"
  cmake -S . -B "build/$dir" -G Ninja "$@" >/dev/null
  cmake --build "build/$dir" -j "$jobs"
  echo "=== test $dir"
  ctest --test-dir "build/$dir" -j "$jobs" --output-on-failure --timeout 300
}

run_suite quick -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan -DCMAKE_BUILD_TYPE=Debug -DTELDRV_SANITIZE=address,undefined
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELDRV_SANITIZE=thread
bash scripts/run-fuzz.sh
echo "=== all suites passed"
