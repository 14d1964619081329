#!/usr/bin/env bash
# Sets everything up and runs all tests: the core's C++ suite, then pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh

echo "==> core tests (C++)"
cmake -S . -B build/core-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORLANE_BUILD_TESTS=ON -DVORLANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/core-tests -j"$(nproc)"
ctest --test-dir build/core-tests --output-on-failure -j"$(nproc)"

echo "==> Python tests"
cd "$root/tests"
exec "$root/.venv/bin/python" -m pytest "$@"
