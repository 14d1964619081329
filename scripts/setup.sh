#!/usr/bin/env bash
# Sets up everything the project needs on a Debian 12 machine: system
# packages, a virtualenv in .venv and the extension module built into it.
# Safe to rerun: finished steps are skipped, the build is incremental.
#
#   VORLANE_EXTRAS   pip extras to install with the module (default: test,examples)
#   VORLANE_VENV     where the virtualenv lives (default: .venv)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

packages=(g++ make cmake pkg-config python3-dev python3-venv
          libasio-dev nlohmann-json3-dev libgtest-dev libsodium-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "==> installing system packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

python=""
for candidate in python3.11 python3; do
  if command -v "$candidate" >/dev/null &&
     "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
    python=$candidate
    break
  fi
done
[ -n "$python" ] || { echo "error: Python 3.11 is required" >&2; exit 1; }

venv=${VORLANE_VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  echo "==> creating virtualenv $venv"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.22" ninja

extras=${VORLANE_EXTRAS-test,examples}
target="."
[ -n "$extras" ] && target=".[$extras]"
echo "==> building and installing vorlane into $venv"
"$venv/bin/python" -m pip install -q --no-build-isolation "$target" "$@"
