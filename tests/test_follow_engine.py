"""The follow engine on its own: a chain held in a dict answers its requests,
in any order, so every decision can be checked without a network."""

import pathlib
import random
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
pytest.importorskip("web3")

from vorlane import BlockSummary, EventFilter, IndexerConfig, InMemoryStorage  # noqa: E402
from vorlane_follow import engine as e  # noqa: E402
from vorlane_follow._rpc import save  # noqa: E402

TOKEN = "0x" + "ab" * 20
TOPIC = "0x" + "cd" * 32
ADMITS = e.bloom_masks([TOKEN])[0] | e.bloom_masks([TOPIC])[0]


class Chain:
    """Blocks by number; every block has one matching log and one decoy log,
    and a logsBloom that says so."""

    chain_id = 1

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

    def answer(self, request):
        match request:
            case e.GetHead(chain_id):
                return e.Head(len(self.blocks) - 1, self.chain_id if chain_id else None)
            case e.GetHeaders(first, last, chain_id):
                blocks = [self.blocks[n] for n in range(first, last + 1) if n in self.blocks]
                return e.Headers(blocks, [ADMITS.to_bytes(256, "big")] * len(blocks),
                                 self.chain_id if chain_id else None)
            case e.GetLogs(first, last):
                return [log for n in range(first, last + 1) if n in self.blocks for log in self.logs(n)]
            case e.GetBlockLogs(block_hash, n):
                return self.logs(n) if self.blocks.get(n) and self.blocks[n].hash == block_hash else []
            case e.GetChainId():
                return self.chain_id


def drive(engine, chain, store, hook=None, seed=None):
    """Runs the engine to the end, answering requests in the order they were
    sent, or shuffled by `seed`; returns what a handler saw and the actions.
    `hook(action)` may answer an action (or a request) itself."""
    rng = random.Random(seed)
    seen, actions, pending = [], [], []
    steps = engine.steps()
    result = None
    try:
        while True:
            action = steps.send(result)
            actions.append(action)
            result = hook(action) if hook else None
            if result is not None:
                continue
            match action:
                case e.Send(ticket, request):
                    pending.append((ticket, request))
                case e.Receive():
                    ticket, request = pending.pop(rng.randrange(len(pending)) if seed is not None else 0)
                    answer = (hook(request) if hook else None)
                    result = e.Reply(ticket, chain.answer(request) if answer is None else answer)
                case e.Cancel(tickets):
                    pending = [p for p in pending if p[0] not in tickets]
                case e.Deliver(block, logs):
                    seen.append(("block", block.number, block.hash, [x.log_index for x in logs]))
                case e.Rollback(n):
                    seen.append(("rollback", n))
                case e.LoadCheckpoint(chain_id, indexer_id):
                    result = store.load_checkpoint(chain_id, indexer_id)
                case e.SaveCheckpoint(cp, expected):
                    save(store, cp, expected)
                case e.DeleteCheckpoint(chain_id, indexer_id):
                    store.delete_checkpoint(chain_id, indexer_id)
    except StopIteration:
        pass
    return seen, actions


def requests(actions, kind):
    return [a.request for a in actions if isinstance(a, e.Send) and isinstance(a.request, kind)]


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


@pytest.mark.parametrize("in_flight, seed", [(1, None), (2, 1), (8, 2), (8, 3)])
def test_catching_up_costs_headers_and_logs_per_batch_whatever_order_answers_come_in(in_flight, seed):
    chain, store = Chain(30), InMemoryStorage()
    engine = e.Engine(config(from_block=3, to_block=24), token_filter(), max_in_flight=in_flight)
    seen, actions = drive(engine, chain, store, seed=seed)
    sent = [a.request for a in actions if isinstance(a, e.Send)]
    assert sent == [e.GetHead(),  # the head and the chain id in one batch
                    e.GetHeaders(3, 12, True), e.GetLogs(3, 12, (TOKEN,), (TOPIC,)),
                    e.GetHeaders(13, 22, True), e.GetLogs(13, 22, (TOKEN,), (TOPIC,)),
                    e.GetHeaders(23, 24, True), e.GetLogs(23, 24, (TOKEN,), (TOPIC,)),
                    e.GetHeaders(24, 24)]  # still the node's, at the end
    assert seen[0] == ("rollback", 2)
    # Only the token's log of each block, in log-index order, none twice.
    assert seen[1:] == [("block", n, chain.blocks[n].hash, [0]) for n in range(3, 25)]
    saves = [a.checkpoint.block_number for a in actions if isinstance(a, e.SaveCheckpoint)]
    assert saves == [7, 12, 17, 22, 24]


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

    def hook(request):
        if isinstance(request, e.GetLogs):
            if request.last - request.first + 1 > limit["blocks"]:
                return e.Refused("block range too large")
            if request.first >= 20:
                limit["blocks"] = 10
        return None

    # One batch at a time: none fetched ahead (and thrown away) on a refusal.
    engine = e.Engine(config(to_block=60), token_filter(), max_in_flight=1)
    seen, actions = drive(engine, chain, InMemoryStorage(), hook)
    spans = [r.last - r.first + 1 for r in requests(actions, e.GetLogs)]
    # Halved on each refusal, doubled again after three accepted requests.
    assert spans == [10, 5, 2, 2, 2, 4, 2, 2, 2, 4, 2, 2, 2, 4, 2, 2, 2, 4, 4, 4, 8, 8, 8, 1]
    assert fold(seen) == canonical(chain, 0, 60)


def _lose_logs_of(*numbers):
    def hook(request):
        if isinstance(request, e.GetLogs):
            chain = hook.chain
            return [x for n in range(request.first, request.last + 1) if n not in numbers
                    for x in chain.logs(n)]
        return None
    return hook


def _twice(request):
    if isinstance(request, e.GetLogs):
        logs = [x for n in range(request.first, request.last + 1) for x in _twice.chain.logs(n)]
        return logs + logs
    return None


def _contradicting(request):
    # Block 5's token log comes back twice with different data: fetched again by hash.
    if isinstance(request, e.GetLogs):
        logs = [x for n in range(request.first, request.last + 1) for x in _contradicting.chain.logs(n)]
        if request.first <= 5 <= request.last:
            logs.append(e.Log(5, _contradicting.chain.blocks[5].hash, "0x" + "00" * 32, 0, TOKEN, (TOPIC,), "0xff"))
        return logs
    return None


@pytest.mark.parametrize("hook, by_hash", [
    (_lose_logs_of(4, 11, 12), [4, 11, 12]),  # a backend behind the others: asked again by hash
    (_twice, []),                              # exact repeats are dropped
    (_contradicting, [5]),
])
def test_answers_that_disagree_with_the_headers_are_checked_by_hash(hook, by_hash):
    chain = Chain(30)
    hook.chain = chain
    seen, actions = drive(e.Engine(config(to_block=20), token_filter()), chain, InMemoryStorage(), hook, seed=4)
    assert [r.number for r in requests(actions, e.GetBlockLogs)] == by_hash
    assert seen[1:] == [("block", n, chain.blocks[n].hash, [0]) for n in range(0, 21)]


def test_a_bloom_false_positive_is_confirmed_empty_and_delivered_without_logs():
    chain = Chain(12)
    seen, actions = drive(e.Engine(config(to_block=6), token_filter()), chain, InMemoryStorage(),
                          lambda r: [] if isinstance(r, (e.GetLogs, e.GetBlockLogs)) else None)
    assert [r.number for r in requests(actions, e.GetBlockLogs)] == list(range(7))
    assert seen[1:] == [("block", n, chain.blocks[n].hash, []) for n in range(7)]


def test_a_chain_id_that_changes_stops_the_run():
    chain = Chain(40)
    engine = e.Engine(config(), token_filter(), max_in_flight=2)

    def hook(action):
        if isinstance(action, e.Deliver) and action.block.number == 12:
            chain.chain_id = 42
        return None

    with pytest.raises(e.ChainMismatchError, match="^the node's chain id changed from 1 to 42$"):
        drive(engine, chain, InMemoryStorage(), hook)


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


@pytest.mark.parametrize("addresses, topics, bloom_items, admits", [
    ((TOKEN,), (TOPIC,), [TOKEN, TOPIC], True),
    ((TOKEN,), (TOPIC,), [TOKEN], False),          # both lists must be met
    ((TOKEN, "0x" + "11" * 20), (), ["0x" + "11" * 20], True),
    ((), (), [], False),                           # no filter: any bit at all
    ((), (), [TOPIC], True),
])
def test_bloom_test(addresses, topics, bloom_items, admits):
    bloom = 0
    for mask in e.bloom_masks(bloom_items):
        bloom |= mask
    assert e.BloomTest(addresses, topics).admits(bloom.to_bytes(256, "big")) is admits


def test_a_second_run_starts_from_the_store_not_from_what_the_first_kept():
    chain, store = Chain(30), InMemoryStorage()
    engine = e.Engine(config(to_block=12), token_filter())
    drive(engine, chain, store)
    seen, _ = drive(engine, chain, store)
    assert seen[0] == ("rollback", 12) and fold(seen) == {}
    assert store.load_checkpoint("1", "t").block_hash == chain.blocks[12].hash


@pytest.mark.parametrize("in_flight", [1, 4])
def test_the_end_check_goes_out_before_the_last_batch_is_delivered_and_still_catches_a_fork(in_flight):
    chain = Chain(40)
    state = {"reorged": False}

    def hook(action):
        # Once block 24 (to_block) is delivered, the node switches branch below it.
        if isinstance(action, e.Deliver) and action.block.number == 24 and not state["reorged"]:
            state["reorged"] = True
            chain.reorg(18, "b")
        return None

    engine = e.Engine(config(to_block=24), token_filter(), max_in_flight=in_flight)
    seen, actions = drive(engine, chain, InMemoryStorage(), hook)
    assert fold(seen) == canonical(chain, 0, 24) and engine.counters.rollback_depths == [3]
    check = next(i for i, a in enumerate(actions)
                 if isinstance(a, e.Send) and a.request == e.GetHeaders(24, 24))
    first_of_last_batch = next(i for i, a in enumerate(actions)
                               if isinstance(a, e.Deliver) and a.block.number == 20)
    assert check < first_of_last_batch
