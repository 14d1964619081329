#!/usr/bin/env bash
# Sets everything up and runs all tests: the core's C++ suite, then pytest,
# with a throwaway PostgreSQL server for the stores' tests.
#
#   VORLANE_PYTHONS      Python versions to run pytest under (default: 3.11), e.g.
#                        "3.11 3.12 3.13"; 3.11 uses .venv, the others .venv-<version>
#   VORLANE_TEST_PG_DSN  use this PostgreSQL server instead of starting one
# Further arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
read -r -a versions <<<"${VORLANE_PYTHONS:-3.11}"

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

echo "==> core tests (C++)"
cmake -S . -B build/core-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLANE_WERROR=ON \
  -DVORLANE_BUILD_TESTS=ON -DVORLANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/core-tests -j"$(nproc)"
ctest --test-dir build/core-tests --output-on-failure -j"$(nproc)"

for version in "${versions[@]}"; do
  venv=.venv
  [ "$version" = 3.11 ] || venv=".venv-$version"
  echo "==> Python tests on $("$root/$venv/bin/python" --version)"
  (cd "$root/tests" && "$root/$venv/bin/python" -m pytest "$@")
done
