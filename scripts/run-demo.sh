#!/usr/bin/env bash
# The driver's main job: build the driver library and the demo host, and run
# the demo, which loads the library the way the process-monitoring host does.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELDRV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo --target teldrv-demo >/dev/null
exec build/demo/tools/teldrv-demo "$@"
