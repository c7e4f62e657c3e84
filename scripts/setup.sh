#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need. Idempotent.
set -euo pipefail

apt_packages=(libgtest-dev g++ cmake ninja-build)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check \
  "numpy>=1.26" "pytest>=7" "scikit-build-core>=0.10" "ninja>=1.10" "cmake>=3.20" \
  "ray>=2.9"
