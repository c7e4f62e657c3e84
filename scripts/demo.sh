#!/usr/bin/env bash
# Main job: until the Python module can open snapshots, the kernel benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release
for b in build/release/bench/*_bench; do [ -x "$b" ] && "$b"; done
