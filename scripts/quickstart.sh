#!/usr/bin/env bash
# Sets everything up and runs the main example: an indexer following an
# in-process EVM chain through a reorganisation.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/follow_chain.py" "$@"
