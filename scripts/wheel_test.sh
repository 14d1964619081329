#!/usr/bin/env bash
# Runs the pytest suite against a binary wheel from dist/ (scripts/wheels.sh),
# installed with its `follow` extra into a fresh virtualenv, as on a machine
# that has neither the libraries the wheel links in nor a compiler: in a
# private mount namespace an empty file covers every system copy of libpq,
# libsodium, SQLite, simdjson, libssl and libcrypto, and every C or C++
# compiler, assembler and linker. The follower's tests run too, against the
# demo chain of examples/devchain (the `examples` extra, installed beside),
# in a pass of their own that leaves the interpreter its own libssl,
# libcrypto and SQLite (web3.py cannot load without its hashlib).
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

echo "==> installing $(basename "$wheel")[follow] into a fresh virtualenv, with the tests' packages"
"$python" -m venv "$work/venv"
# The wheel and its `follow` extra as a user installs them; `test` and
# `examples` (the demo chain) for the suite. vorlane itself is a wheel file,
# so nothing of it can be compiled; a dependency without a wheel for this
# Python (some of the dev chain's, on 3.15) is built as pip would. CMake from
# PyPI too: the dependency check's tests run it, and the system's cmake links
# libssl, which is covered below.
"$work/venv/bin/python" -m pip install -q --prefer-binary "$wheel[follow,test,examples]" "cmake>=3.22"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
socket_dsn=$(bash scripts/pg.sh start "$work/pg" --tcp --ssl "$work/server.crt" "$work/server.key")
port=${socket_dsn#*port=}
port=${port%% *}

# Real files only (symbolic links lead to them); the dynamic loader then
# finds empty files where the libraries were. libssl, libcrypto and SQLite
# are also the interpreter's own (hashlib, ssl, sqlite3), which web3.py and
# the dev chain need: the follower's tests run with those in place, in a
# first pass, and everything else in a second pass with them covered too.
find_libraries() {
  find /usr/lib /usr/local/lib /lib64 -xdev -type f -regextype posix-extended \
    -regex ".*/lib($1)\.so(\.[0-9.]+)?" 2>/dev/null
  true
}
hide=$(
  find_libraries 'pq|sodium|simdjson'
  for tool in cc c++ gcc g++ cpp clang clang++ as ld ld.bfd ld.gold; do
    path=$(command -v "$tool" 2>/dev/null) && realpath -- "$path"
  done
  find /usr/lib/gcc /usr/libexec/gcc -type f \( -name cc1 -o -name cc1plus -o -name collect2 \) 2>/dev/null
  true
)
hide_python_own=$(find_libraries 'sqlite3|ssl|crypto')
: >"$work/empty"
# The follower's tests: those that use web3.py, vorlane_follow or the dev chain.
mapfile -t follow_tests < <(cd tests && grep -l -E 'web3|vorlane_follow|dev_node|demo_chain|follow_support' test_*.py)
ignore=()
for file in "${follow_tests[@]}"; do ignore+=("--ignore=$file"); done

namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --map-root-user --mount --propagation private)
VORLANE_TEST_PG_DSN=$socket_dsn \
VORLANE_WHEEL_TEST_TCP_DSN="host=127.0.0.1 port=$port dbname=postgres user=vorlane" \
VORLANE_WHEEL_TEST_PG_LOG=$work/pg/log \
VORLANE_SKIP_SLOW=1 \
HIDE=$hide HIDE_PYTHON_OWN=$hide_python_own EMPTY=$work/empty VENV=$work/venv \
FOLLOW_TESTS="${follow_tests[*]}" IGNORE="${ignore[*]}" \
  "${namespace[@]}" -- env -u VORLANE_TEST_PG_DIR bash -euc '
    covered=0
    cover() {
      while IFS= read -r file; do
        [ -z "$file" ] || { mount --bind "$EMPTY" "$file"; covered=$((covered + 1)); }
      done <<<"$1"
      echo "==> pytest, $2 ($covered system files covered)"
    }
    cd "$0/tests"
    status=0
    cover "$HIDE" "the follower tests: libpq, libsodium, simdjson and the compilers covered"
    # shellcheck disable=SC2086
    [ -z "$FOLLOW_TESTS" ] || "$VENV/bin/python" -m pytest -q -rs -p no:cacheprovider $FOLLOW_TESTS "$@" || status=$?
    cover "$HIDE_PYTHON_OWN" "the other tests: libssl, libcrypto and SQLite covered too"
    # shellcheck disable=SC2086
    "$VENV/bin/python" -m pytest -q -rs -p no:cacheprovider $IGNORE "$@" || status=$?
    exit "$status"' "$root" "$@"
