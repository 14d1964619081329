"""Follower and AsyncFollower against the dev node over HTTP: nothing in the
follower is mocked; the node misbehaves on demand."""

import sys
import threading
import time

import pytest

from follow_support import (SLOW, TRANSFER_ABI, Recorder, canonical, fold, kill_during_log_requests, make_follower,
                            run)

pytest.importorskip("web3")

from vorlane import Checkpoint  # noqa: E402
from vorlane_follow import FollowError, NodeError  # noqa: E402

DRIVERS = ["sync", "async"]


def test_sync_and_async_deliver_the_same_canonical_sequence(dev_node, demo_chain):
    runs = {}
    for driver, in_flight in [("sync", 8), ("async", 8), ("sync", 1), ("async", 1)]:
        handler = Recorder()
        counters = run(make_follower(driver, dev_node, demo_chain, handler, to_block=demo_chain.head - 3,
                                     max_in_flight=in_flight))
        runs[driver, in_flight] = (handler.blocks, handler.lines, counters.round_trips)
    assert len(set(map(repr, runs.values()))) == 1
    lines = runs["sync", 8][1]
    assert fold(lines) == canonical(demo_chain, 0, demo_chain.head - 3)
    assert lines[0] == {"type": "rollback", "to_block": -1}


def _slow_first(n, seconds):
    left = [n]

    def callback(calls):
        if left[0] > 0:
            left[0] -= 1
            time.sleep(seconds)
    return callback


FAULTS = {
    "dropped connections": (lambda f: f.drop_next(4), "retries"),
    "429 answers": (lambda f: f.status_next(3, 429, retry_after=0), "retries"),
    "503 answers": (lambda f: f.status_next(3, 503), "retries"),
    "slow answers": (lambda f: f.on_request(_slow_first(2, 1.2)), "retries"),
    "batch refused by an error": (lambda f: setattr(f, "max_batch", 5), "eth_getBlockByNumber"),
    "batch refused by HTTP 413": (lambda f: (setattr(f, "max_batch", 5), setattr(f, "batch_refusal", "http")),
                                  "eth_getBlockByNumber"),
    "block range refused": (lambda f: setattr(f, "max_log_range", 3), "eth_getLogs"),
    "too many results": (lambda f: setattr(f, "max_logs", 4), "eth_getLogs"),
    "response too big": (lambda f: setattr(f, "max_response_bytes", 3000), "eth_getLogs"),
}


@pytest.mark.parametrize("driver", DRIVERS)
@pytest.mark.parametrize("fault", FAULTS)
def test_faults_neither_lose_nor_repeat_a_log(dev_node, demo_chain, fault, driver, caplog):
    arm, sign = FAULTS[fault]
    arm(dev_node.faults)
    last = demo_chain.head - 3
    handler = Recorder()
    counters = run(make_follower(driver, dev_node, demo_chain, handler, to_block=last, timeout=0.5))
    assert fold(handler.lines) == canonical(demo_chain, 0, last)
    assert [n for n, _ in handler.blocks] == list(range(0, last + 1))
    if sign == "retries":
        # One run of failures, one warning.
        warned = [r for r in caplog.records if r.name == "vorlane_follow" and r.levelname == "WARNING"]
        assert counters.retries >= 2 and len(warned) == 1
    else:
        # More requests than a batch of 16 blocks needs: the refusals were split.
        assert dev_node.requests[sign] > (last + 16) // 16 + 1


@pytest.mark.parametrize("driver", DRIVERS)
def test_retry_after_is_obeyed(dev_node, demo_chain, driver):
    dev_node.faults.status_next(2, 429, retry_after=0.5)
    follower = make_follower(driver, dev_node, demo_chain, Recorder(), to_block=10, retry_cap=2.0)
    started = time.monotonic()
    run(follower)
    assert 1.0 <= time.monotonic() - started < 10 and follower.counters.retries == 2


@pytest.mark.parametrize("driver", DRIVERS)
def test_chain_moving_between_headers_and_logs(dev_node, demo_chain, driver):
    dev_node.faults.reorg_after(1, depth=8, method="eth_getLogs")
    demo_chain.mine(4)
    last = demo_chain.head + 1 - 3  # the reorganisation adds a block
    handler = Recorder()
    counters = run(make_follower(driver, dev_node, demo_chain, handler, to_block=last))
    assert fold(handler.lines) == canonical(demo_chain, 0, last)
    assert counters.blocks >= last + 1


@pytest.mark.parametrize("depth, rollback_depths", [(2, []), (4, []), (7, [3])])
def test_reorganisations_against_the_confirmation_depth(dev_node, demo_chain, depth, rollback_depths):
    confirmed = demo_chain.head - 4
    new_head = demo_chain.head - depth + depth + 6

    def reorganise(block):
        if block.number == confirmed and demo_chain.head < new_head:
            demo_chain.reorg(depth, new_blocks=depth + 6)

    handler = Recorder(reorganise)
    counters = run(make_follower("sync", dev_node, demo_chain, handler, confirmation_depth=4,
                                 to_block=new_head - 4))
    assert fold(handler.lines) == canonical(demo_chain, 0, new_head - 4)
    assert counters.rollback_depths == rollback_depths


def test_reorganisation_deeper_than_the_kept_history_stops(dev_node, demo_chain):
    def reorganise(block):
        if block.number == demo_chain.head - 2:
            demo_chain.reorg(12, new_blocks=14)

    follower = make_follower("sync", dev_node, demo_chain, Recorder(reorganise), confirmation_depth=2,
                             history_depth=6)
    with pytest.raises(FollowError, match=r"^reorganisation deeper than the kept history: blocks \d+\.\.\d+ "
                       r"are all off the node's chain, so it is at least 7 blocks deep, and only 6 blocks "
                       r"are kept \(confirmation_depth 2\)$"):
        run(follower)


@pytest.mark.parametrize("driver", DRIVERS)
def test_stop_from_another_thread_saves_the_last_delivered_block(dev_node, demo_chain, driver):
    from vorlane import InMemoryStorage

    store = InMemoryStorage()
    handler = Recorder()
    follower = make_follower(driver, dev_node, demo_chain, handler, store=store, checkpoint_interval=1000)
    result = []
    thread = threading.Thread(target=lambda: result.append(run(follower)))
    thread.start()
    deadline = time.monotonic() + 30
    while follower.counters.lag != 3 and time.monotonic() < deadline:  # caught up
        time.sleep(0.02)
    dev_node.mine_every(0.05)
    time.sleep(0.3)
    follower.stop()
    thread.join(30)
    dev_node.stop_mining()
    assert follower.counters.lag is not None and not thread.is_alive() and result
    number, block_hash = handler.blocks[-1]
    saved = store.load_checkpoint(str(demo_chain.chain_id), "default")
    assert (saved.block_number, saved.block_hash) == (number, block_hash)
    assert fold(handler.lines) == canonical(demo_chain, 0, number)


def test_resume_rolls_the_handler_back_to_the_checkpoint_and_replaces_an_abandoned_one(dev_node, demo_chain):
    from vorlane import InMemoryStorage

    chain_id = str(demo_chain.chain_id)
    store = InMemoryStorage()
    store.save_checkpoint(Checkpoint(chain_id, "default", 20, demo_chain.block(20).hash))
    handler = Recorder()
    run(make_follower("sync", dev_node, demo_chain, handler, store=store, to_block=30))
    assert handler.lines[0] == {"type": "rollback", "to_block": 20} and handler.blocks[0][0] == 21

    store.save_checkpoint(Checkpoint(chain_id, "default", 25, "0x" + "ee" * 32))
    handler = Recorder()
    run(make_follower("sync", dev_node, demo_chain, handler, store=store, to_block=30, history_depth=10))
    assert handler.lines[0] == {"type": "rollback", "to_block": 15}
    assert fold(handler.lines) == canonical(demo_chain, 16, 30)
    assert store.load_checkpoint(chain_id, "default").block_hash == demo_chain.block(30).hash


@pytest.mark.parametrize("driver", DRIVERS)
def test_an_error_no_retry_can_fix_is_raised_at_once(dev_node, demo_chain, driver):
    from devchain.node import RpcError

    def refuse(calls):
        if calls[0]["method"] == "eth_getLogs":
            raise RpcError(-32602, "invalid argument 0: hex string without 0x prefix")

    dev_node.faults.on_request(refuse)
    follower = make_follower(driver, dev_node, demo_chain, Recorder(), to_block=20)
    with pytest.raises(NodeError, match=r"^http://127\.0\.0\.1:\d+: eth_getLogs failed: invalid argument 0: "
                                        r"hex string without 0x prefix \(-32602\)$"):
        run(follower)
    # Only the requests already in flight went out, none of them twice.
    assert follower.counters.retries == 0 and dev_node.requests["eth_getLogs"] <= 2


def test_a_contradicting_chain_id_refuses_to_start(dev_node, demo_chain):
    follower = make_follower("sync", dev_node, demo_chain, Recorder(), chain="5")
    with pytest.raises(FollowError, match=f"^config.chain is 5 but the node's eth_chainId is {demo_chain.chain_id}$"):
        run(follower)


@pytest.mark.parametrize("field, value, message", [
    ("batch_size", 0, "batch_size must be at least 1"),
    ("checkpoint_interval", 0, "checkpoint_interval must be at least 1"),
    ("to_block", 4, "to_block (4) is below from_block (5)"),
])
def test_unusable_config_is_refused_at_construction(dev_node, demo_chain, field, value, message):
    with pytest.raises(ValueError) as raised:
        make_follower("sync", dev_node, demo_chain, Recorder(), from_block=5, **{field: value})
    assert str(raised.value) == message


CHILD = """
import sqlite3, sys
from vorlane import EventFilter, IndexerConfig
from vorlane_stores import SqliteStorage
from web3 import HTTPProvider, Web3
from vorlane_follow import Follower

url, token, topic0, chain, to_block, path, abi = sys.argv[1:]

class Transfers:
    def __init__(self):
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("CREATE TABLE IF NOT EXISTS logs (block INTEGER, idx INTEGER, hash TEXT, data TEXT)")

    def on_block(self, block, events):  # decoded Transfers, their data written back as hex
        with self.db:
            self.db.executemany("INSERT INTO logs VALUES (?, ?, ?, ?)",
                                [(x.block_number, x.log_index, x.block_hash, f"0x{x.value:064x}") for x in events])

    def on_rollback(self, block_number):
        self.db.execute("DELETE FROM logs WHERE block > ?", (block_number,))

f = EventFilter.for_address(token)
f.add_topic0(topic0)
config = IndexerConfig(chain=chain, confirmation_depth=3, batch_size=3, checkpoint_interval=2,
                       to_block=int(to_block))
w3 = Web3(HTTPProvider(url, exception_retry_configuration=None))
Follower(w3, config, f, SqliteStorage(path + ".cp"), Transfers(), abi=abi).run()
"""


@SLOW
def test_kill_9_of_a_library_follower_with_an_sqlite_handler(dev_node, demo_chain, tmp_path):
    import os
    import random
    import sqlite3
    import subprocess

    from follow_support import ROOT

    rng = random.Random(9)
    demo_chain.mine(40)
    last = demo_chain.head - 3
    path = tmp_path / "transfers.db"
    argv = [sys.executable, "-c", CHILD, dev_node.url, demo_chain.token, demo_chain.transfer_topic0,
            str(demo_chain.chain_id), str(last), str(path), TRANSFER_ABI]
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python")}
    dev_node.faults.delay = 0.03
    # A share of the log requests lands on a backend 30 blocks behind.
    dev_node.faults.logs_lag, dev_node.faults.logs_lag_share = 30, 0.3

    def rows():
        if not path.exists():
            return []
        with sqlite3.connect(path) as db:
            return db.execute("SELECT block, idx, hash, data FROM logs ORDER BY block, idx").fetchall()

    for cycle in range(4):
        # The whole run needs about 30 log requests.
        kill_during_log_requests(dev_node, lambda: subprocess.Popen(argv, env=env), rng, 6, cycle)
        if cycle == 1:
            demo_chain.reorg(8, new_blocks=9)
    assert subprocess.run(argv, env=env, timeout=120).returncode == 0
    want = [(x["block_number"], x["log_index"], x["block_hash"], x["data"]) for x in canonical(demo_chain, 0, last)]
    assert rows() == want


def test_the_readme_balances_example_matches_balance_of(dev_node, demo_chain, tmp_path, monkeypatch):
    from follow_support import ROOT

    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("### The handler contract"):]
    code = section[section.index("```python\n") + 10:section.index("```\n", section.index("```python"))]
    last = demo_chain.head - 12
    for old, new in [('"http://127.0.0.1:8545"', repr(dev_node.url)),
                     ('"0xA0b86991c6218b36c1d19D4a2e9Eb0cE3606eB48"', repr(demo_chain.token)),
                     ('chain="1"', f'chain="{demo_chain.chain_id}"'), ("to_block=None", f"to_block={last}")]:
        assert old in code
        code = code.replace(old, new)
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    exec(compile(code, "README.md", "exec"), namespace)
    holders = demo_chain.accounts
    assert [namespace["balances"].balance(h) for h in holders] == [demo_chain.balance_of(h, last) for h in holders]


@pytest.mark.parametrize("stalled", [False, True], ids=["", "an answer that stalls past the deadline"])
def test_any_other_provider_is_followed_through_its_raw_requests(dev_node, demo_chain, stalled):
    import json
    import urllib.request

    from vorlane import IndexerConfig, InMemoryStorage
    from web3 import Web3
    from web3.providers import JSONBaseProvider

    from follow_support import token_filter
    from vorlane_follow import Follower

    class Forwarding(JSONBaseProvider):
        """A provider of the user's own, neither HTTP nor WebSocket to web3.py."""

        def make_request(self, method, params):
            data = json.dumps({"jsonrpc": "2.0", "id": 7, "method": method, "params": params}).encode()
            with urllib.request.urlopen(urllib.request.Request(dev_node.url, data)) as answer:
                return json.loads(answer.read())

    if stalled:
        dev_node.faults.trickle_next(1, 60, method="eth_getLogs", after=1)
    handler, last = Recorder(), demo_chain.head - 3
    config = IndexerConfig(chain=str(demo_chain.chain_id), confirmation_depth=3, batch_size=8, to_block=last)
    started = time.monotonic()
    Follower(Web3(Forwarding()), config, token_filter(demo_chain), InMemoryStorage(), handler,
             request_timeout=1, retry_base=0.01).run()
    assert fold(handler.lines) == canonical(demo_chain, 0, last)
    assert dev_node.faults.served["trickle"] == stalled and time.monotonic() - started < 10
