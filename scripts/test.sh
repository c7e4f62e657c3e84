#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the C++ suite (plain
# and under ASan+UBSan) and the Python suite against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)

echo "== C++ tests (release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDOVADURE_BUILD_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" --timeout 600

if [ "${DOVADURE_SKIP_SANITIZE:-0}" != "1" ]; then
  echo "== C++ tests (ASan+UBSan)"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDOVADURE_SANITIZE=ON \
    -DDOVADURE_BUILD_BENCH=OFF >/dev/null
  cmake --build build/asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 900
fi

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 -m pytest -q tests/python
