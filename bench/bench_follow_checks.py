"""What the follower's checks of a node's answers cost, beside what a block
costs it in all (measured in the same run, on the same node as
bench_follow.py):

- the logsBloom test, per block, for blocks whose bloom says no (the common
  case: a block without matching logs) and says yes;
- one confirming request (eth_getLogs by block hash, asked when a block's
  bloom admits the filter but the range answer brought no log), CPU and wall;
- the chain id carried in every header batch: a batch with it and without.

    .venv/bin/python bench/bench_follow_checks.py [--quick]
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

from _common import parse_args, print_header  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def best(call, repeats: int) -> float:
    """The least CPU seconds one call took."""
    times = []
    for _ in range(repeats):
        start = time.process_time()
        call()
        times.append(time.process_time() - start)
    return min(times)


def main() -> None:
    args = parse_args(__doc__)
    print_header("vorlane_follow: the cost of checking a node's answers", args)
    blocks = 300 if args.quick else 5000
    repeats = 3 if args.quick else 7
    node = subprocess.Popen([sys.executable, str(ROOT / "bench" / "_follow_node.py"), "--blocks", str(blocks)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = node.stdout.readline().strip()
        info = json.loads(node.stdout.readline())
        run(url, info, blocks, repeats)
    finally:
        node.terminate()
        node.wait()


def run(url: str, info: dict, blocks: int, repeats: int) -> None:
    from vorlane import EventFilter, IndexerConfig, InMemoryStorage

    from vorlane_follow import Follower, _connections
    from vorlane_follow import engine as e

    event_filter = EventFilter.for_address(info["token"])
    event_filter.add_topic0(info["transfer_topic0"])
    engine = e.Engine(IndexerConfig(chain="1"), event_filter)
    connection = _connections.HttpConnection(_connections.Endpoint(url), 30.0)
    batch = min(1000, blocks)

    # The whole follower, per block: the figure every check is set against.
    first = info["segments"]["0"][0]
    last = first + blocks - 1

    class Handler:
        def on_block(self, block, logs):
            pass

        def on_rollback(self, number):
            pass

    def follow():
        config = IndexerConfig(chain=str(info["chain_id"]), from_block=first, to_block=last,
                               confirmation_depth=12, batch_size=batch)
        Follower(types.SimpleNamespace(provider=_connections.Endpoint(url)), config, event_filter,
                 InMemoryStorage(), Handler()).run()

    per_block = best(follow, repeats) / blocks * 1e6
    print(f"Follower, whole job, no matching logs      {per_block:10.2f} us CPU per block")

    # The bloom test on the blooms of real answers.
    rows = []
    for segment in ("0", "5"):
        start = info["segments"][segment][0]
        headers = connection.perform(e.GetHeaders(start, start + batch - 1))[0]
        blooms = headers.blooms
        admits = engine.bloom.admits
        said = sum(map(admits, blooms))
        seconds = best(lambda: [admits(b) for b in blooms], repeats * 3)
        rows.append((segment, said, seconds / len(blooms) * 1e9))
    for segment, said, ns in rows:
        what = "says no " if segment == "0" else "says yes"
        print(f"bloom test where the bloom {what} ({said:4d}/{batch} admit)  {ns:10.0f} ns per block"
              f"  = {ns / 1000 / per_block:6.1%} of a block's CPU")

    # One confirming request, by hash.
    start = info["segments"]["5"][0]
    header = connection.perform(e.GetHeaders(start, start))[0].blocks[0]
    confirm = e.GetBlockLogs(header.hash, header.number, engine.addresses, engine.topic0s)
    found = connection.perform(confirm)[0]
    walls = []
    for _ in range(repeats * 5):
        wall = time.perf_counter()
        connection.perform(confirm)
        walls.append(time.perf_counter() - wall)
    cpu = best(lambda: connection.perform(confirm), repeats * 5)
    print(f"confirming request (by hash, {len(found)} logs)          {cpu * 1e6:10.1f} us CPU, "
          f"{statistics.median(walls) * 1e6:.0f} us wall (local node)"
          f"  = {cpu * 1e6 / per_block:.1f} blocks' CPU")

    # The chain id in every header batch.
    with_id = best(lambda: connection.perform(e.GetHeaders(first, first + batch - 1, True)), repeats)
    without = best(lambda: connection.perform(e.GetHeaders(first, first + batch - 1, False)), repeats)
    print(f"header batch of {batch}: with the chain id {with_id / batch * 1e6:.2f} us per block, "
          f"without {without / batch * 1e6:.2f} (difference {(with_id - without) / batch * 1e9:.0f} ns)")
    connection.close()


if __name__ == "__main__":
    main()
