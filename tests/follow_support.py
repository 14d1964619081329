"""Shared by the follower's tests: the source tree on sys.path, a handler
that records what it is told, and the fold that applies JSON Lines."""

from __future__ import annotations

import asyncio
import os
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT / "python") not in sys.path:
    sys.path.insert(0, str(ROOT / "python"))

# Whole runs of several processes, and the further variants of a table whose
# every row runs once everywhere: one Python version, no sanitizer build, and
# not again in the runs that set VORLANE_SKIP_SLOW (an installed wheel, a
# second web3.py): the 3.11 run of the tree's build has them.
SLOW = pytest.mark.skipif(sys.version_info[:2] != (3, 11) or bool(os.environ.get("VORLANE_SANITIZED"))
                          or bool(os.environ.get("VORLANE_SKIP_SLOW")),
                          reason="slow integration case: runs on Python 3.11 without sanitizers, "
                                 "from the tree's build")

FAST_RETRY = {"retry_base": 0.01, "retry_cap": 0.1}


# The token's event, for the runs that follow it with an ABI.
TRANSFER_ABI = "event Transfer(address indexed from, address indexed to, uint256 value)"


def log_line(log) -> dict:
    """A log's JSON Lines object; a decoded ERC-20 Transfer is encoded back
    into the log it was read from."""
    if hasattr(log, "topics"):
        topics, data = list(log.topics), log.data
    else:
        topics = ["0x" + type(log).__topic0__.hex(),
                  *("0x" + "0" * 24 + getattr(log, name)[2:] for name in ("from", "to"))]
        data = f"0x{log.value:064x}"
    return {"type": "log", "block_number": log.block_number, "block_hash": log.block_hash,
            "transaction_hash": log.transaction_hash, "log_index": log.log_index,
            "address": log.address, "topics": topics, "data": data}


def fold(lines) -> list[dict]:
    """Applies JSON Lines in order: a rollback drops the logs above it."""
    kept: list[dict] = []
    for line in lines:
        if line["type"] == "rollback":
            kept = [x for x in kept if x["block_number"] <= line["to_block"]]
        elif line["type"] == "log":
            kept.append(line)
    return kept


class Recorder:
    """A handler keeping every call as a JSON Lines object."""

    def __init__(self, on_block=None):
        self.lines: list[dict] = []
        self.blocks: list[tuple[int, str]] = []
        self._hook = on_block

    def on_block(self, block, logs):
        assert all(log.block_hash == block.hash for log in logs)
        self.blocks.append((block.number, block.hash))
        self.lines.extend(log_line(log) for log in logs)
        if self._hook:
            self._hook(block)

    def on_rollback(self, block_number):
        self.lines.append({"type": "rollback", "to_block": block_number})


def token_filter(chain):
    from vorlane import EventFilter

    f = EventFilter.for_address(chain.token)
    f.add_topic0(chain.transfer_topic0)
    return f


def canonical(chain, first, last):
    return chain.canonical_logs(first, last, [chain.token], [chain.transfer_topic0])


def make_follower(driver, node, demo, handler, store=None, timeout=5.0, history_depth=None,
                  retry_base=FAST_RETRY["retry_base"], retry_cap=FAST_RETRY["retry_cap"],
                  default_provider=False, max_in_flight=None,
                  request_timeout=None, startup_timeout=None, abi=None, event_filter=None, **config):
    """A Follower ("sync") or AsyncFollower ("async") on `node`, web3's own
    retries off so that the follower's are the ones at work (unless
    `default_provider`: the provider as web3.py builds it by default), on
    the token's Transfers unless `event_filter` says otherwise. The
    follower's keywords left at None are not passed."""
    import aiohttp
    from vorlane import IndexerConfig, InMemoryStorage
    from web3 import AsyncHTTPProvider, AsyncWeb3, HTTPProvider, Web3

    from vorlane_follow import AsyncFollower, Follower

    config = {"chain": str(demo.chain_id), "confirmation_depth": 3, "batch_size": 16,
              "checkpoint_interval": 10, "poll_interval_ms": 20, **config}
    store = InMemoryStorage() if store is None else store
    options = {"max_in_flight": max_in_flight, "request_timeout": request_timeout,
               "startup_timeout": startup_timeout, "abi": abi}
    options = {"history_depth": history_depth, "retry_base": retry_base, "retry_cap": retry_cap,
               **{k: v for k, v in options.items() if v is not None}}
    event_filter = token_filter(demo) if event_filter is None else event_filter
    if driver == "sync":
        w3 = Web3(HTTPProvider(node.url) if default_provider else
                  HTTPProvider(node.url, request_kwargs={"timeout": timeout}, exception_retry_configuration=None))
        return Follower(w3, IndexerConfig(**config), event_filter, store, handler, **options)
    aw3 = AsyncWeb3(AsyncHTTPProvider(node.url) if default_provider else
                    AsyncHTTPProvider(node.url, request_kwargs={"timeout": aiohttp.ClientTimeout(timeout)},
                                      exception_retry_configuration=None))
    return AsyncFollower(aw3, IndexerConfig(**config), event_filter, store, handler, **options)


def run(follower):
    """Runs either kind of follower to its end and returns its counters."""
    if type(follower).__name__ != "AsyncFollower":
        return follower.run()

    async def go():
        try:
            return await follower.run()
        finally:
            await follower.w3.provider.disconnect()
    return asyncio.run(go())


def kill_during_log_requests(dev_node, start, rng, most, cycle):
    """Starts a process with `start()` and kills it with -9 once the node has
    answered 1 to `most` more log requests, at a random moment of the one in
    flight."""
    wanted = dev_node.requests["eth_getLogs"] + rng.randint(1, most)
    process = start()
    deadline = time.monotonic() + 60
    while dev_node.requests["eth_getLogs"] < wanted and time.monotonic() < deadline:
        time.sleep(0.002)
    time.sleep(rng.uniform(0, 0.05))
    assert process.poll() is None, f"cycle {cycle} ended before it was killed"
    process.kill()
    process.wait(30)
