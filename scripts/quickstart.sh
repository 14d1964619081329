#!/usr/bin/env bash
# Sets everything up and runs the example.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/quickstart.py"
