# Sourced by the fashion-mnist benchmark scripts (bash, set -euo pipefail).
#
#   fashion_setup "$@"  splits the arguments: --no-install sets install=0,
#                       the rest go to the array `pass` for the Python script;
#   fashion_install P.. (unless --no-install) runs the project's setup,
#                       installs Debian's dataset-fashion-mnist, the PyPI
#                       packages P.. and this project's modules.

fashion_setup() {
  install=1
  pass=()
  for arg in "$@"; do
    case "$arg" in
      --no-install) install=0 ;;
      *) pass+=("$arg") ;;
    esac
  done
}

fashion_install() {
  [ "$install" = 1 ] || return 0
  bash scripts/setup.sh
  if ! dpkg -s dataset-fashion-mnist >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq dataset-fashion-mnist >/dev/null
  fi
  python3 -m pip install -q --disable-pip-version-check "$@"
  python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
}
