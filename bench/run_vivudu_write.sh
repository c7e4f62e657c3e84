#!/usr/bin/env bash
# Write-side timings of vivudu (build against hnswlib, Writer per-call costs).
#
#   bash bench/run_vivudu_write.sh [--quick] [--no-install] [--m 32] [--repeats N]
#
# Installs what it needs (build tools, Debian's dataset-fashion-mnist,
# hnswlib from PyPI, this project's module), then runs bench/vivudu_write.py,
# which writes bench/results/vivudu_write.md (bench/results/quick/ with --quick).
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/fashion_setup.sh
fashion_setup "$@"
fashion_install hnswlib

exec python3 bench/vivudu_write.py "${pass[@]+"${pass[@]}"}"
