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

install=1
pass=()
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    *) pass+=("$arg") ;;
  esac
done

if [ "$install" = 1 ]; then
  bash scripts/setup.sh
  if ! dpkg -s dataset-fashion-mnist >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq dataset-fashion-mnist >/dev/null
  fi
  python3 -m pip install -q --disable-pip-version-check hnswlib
  python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
fi

exec python3 bench/vivudu_write.py "${pass[@]+"${pass[@]}"}"
