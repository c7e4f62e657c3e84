#!/usr/bin/env bash
# Collections on fashion-mnist: one segment against four, and four served by
# Ray actors (bench/vivudu_collection.py).
#
#   bash bench/run_vivudu_collection.sh [--quick] [--no-install] [--rounds N]
#
# Installs what it needs (build tools, Debian's dataset-fashion-mnist, this
# project's module with its Ray extra, matplotlib), then writes
# bench/results/collection.md and collection.png (bench/results/quick/ with
# --quick).
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/fashion_setup.sh
fashion_setup "$@"
fashion_install matplotlib 'ray>=2.9'

exec python3 bench/vivudu_collection.py "${pass[@]+"${pass[@]}"}"
