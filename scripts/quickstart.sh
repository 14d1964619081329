#!/usr/bin/env bash
# Sets everything up, then:
#  1. serves the demo chain (examples/devchain) over HTTP on 127.0.0.1 while it
#     keeps mining, with a reorganisation on the way, and follows the token's
#     Transfer logs with `vorlane-follow`, decoded against the event's ABI,
#     writing them as JSON Lines;
#  2. runs examples/follow_chain.py twice on one SQLite store: the first run
#     stops after 100 blocks and saves a checkpoint, the second resumes there.
#
# Arguments go to both example runs (e.g. --seed 5); with --help only the
# example's help is shown. VORLANE_VENV names the virtualenv, as for setup.sh.
# What the runs leave (stores, JSON Lines) stays in build/quickstart (emptied
# at each start), so any resume command printed on the way keeps working.
set -euo pipefail
# Under sudo, files left in the work tree go back to its owner.
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"
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

workdir=$root/build/quickstart
rm -rf "$workdir"
mkdir -p "$workdir"
node_pid=
serve=("$python" "$root/examples/devchain" serve --blocks 200 --block-time 0.1 --max-head 280 --reorg-at 240:20)
stop_node() {
  if [[ -n $node_pid ]]; then
    kill -TERM "$node_pid" 2>/dev/null || true
    wait "$node_pid" 2>/dev/null || true
    node_pid=
  fi
}
phase=serve
on_exit() {
  local status=$?
  stop_node
  if [[ $phase == follow && $status -ne 0 && -n ${port:-} ]]; then
    echo "the dev node has stopped; to go on with a resume command printed above, serve the same chain" >&2
    # Quoted for a shell, as vorlane-follow quotes its resume line.
    echo "again first:  $(printf '%q ' "${serve[@]}")--port $port" >&2
  fi
}
trap on_exit EXIT

echo "==> serving the demo chain over HTTP: 200 blocks of transfers, then a new block every 0.1 s up to"
echo "    block 280, and at block 240 the last 20 blocks are replaced by another branch"
"${serve[@]}" >"$workdir/node.out" 2>"$workdir/node.err" &
node_pid=$!
while [[ $(wc -l <"$workdir/node.out") -lt 2 ]]; do
  if ! kill -0 "$node_pid" 2>/dev/null; then
    cat "$workdir/node.err" >&2
    echo "error: the dev node did not start" >&2
    exit 1
  fi
  sleep 0.2
done
url=$(sed -n 1p "$workdir/node.out")
read -r token topic0 < <("$python" -c 'import json, sys; info = json.loads(sys.stdin.readlines()[1]); print(info["token"], info["transfer_topic0"])' <"$workdir/node.out")
port=${url##*:}
echo "    $url (token $token)"

echo
echo "==> vorlane-follow: the token's Transfer logs up to block 270, 6 confirmations, decoded, as JSON Lines"
jsonl=$workdir/transfers.jsonl
abi=$workdir/transfer.abi
echo "event Transfer(address indexed from, address indexed to, uint256 value)" >"$abi"
phase=follow
# No --topic0: the ABI's events give it.
"$venv/bin/vorlane-follow" --rpc "$url" --address "$token" --abi "$abi" --to-block 270 \
  --confirmations 6 --batch-size 50 --poll-interval-ms 100 --store "sqlite:$workdir/follow.db" --output "$jsonl"
"$python" - "$jsonl" "$url" "$token" "$topic0" <<'EOF'
import json, sys, urllib.request
path, url, token, topic0 = sys.argv[1:]
lines = [json.loads(line) for line in open(path, encoding="utf-8")]
kept = []
for line in lines:
    if line["type"] == "rollback":
        kept = [log for log in kept if log["block_number"] <= line["to_block"]]
    elif line["type"] == "log":
        kept.append(line)
rollbacks = ", ".join(str(line["to_block"]) for line in lines if line["type"] == "rollback")
print(f"    {path}: {sum(line['type'] == 'log' for line in lines)} log lines, rollback lines to blocks "
      f"{rollbacks} (-1: the start)")
query = {"jsonrpc": "2.0", "id": 1, "method": "eth_getLogs",
         "params": [{"fromBlock": "0x0", "toBlock": hex(270), "address": token, "topics": [topic0]}]}
request = urllib.request.Request(url, json.dumps(query).encode(), {"Content-Type": "application/json"})
canonical = json.load(urllib.request.urlopen(request, timeout=30))["result"]
same = [(log["block_hash"], log["log_index"]) for log in kept] == [
    (log["blockHash"], int(log["logIndex"], 16)) for log in canonical]
# Each line's decoded arguments say what its topics and data say.
same = same and all(log["event"] == "Transfer" and log["args"] == {
    "from": "0x" + log["topics"][1][-40:], "to": "0x" + log["topics"][2][-40:], "value": str(int(log["data"], 16))}
    for log in kept)
print(f"    applied in order they fold to {len(kept)} transfers: "
      + ("exactly the chain's own, as eth_getLogs gives them" if same else "NOT the chain's own"))
sys.exit(0 if same else 1)
EOF
phase=example
stop_node

store=sqlite:$workdir/follow_chain.db
echo
echo "==> the example, first run: follow the chain and stop after 100 blocks, leaving a checkpoint in $store"
"$python" "$example" --store "$store" --stop-after-blocks 100 "$@"
echo
echo "==> second run on the same store: the chain is mined again block for block, and the follower"
echo "    resumes right after the checkpoint, through the reorganisation, to the end"
"$python" "$example" --store "$store" "$@"
