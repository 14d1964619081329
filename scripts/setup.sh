#!/usr/bin/env bash
# Sets up everything the project needs on a Debian 12 machine: system
# packages, a virtualenv and both extension modules built into it.
# Safe to rerun: finished steps are skipped, the build is incremental.
#
#   VORLANE_PYTHON   the Python version to build for: 3.11 (default), 3.12, 3.13,
#                    3.14 or 3.15. 3.12 and 3.13 are looked for on PATH and in
#                    pyenv (Debian 12 carries neither: `pyenv install 3.12`);
#                    3.14 and 3.15 are built and run in a Debian unstable root
#                    (scripts/sid-root.sh, needs root), which has both.
#   VORLANE_VENV     where the virtualenv lives (default: .venv)
#   VORLANE_EXTRAS   pip extras to install with the module (default: test,examples,follow)
#   VORLANE_WEB3     a web3 requirement that replaces the one the extras name
#                    (e.g. "web3==8.0.0": the follower's tests under web3.py 8)
# Further arguments go to `pip install` (e.g. -C cmake.define.VORLANE_SANITIZE=ON).
set -euo pipefail
# Under sudo, files left in the work tree go back to its owner.
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

version=${VORLANE_PYTHON:-3.11}
case $version in
  3.14 | 3.15)
    if [ -z "${VORLANE_IN_SID_ROOT:-}" ]; then
      echo "==> Python $version runs in the Debian unstable root (scripts/sid-root.sh)"
      exec bash scripts/sid-root.sh run env VORLANE_PYTHON="$version" bash scripts/setup.sh "$@"
    fi
    ;;
esac

# What the build needs, then what the tests need (a PostgreSQL server).
packages=(g++ make cmake python3-dev python3-venv
          libasio-dev nlohmann-json3-dev libsimdjson-dev libsodium-dev libsqlite3-dev libpq-dev
          libgtest-dev postgresql)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "error: these system packages are missing: ${missing[*]}" >&2
      echo "Installing them needs root. Run this as root, then rerun this script:" >&2
      echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "==> installing system packages: ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

python=""
for candidate in "python$version" "$HOME"/.pyenv/versions/"$version"*/bin/"python$version"; do
  if command -v "$candidate" >/dev/null &&
     "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))"; then
    python=$candidate
    break
  fi
done
if [ -z "$python" ]; then
  echo "error: Python $version is required (VORLANE_PYTHON: 3.11, 3.12, 3.13, 3.14 or 3.15)" >&2
  case $version in
    3.12 | 3.13) echo "Debian 12 has no Python $version; install it with pyenv (https://github.com/pyenv/pyenv): pyenv install $version" >&2 ;;
  esac
  exit 1
fi

venv=${VORLANE_VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  echo "==> creating virtualenv $venv ($("$python" --version))"
  "$python" -m venv "$venv"
fi
progress=(bash "$root/scripts/progress.sh")

echo "==> installing build tools into $venv"
"$venv/bin/python" -m pip install --progress-bar off --upgrade pip "scikit-build-core>=0.10" "cmake>=3.22" ninja \
  | "${progress[@]}" '^(Collecting|Downloading|Installing|Successfully)'

extras=${VORLANE_EXTRAS-test,examples,follow}
# The project's Python dependencies (with the extras asked for) are installed
# first, in a step of their own, so their downloads show as they happen; the
# build that follows installs nothing else.
mapfile -t requirements < <("$venv/bin/python" - "$extras" "${VORLANE_WEB3:-}" <<'PY'
import re, sys, tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
wanted = list(project.get("dependencies", []))
for extra in filter(None, sys.argv[1].split(",")):
    wanted += project["optional-dependencies"][extra]
if sys.argv[2]:
    wanted = [r for r in wanted if re.split(r"[ <>=!~;\[]", r, maxsplit=1)[0] != "web3"]
    wanted.append(sys.argv[2])
print("\n".join(wanted))
PY
)
if ((${#requirements[@]})); then
  echo "==> installing Python dependencies${extras:+ (extras: $extras)}"
  "$venv/bin/python" -m pip install --progress-bar off "${requirements[@]}" \
    | "${progress[@]}" '^(Collecting|Downloading|Installing|Successfully)'
fi

options=(-C cmake.define.VORLANE_WERROR=ON)
# An incremental build folder beside the virtualenv, unless the caller names one.
[[ " $* " == *build-dir=* ]] || options+=(-C "build-dir=$venv/build/{wheel_tag}-{build_type}")

echo "==> building vorlane and vorlane_stores into $venv (a few minutes from scratch on 2 cores)"
log="$venv/build.log"
start=$SECONDS
# pip's verbose mode lets the build's own output through as it happens; of
# it, the compiler's [n/N] progress lines are shown.
if ! "$venv/bin/python" -m pip install -v --no-deps --no-build-isolation . "${options[@]}" "$@" 2>&1 \
     | tee "$log" | "${progress[@]}" '^ *\[[0-9]+/[0-9]+\] '; then
  echo "error: the build failed; the end of its log ($log):" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
echo "==> built and installed in $((SECONDS - start)) s"
