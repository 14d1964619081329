"""Catching up N blocks from the dev node: round trips per batch, and the
follower's own CPU per block beside a bare web3.py loop doing the same
requests (the same header batches and the same eth_getLogs calls, no engine,
no handler, no checkpoints).

The node runs in a separate process (`python examples/devchain serve`), so
the CPU time measured here (time.process_time of this process) is the
client's alone: web3.py's encoding, HTTP and decoding in both loops, plus,
in the follower's, the engine, the BlockSummary and Log values, the filter
and the handler call. The runs alternate; the best and the median of each are
printed.
"""

from __future__ import annotations

import json
import math
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

from _common import parse_args, print_header  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CONFIRMATIONS = 6


class CountingHandler:
    def __init__(self) -> None:
        self.blocks = 0
        self.logs = 0

    def on_block(self, block, logs) -> None:
        self.blocks += 1
        self.logs += len(logs)

    def on_rollback(self, block_number) -> None:
        pass


def follower_run(url, info, last, batch):
    from vorlane import EventFilter, IndexerConfig, InMemoryStorage
    from web3 import HTTPProvider, Web3

    from vorlane_follow import Follower

    w3 = Web3(HTTPProvider(url, exception_retry_configuration=None))
    f = EventFilter.for_address(info["token"])
    f.add_topic0(info["transfer_topic0"])
    config = IndexerConfig(chain=str(info["chain_id"]), confirmation_depth=CONFIRMATIONS,
                           batch_size=batch, to_block=last)
    handler = CountingHandler()
    follower = Follower(w3, config, f, InMemoryStorage(), handler)
    start = time.process_time()
    counters = follower.run()
    return time.process_time() - start, counters, handler


def bare_run(url, info, last, batch):
    from web3 import HTTPProvider, Web3

    w3 = Web3(HTTPProvider(url, exception_retry_configuration=None))
    token = Web3.to_checksum_address(info["token"])
    start = time.process_time()
    w3.eth.block_number
    blocks = logs = 0
    for first in range(0, last + 1, batch):
        top = min(last, first + batch - 1)
        with w3.batch_requests() as b:
            for n in range(first, top + 1):
                b.add(w3.eth.get_block(n))
            blocks += len(b.execute())
        logs += len(w3.eth.get_logs({"fromBlock": first, "toBlock": top, "address": [token],
                                     "topics": [[info["transfer_topic0"]]]}))
    return time.process_time() - start, blocks, logs


def main() -> None:
    args = parse_args(__doc__.splitlines()[0], lambda p: (
        p.add_argument("--blocks", type=int, default=None, help="blocks to catch up (default 1000, quick 200)"),
        p.add_argument("--batch", type=int, default=100, help="batch_size (default 100)")))
    print_header("vorlane_follow: catching up from a local node", args)
    n = args.blocks or (200 if args.quick else 1000)
    repeats = 2 if args.quick else 5
    node = subprocess.Popen([sys.executable, str(ROOT / "examples" / "devchain"), "serve",
                             "--blocks", str(n + CONFIRMATIONS)],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert node.stdout is not None
        url = node.stdout.readline().strip()
        info = json.loads(node.stdout.readline())
        last = info["head"] - CONFIRMATIONS
        batches = math.ceil((last + 1) / args.batch)
        print(f"node {url}: {last + 1} blocks to catch up (0..{last}), batch_size {args.batch}, "
              f"{batches} batches, {repeats} alternating runs each")

        follow_cpu, bare_cpu = [], []
        for _ in range(repeats):
            cpu, counters, handler = follower_run(url, info, last, args.batch)
            follow_cpu.append(cpu)
            bare, bare_blocks, bare_logs = bare_run(url, info, last, args.batch)
            bare_cpu.append(bare)
            assert (handler.blocks, handler.logs) == (bare_blocks, bare_logs), "the loops disagree"
        # Start-up: eth_chainId (config.chain is the decimal id) and eth_blockNumber;
        # at the end: one header re-read to check the last block is still canonical.
        fixed = 3
        print(f"\nround trips: {counters.round_trips} in all = {fixed} fixed (eth_chainId, "
              f"eth_blockNumber, final canonical check) + {counters.round_trips - fixed} for "
              f"{batches} batches = {(counters.round_trips - fixed) / batches:.2f} per batch (goal 2)")
        print(f"delivered {handler.blocks} blocks, {handler.logs} logs, retries {counters.retries}")

        def per_block(values):
            return min(values) / (last + 1) * 1e6, statistics.median(values) / (last + 1) * 1e6

        fb, fm = per_block(follow_cpu)
        bb, bm = per_block(bare_cpu)
        print(f"\nCPU per block, us          best    median")
        print(f"  Follower              {fb:8.1f} {fm:9.1f}")
        print(f"  bare web3.py loop     {bb:8.1f} {bm:9.1f}")
        print(f"  ratio (goal <= 1.2)   {fb / bb:8.2f} {fm / bm:9.2f}")
    finally:
        node.terminate()
        node.wait(30)


if __name__ == "__main__":
    main()
