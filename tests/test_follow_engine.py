"""The follow engine on its own: a chain held in a dict answers its actions,
so every decision can be checked without a network."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
pytest.importorskip("web3")

from vorlane import BlockSummary, EventFilter, IndexerConfig, InMemoryStorage  # noqa: E402
from vorlane_follow import engine as e  # noqa: E402
from vorlane_follow._transport import save  # noqa: E402

TOKEN = "0x" + "ab" * 20
TOPIC = "0x" + "cd" * 32


class Chain:
    """Blocks by number; every block has one matching log and one decoy log."""

    def __init__(self, length, branch="a"):
        self.blocks = {}
        self.extend(length, branch)

    def extend(self, count, branch):
        for _ in range(count):
            n = len(self.blocks)
            parent = self.blocks[n - 1].hash if n else "0x00"
            self.blocks[n] = BlockSummary(n, f"0x{branch}{n:06x}", parent, n * 12, 1)

    def reorg(self, depth, branch):
        top = len(self.blocks)
        for n in range(top - depth, top):
            del self.blocks[n]
        self.extend(depth, branch)

    def logs(self, n):
        h = self.blocks[n].hash
        return [e.Log(n, h, f"0x{n:064x}", 1, "0x" + "99" * 20, (TOPIC,), "0x"),
                e.Log(n, h, f"0x{n:064x}", 0, TOKEN, (TOPIC,), "0x01")]

    def answer(self, action):
        match action:
            case e.FetchHead():
                return len(self.blocks) - 1
            case e.FetchHeaders(first, last):
                return [self.blocks[n] for n in range(first, last + 1) if n in self.blocks]
            case e.FetchLogs(first, last):
                return [log for n in range(first, last + 1) for log in self.logs(n)]
            case e.FetchChainId():
                return 1


def drive(engine, chain, store, hook=None):
    """Runs the engine to the end; returns what a handler saw and the actions."""
    seen, actions = [], []
    steps = engine.steps()
    result = None
    try:
        action = next(steps)
        while True:
            actions.append(action)
            result = hook(action) if hook else None
            if result is None:
                match action:
                    case e.Deliver(block, logs):
                        seen.append(("block", block.number, block.hash, [x.log_index for x in logs]))
                    case e.Rollback(n):
                        seen.append(("rollback", n))
                    case e.LoadCheckpoint(chain_id, indexer_id):
                        result = store.load_checkpoint(chain_id, indexer_id)
                    case e.SaveCheckpoint(cp, expected):
                        save(store, action)
                    case e.DeleteCheckpoint(chain_id, indexer_id):
                        store.delete_checkpoint(chain_id, indexer_id)
                    case _:
                        result = chain.answer(action)
            action = steps.send(result)
    except StopIteration:
        pass
    return seen, actions


def fold(seen):
    kept = {}
    for event in seen:
        if event[0] == "rollback":
            kept = {n: h for n, h in kept.items() if n <= event[1]}
        else:
            assert event[1] not in kept
            kept[event[1]] = event[2]
    return kept


def canonical(chain, first, last):
    return {n: chain.blocks[n].hash for n in range(first, last + 1)}


def token_filter():
    f = EventFilter.for_address(TOKEN.upper().replace("0X", "0x"))
    f.add_topic0(TOPIC)
    return f


def config(**kw):
    kw = {"chain": "1", "id": "t", "confirmation_depth": 2, "batch_size": 10,
          "checkpoint_interval": 5, "poll_interval_ms": 1, **kw}
    return IndexerConfig(**kw)


def test_catching_up_costs_headers_and_logs_per_batch_and_checkpoints_on_interval():
    chain, store = Chain(30), InMemoryStorage()
    seen, actions = drive(e.Engine(config(from_block=3, to_block=24), token_filter()), chain, store)
    kinds = [type(a).__name__ for a in actions if not isinstance(a, e.Deliver)]
    assert kinds == ["FetchChainId", "LoadCheckpoint", "Rollback", "FetchHead",
                     "FetchHeaders", "FetchLogs", "SaveCheckpoint", "SaveCheckpoint",
                     "FetchHeaders", "FetchLogs", "SaveCheckpoint", "SaveCheckpoint",
                     "FetchHeaders", "FetchLogs", "FetchHeaders", "SaveCheckpoint"]
    assert [a for a in actions if isinstance(a, e.FetchLogs)][0] == e.FetchLogs(3, 12, (TOKEN,), (TOPIC,))
    assert seen[0] == ("rollback", 2)
    # Only the token's log of each block, in log-index order, none twice.
    assert seen[1:] == [("block", n, chain.blocks[n].hash, [0]) for n in range(3, 25)]
    assert store.load_checkpoint("1", "t").block_number == 24


@pytest.mark.parametrize("depth", [1, 2, 7])
def test_reorganisation_rolls_back_to_the_fork_and_moves_the_checkpoint(depth):
    chain, store = Chain(30), InMemoryStorage()
    engine = e.Engine(config(checkpoint_interval=4), token_filter())
    state = {"reorged": False}

    def hook(action):
        # Once block 27 is delivered and saved, the node switches branch.
        if isinstance(action, e.Sleep):
            if not state["reorged"]:
                state["reorged"] = True
                chain.reorg(depth + 2, "b")  # the top 2 were not confirmed yet
                chain.extend(3, "b")
            else:
                engine.stop()
            return "slept"
        return None

    seen, actions = drive(engine, chain, store, hook)
    fork = 27 - depth
    assert fold(seen) == canonical(chain, 0, 30)
    assert seen[29] == ("rollback", fork) and engine.counters.rollback_depths == [depth]
    saves = [(a.checkpoint.block_number, a.expected) for a in actions if isinstance(a, e.SaveCheckpoint)]
    # Saved at 27, then moved back to the fork before anything is delivered again.
    at = saves.index((27, 23))
    assert saves[at + 1] == (fork, 27) and saves[-1][0] == 30
    assert store.load_checkpoint("1", "t").block_hash == chain.blocks[30].hash


def test_refused_log_ranges_halve_then_grow_back():
    chain = Chain(80)
    limit = {"blocks": 3}

    def hook(action):
        if isinstance(action, e.FetchLogs) and action.last - action.first + 1 > limit["blocks"]:
            return e.Refused("block range too large")
        if isinstance(action, e.FetchLogs) and action.first >= 20:
            limit["blocks"] = 10
        return None

    seen, actions = drive(e.Engine(config(to_block=60), token_filter()), chain, InMemoryStorage(), hook)
    spans = [a.last - a.first + 1 for a in actions if isinstance(a, e.FetchLogs)]
    # Halved on each refusal, doubled again after three accepted requests.
    assert spans == [10, 5, 2, 2, 2, 4, 2, 2, 2, 4, 2, 2, 2, 4, 2, 2, 2, 4, 4, 4, 8, 8, 8, 1]
    assert fold(seen) == canonical(chain, 0, 60)


def _with_addresses(*addresses):
    f = EventFilter()
    for a in addresses:
        f.add_address(a)
    return f


@pytest.mark.parametrize("filter_repr_source, expected", [
    (lambda: EventFilter(), ((), ())),
    (token_filter, ((TOKEN,), (TOPIC,))),
    # What no node could return is left to the filter alone.
    (lambda: EventFilter.for_address("junk"), ((), ())),
    # The second list starts at its name outside quotes, never inside a text.
    (lambda: _with_addresses('a" topic0_values=["', "0x" + "ab" * 32), ((), ())),
])
def test_node_selection_reads_the_filter(filter_repr_source, expected):
    assert e.node_selection(filter_repr_source()) == expected
