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
  python3 -m pip install -q --disable-pip-version-check matplotlib 'ray>=2.9'
  python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
fi

exec python3 bench/vivudu_collection.py "${pass[@]+"${pass[@]}"}"
