#!/usr/bin/env bash
# Sets everything up and runs the main example twice on a fresh SQLite store:
# an indexer following an in-process EVM chain through a reorganisation is
# stopped part-way, then started again and resumes from its checkpoint.
#
# Arguments go to both runs (e.g. --seed 5); with --help only the example's
# help is shown. VORLANE_VENV names the virtualenv, as for setup.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"

venv=${VORLANE_VENV:-.venv}
[[ $venv == /* ]] || venv=$root/$venv
python=$venv/bin/python
example=$root/examples/follow_chain.py
for arg in "$@"; do
  case $arg in
    -h | --help) exec "$python" "$example" "$@" ;;
  esac
done

workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
store=sqlite:$workdir/follow_chain.db

echo "==> first run: index the chain and stop after 100 blocks, leaving a checkpoint in $store"
"$python" "$example" --store "$store" --stop-after-blocks 100 "$@"
echo
echo "==> second run on the same store: the chain is mined again block for block, and indexing"
echo "    resumes right after the checkpoint, through the reorganisation, to the end"
"$python" "$example" --store "$store" "$@"
