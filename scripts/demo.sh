#!/usr/bin/env bash
# Builds Tarvik and runs the example host program: two clients, their
# defaults and the shared server registry.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target tarvik-example-defaults
./build/examples/tarvik-example-defaults
