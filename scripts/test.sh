#!/usr/bin/env bash
# Sets everything up and runs all tests: the core's C++ suite, then pytest,
# with a throwaway PostgreSQL server for the stores' tests.
#
#   VORLANE_PYTHONS      Python versions to run pytest under (default: 3.11), e.g.
#                        "3.11 3.12 3.13 3.14 3.15"; 3.11 uses .venv, the others
#                        .venv-<version>. 3.14 and 3.15 run in the Debian unstable
#                        root (scripts/sid-root.sh, needs root): there the core's
#                        suite is built with that root's GCC too, and the tests
#                        use a PostgreSQL server of their own, started in the root.
#   VORLANE_PYTHON       one version, when VORLANE_PYTHONS is not set
#   VORLANE_TEST_PG_DSN  use this PostgreSQL server instead of starting one
#                        (runs on this machine only, not in the root)
# Further arguments go to pytest.
set -euo pipefail
# Under sudo, files left in the work tree go back to its owner.
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
read -r -a asked <<<"${VORLANE_PYTHONS:-${VORLANE_PYTHON:-3.11}}"

versions=()
sid_versions=()
for version in "${asked[@]}"; do
  case $version in
    3.14 | 3.15) [ -n "${VORLANE_IN_SID_ROOT:-}" ] && versions+=("$version") || sid_versions+=("$version") ;;
    *) versions+=("$version") ;;
  esac
done

if ((${#versions[@]})); then
  for version in "${versions[@]}"; do
    venv=.venv
    [ "$version" = 3.11 ] || venv=".venv-$version"
    VORLANE_PYTHON=$version VORLANE_VENV=$venv bash scripts/setup.sh
  done

  if [ -z "${VORLANE_TEST_PG_DSN:-}" ]; then
    echo "==> starting a throwaway PostgreSQL server"
    pg_dir=$(mktemp -d /tmp/vorlane-pg.XXXXXX)
    trap 'bash "$root/scripts/pg.sh" stop "$pg_dir" >/dev/null 2>&1 || true; rm -rf "$pg_dir"' EXIT
    VORLANE_TEST_PG_DSN=$(bash scripts/pg.sh start "$pg_dir")
    # Lets the tests restart the server under a live store.
    export VORLANE_TEST_PG_DIR=$pg_dir
  fi
  export VORLANE_TEST_PG_DSN

  # The root's compiler differs from this machine's: a build folder of its own.
  core_build=build/core-tests
  [ -z "${VORLANE_IN_SID_ROOT:-}" ] || core_build=build/core-tests-sid
  echo "==> core tests (C++)"
  cmake -S . -B "$core_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLANE_WERROR=ON \
    -DVORLANE_BUILD_TESTS=ON -DVORLANE_BUILD_MODULE=OFF >/dev/null
  cmake --build "$core_build" -j"$(nproc)"
  ctest --test-dir "$core_build" --output-on-failure -j"$(nproc)"

  for version in "${versions[@]}"; do
    venv=.venv
    [ "$version" = 3.11 ] || venv=".venv-$version"
    echo "==> Python tests on $("$root/$venv/bin/python" --version)"
    (cd "$root/tests" && "$root/$venv/bin/python" -m pytest "$@")
  done
fi

if ((${#sid_versions[@]})); then
  echo "==> Python ${sid_versions[*]}: in the Debian unstable root (scripts/sid-root.sh)"
  # The root starts a server of its own; one named here is not reachable there.
  env -u VORLANE_TEST_PG_DSN -u VORLANE_TEST_PG_DIR VORLANE_PYTHONS="${sid_versions[*]}" \
    bash scripts/sid-root.sh run bash scripts/test.sh "$@"
fi
