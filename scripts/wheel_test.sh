#!/usr/bin/env bash
# Runs the pytest suite against a binary wheel from dist/ (scripts/wheels.sh),
# installed into a fresh virtualenv, as on a machine that has neither the
# libraries the wheel links in nor a compiler: in a private mount namespace
# an empty file covers every system copy of libpq, libsodium, SQLite, simdjson, libssl
# and libcrypto, and every C or C++ compiler, assembler and linker.
#
#   bash scripts/wheel_test.sh [VERSION]     (default: 3.11; 3.11 to 3.15); further arguments go to pytest
#
# The PostgreSQL server needs those libraries itself, so it starts before
# they are covered: on a Unix socket and on 127.0.0.1 with TLS, on a
# certificate made for this run. The tests cannot restart it.
set -euo pipefail
# Under sudo, files left in the work tree go back to its owner.
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
version=${1:-3.11}
shift $(($# ? 1 : 0))
tag=cp${version/./}
export PIP_DISABLE_PIP_VERSION_CHECK=1

# No 3.14 or 3.15 interpreter runs on Debian 12: those wheels are tested in
# the Debian unstable root, which has both (scripts/sid-root.sh, needs root).
case $version in
  3.14 | 3.15)
    if [ -z "${VORLANE_IN_SID_ROOT:-}" ]; then
      echo "==> the $tag wheel is tested in the Debian unstable root (scripts/sid-root.sh)"
      exec bash scripts/sid-root.sh run bash scripts/wheel_test.sh "$version" "$@"
    fi
    ;;
esac

wheels=(dist/vorlane-*-"$tag"-"$tag"-manylinux_*_x86_64.whl)
[ -f "${wheels[0]}" ] || { echo "error: no $tag wheel in dist/; run: bash scripts/wheels.sh $version" >&2; exit 1; }
wheel=$root/${wheels[0]}

python=
for candidate in "python$version" "$HOME"/.pyenv/versions/"$version"*/bin/"python$version"; do
  if command -v "$candidate" >/dev/null &&
     "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
    python=$candidate
    break
  fi
done
[ -n "$python" ] || { echo "error: Python $version is required" >&2; exit 1; }

# Directly under /tmp and open to others: the server runs as another user.
work=$(mktemp -d /tmp/vorlane-wheel.XXXXXX)
chmod 755 "$work"
trap 'bash "$root/scripts/pg.sh" stop "$work/pg" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

echo "==> installing $(basename "$wheel") into a fresh virtualenv"
"$python" -m venv "$work/venv"
# Wheels only: nothing may be compiled on the way. CMake from PyPI too: the
# dependency check's tests run it, and the system's cmake links libssl, which
# is covered below.
"$work/venv/bin/python" -m pip install -q --only-binary :all: "$wheel[test]" "cmake>=3.22"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
socket_dsn=$(bash scripts/pg.sh start "$work/pg" --tcp --ssl "$work/server.crt" "$work/server.key")
port=${socket_dsn#*port=}
port=${port%% *}

# Real files only (symbolic links lead to them); the dynamic loader then
# finds empty files where the libraries were.
hide=$(
  find /usr/lib /usr/local/lib /lib64 -xdev -type f -regextype posix-extended \
    -regex '.*/lib(pq|sodium|sqlite3|ssl|crypto|simdjson)\.so(\.[0-9.]+)?' 2>/dev/null
  for tool in cc c++ gcc g++ cpp clang clang++ as ld ld.bfd ld.gold; do
    path=$(command -v "$tool" 2>/dev/null) && realpath -- "$path"
  done
  find /usr/lib/gcc /usr/libexec/gcc -type f \( -name cc1 -o -name cc1plus -o -name collect2 \) 2>/dev/null
  true
)
: >"$work/empty"
echo "==> pytest with $(wc -l <<<"$hide") system files covered"

namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --map-root-user --mount --propagation private)
VORLANE_TEST_PG_DSN=$socket_dsn \
VORLANE_WHEEL_TEST_TCP_DSN="host=127.0.0.1 port=$port dbname=postgres user=vorlane" \
VORLANE_WHEEL_TEST_PG_LOG=$work/pg/log \
HIDE=$hide EMPTY=$work/empty VENV=$work/venv \
  "${namespace[@]}" -- env -u VORLANE_TEST_PG_DIR bash -euc '
    while IFS= read -r file; do mount --bind "$EMPTY" "$file"; done <<<"$HIDE"
    cd "$0/tests"
    exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"' "$root" "$@"
