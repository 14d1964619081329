"""The follow loop as a plain object: what to fetch next, whether a block
extends the last one, where a fork is, when to checkpoint and what to hand the
handler. It never touches a socket, a store or a clock.

`Engine.steps()` is a generator. It yields an action, the driver performs it
and sends back the result (or `Refused` when the node turned a request down
for its size), and the generator answers with the next action. The sync and
async drivers are thin loops around it, so both behave identically.
"""

from __future__ import annotations

import collections
import dataclasses
import logging
import re
from collections.abc import Generator, Sequence
from typing import Any, Union

from vorlane import BlockSummary, Checkpoint, EventFilter, IndexerConfig

log = logging.getLogger("vorlane_follow")


class FollowError(RuntimeError):
    """An error that no retry can fix: the follower stops and raises it."""


class NodeError(FollowError):
    """The node broke the protocol or refused in a way no retry fixes: it
    cannot be reached, does not speak JSON-RPC, or answers nonsense."""


class ChainMismatchError(FollowError):
    """The node serves another chain than the one configured, or its chain
    id changed while it was followed."""


class ReorgTooDeepError(FollowError):
    """A reorganisation reached below every block the follower keeps."""


@dataclasses.dataclass(frozen=True, slots=True)
class Log:
    """One log as the node returned it, every hex text in lower case."""

    block_number: int
    block_hash: str
    transaction_hash: str
    log_index: int
    address: str
    topics: tuple[str, ...]
    data: str


# -- actions: what the engine asks its driver to do --------------------------


@dataclasses.dataclass(frozen=True, slots=True)
class FetchChainId:
    """Result: the node's `eth_chainId` as an int."""


@dataclasses.dataclass(frozen=True, slots=True)
class LoadCheckpoint:
    """Result: the store's checkpoint for the pair, or None."""

    chain_id: str
    indexer_id: str


@dataclasses.dataclass(frozen=True, slots=True)
class FetchHead:
    """Result: the node's latest block number."""


@dataclasses.dataclass(frozen=True, slots=True)
class FetchHeaders:
    """Result: BlockSummary objects for `first`..`last` in order, cut short
    where the node has no such block; or `Refused`."""

    first: int
    last: int


@dataclasses.dataclass(frozen=True, slots=True)
class FetchLogs:
    """Result: every `Log` of blocks `first`..`last` that the node selects
    with these addresses and topic0 values (empty: all); or `Refused`."""

    first: int
    last: int
    addresses: tuple[str, ...]
    topic0s: tuple[str, ...]


@dataclasses.dataclass(frozen=True, slots=True)
class Deliver:
    """Call `handler.on_block(block, list(logs))`."""

    block: BlockSummary
    logs: tuple[Log, ...]


@dataclasses.dataclass(frozen=True, slots=True)
class Rollback:
    """Call `handler.on_rollback(block_number)`. `depth` is the number of
    indexed blocks a reorganisation took away, 0 on a start."""

    block_number: int
    depth: int


@dataclasses.dataclass(frozen=True, slots=True)
class SaveCheckpoint:
    """Store `checkpoint` if the stored one is still at `expected`
    (`save_checkpoint_if`), or unconditionally where the store cannot."""

    checkpoint: Checkpoint
    expected: int | None


@dataclasses.dataclass(frozen=True, slots=True)
class DeleteCheckpoint:
    """Remove the pair's checkpoint (a rollback to before block 0)."""

    chain_id: str
    indexer_id: str


@dataclasses.dataclass(frozen=True, slots=True)
class Sleep:
    """Wait `seconds`, or less when the follower is stopped."""

    seconds: float


@dataclasses.dataclass(frozen=True, slots=True)
class Refused:
    """The node refused a request for its size (range, result count, batch)."""

    message: str


Action = Union[FetchChainId, LoadCheckpoint, FetchHead, FetchHeaders, FetchLogs, Deliver,
               Rollback, SaveCheckpoint, DeleteCheckpoint, Sleep]
Steps = Generator[Action, Any, None]


@dataclasses.dataclass(slots=True)
class Counters:
    """What the follower has done so far. `round_trips` and `retries` are
    counted by the driver; `lag` is the node's head minus the last delivered
    block (None until both are known)."""

    blocks: int = 0
    logs: int = 0
    rollbacks: int = 0
    rollback_depths: list[int] = dataclasses.field(default_factory=list)
    retries: int = 0
    round_trips: int = 0
    checkpoints: int = 0
    head: int | None = None
    last_block: int | None = None
    lag: int | None = None


# A quoted text of the filter's repr, or the start of its second list
# (matched only outside quotes: a quoted text is consumed whole first).
_TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|(topic0_values=)')
_ADDRESS = re.compile(r"0x[0-9a-fA-F]{40}")
_TOPIC = re.compile(r"0x[0-9a-fA-F]{64}")


def node_selection(event_filter: EventFilter) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The filter's addresses and topic0 values that a node can select by,
    lower-cased. The filter shows its lists only in its repr. Entries that are
    not well-formed hex can never equal what a node returns, so leaving them
    out only widens the node's answer; the filter still has the last word."""
    lists: tuple[list[str], list[str]] = ([], [])
    which = 0
    for m in _TOKEN.finditer(repr(event_filter)):
        if m.group(2):
            which = 1
        else:
            lists[which].append(m.group(1))

    def pick(found: list[str], shape: re.Pattern[str]) -> tuple[str, ...]:
        return tuple(dict.fromkeys(v.lower() for v in found if shape.fullmatch(v)))

    return pick(lists[0], _ADDRESS), pick(lists[1], _TOPIC)


class _Span:
    """How many blocks one request may cover: halved on a refusal, grown back
    (doubled) after a run of accepted requests."""

    GROW_AFTER = 3

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.size = limit
        self._accepted = 0

    def refused(self, tried: int) -> None:
        self.size = max(1, min(self.size, tried) // 2)
        self._accepted = 0

    def accepted(self) -> None:
        if self.size < self.limit:
            self._accepted += 1
            if self._accepted >= self.GROW_AFTER:
                self.size = min(self.limit, self.size * 2)
                self._accepted = 0


def default_history_depth(confirmation_depth: int) -> int:
    return max(2 * confirmation_depth, 64)


class Engine:
    """The follow loop's decisions for one (chain, indexer) pair."""

    def __init__(self, config: IndexerConfig, event_filter: EventFilter, *,
                 history_depth: int | None = None) -> None:
        if config.batch_size == 0:
            raise ValueError("batch_size must be at least 1")
        if config.checkpoint_interval == 0:
            raise ValueError("checkpoint_interval must be at least 1")
        if config.to_block is not None and config.to_block < config.from_block:
            raise ValueError(
                f"to_block ({config.to_block}) is below from_block ({config.from_block})")
        if history_depth is None:
            history_depth = default_history_depth(config.confirmation_depth)
        elif history_depth < 1:
            raise ValueError("history_depth must be at least 1")
        self.config = config
        self.event_filter = event_filter
        self.history_depth = history_depth
        self.addresses, self.topic0s = node_selection(event_filter)
        self.counters = Counters()
        self.stopping = False
        self._history: collections.deque[BlockSummary] = collections.deque(maxlen=history_depth)
        self._next = config.from_block
        self._saved: int | None = None
        self._head: int | None = None
        self._since_save = 0
        self._log_span = _Span(config.batch_size)
        self._header_span = _Span(config.batch_size)

    # -- state the drivers read ----------------------------------------------

    @property
    def next_block(self) -> int:
        return self._next

    @property
    def last_block(self) -> BlockSummary | None:
        return self._history[-1] if self._history else None

    def stop(self) -> None:
        """Ends the loop after the current block (with a checkpoint)."""
        self.stopping = True

    def final_checkpoint(self) -> SaveCheckpoint | None:
        """The save that covers every delivered block, if one is owed: for a
        driver that abandons `steps()` (a stop while a request is retried)."""
        last = self.last_block
        if last is None or last.number == self._saved or last.number < self.config.from_block:
            return None
        return self._save_action(last)

    def checkpoint_saved(self, action: SaveCheckpoint) -> None:
        self._saved = action.checkpoint.block_number
        self._since_save = 0
        self.counters.checkpoints += 1

    # -- the loop ------------------------------------------------------------

    def steps(self) -> Steps:
        config = self.config
        if config.chain.isdecimal() and config.chain.isascii():
            chain_id = yield FetchChainId()
            if int(config.chain) != chain_id:
                raise ChainMismatchError(
                    f"config.chain is {config.chain} but the node's eth_chainId is {chain_id}")
        checkpoint = yield LoadCheckpoint(config.chain, config.id)
        if checkpoint is None:
            # Whatever the handler kept from a run that crashed before its
            # first checkpoint is dropped too.
            yield Rollback(config.from_block - 1, 0)
        else:
            yield from self._resume(checkpoint)

        conf = config.confirmation_depth
        to_block = config.to_block
        while not self.stopping:
            if to_block is not None and self._next > to_block:
                if (yield from self._still_canonical()):
                    break
                continue
            head = self._head
            if head is None or self._next + conf > head:
                head = yield FetchHead()
                self._set_head(head)
                if self._next + conf > head:
                    yield Sleep(config.poll_interval_ms / 1000)
                    self._head = None  # ask again after the pause
                    continue
            last = head - conf
            if to_block is not None:
                last = min(last, to_block)
            last = min(last, self._next + self._log_span.size - 1)
            headers = yield from self._fetch_headers(self._next, last)
            if not headers:
                self._head = None  # the node's chain got shorter
                continue
            parent = self.last_block
            if parent is not None and not headers[0].extends_parent(parent):
                yield from self._walk_back()
                continue
            yield from self._index(_continuous(headers))
        final = self.final_checkpoint()
        if final is not None:
            yield final
            self.checkpoint_saved(final)

    def _set_head(self, head: int) -> None:
        self._head = head
        self.counters.head = head
        if self.counters.last_block is not None:
            self.counters.lag = max(0, head - self.counters.last_block)

    def _index(self, headers: list[BlockSummary]) -> Steps:
        """Fetches the logs of `headers` and delivers the blocks whose logs
        are consistent with them."""
        while True:
            first, last = headers[0].number, headers[-1].number
            result = yield FetchLogs(first, last, self.addresses, self.topic0s)
            if not isinstance(result, Refused):
                self._log_span.accepted()
                break
            if len(headers) == 1:
                raise FollowError(
                    f"the node refuses eth_getLogs even for the single block {first}: "
                    f"{result.message}")
            self._log_span.refused(len(headers))
            del headers[self._log_span.size:]
            log.info("eth_getLogs over %d blocks refused (%s); trying %d",
                     last - first + 1, result.message, len(headers))

        hashes = {h.number: h.hash.lower() for h in headers}
        by_block: dict[int, list[Log]] = {}
        moved_at: int | None = None
        match_address = self.event_filter.matches_address
        match_topic0 = self.event_filter.matches_topic0
        for entry in result:
            number = entry.block_number
            if hashes.get(number) != entry.block_hash:
                # The chain moved between the two requests: nothing from this
                # block on is delivered now; it is fetched again.
                if moved_at is None or number < moved_at:
                    moved_at = number
                continue
            if match_address(entry.address) and match_topic0(entry.topics[0] if entry.topics else ""):
                by_block.setdefault(number, []).append(entry)
        if moved_at is not None:
            log.info("logs of block %d came from another branch; fetching again", moved_at)
            headers = [h for h in headers if h.number < moved_at]
            if not headers:  # give the node a moment to settle rather than hammer it
                self._head = None
                yield Sleep(self.config.poll_interval_ms / 1000)
                return

        interval = self.config.checkpoint_interval
        counters = self.counters
        for header in headers:
            logs = by_block.get(header.number, ())
            if len(logs) > 1:
                logs.sort(key=_log_index)
            yield Deliver(header, tuple(logs))
            self._history.append(header)
            self._next = header.number + 1
            counters.blocks += 1
            counters.logs += len(logs)
            counters.last_block = header.number
            if counters.head is not None:
                counters.lag = max(0, counters.head - header.number)
            self._since_save += 1
            if self._since_save >= interval:
                save = self._save_action(header)
                yield save
                self.checkpoint_saved(save)
            if self.stopping:
                return

    def _fetch_headers(self, first: int, last: int) -> Generator[Action, Any, list[BlockSummary]]:
        """Headers `first`..`last` in as few batch requests as the node takes."""
        out: list[BlockSummary] = []
        n = first
        while n <= last:
            top = min(last, n + self._header_span.size - 1)
            result = yield FetchHeaders(n, top)
            if isinstance(result, Refused):
                if top == n:
                    raise FollowError(f"the node refuses a batch of one block header: {result.message}")
                self._header_span.refused(top - n + 1)
                log.info("batch of %d headers refused (%s); trying %d",
                         top - n + 1, result.message, self._header_span.size)
                continue
            self._header_span.accepted()
            out.extend(result)
            if len(result) < top - n + 1:
                break
            n = top + 1
        return out

    def _resume(self, checkpoint: Checkpoint) -> Steps:
        """Starts from a stored checkpoint: checks it is on the node's chain,
        seeds the kept history from the node, and tells the handler to drop
        what it stored after the checkpoint."""
        number = checkpoint.block_number
        self._saved = number
        low = max(self.config.from_block, number - self.history_depth + 1, 0)
        low = min(low, number)
        waited = False
        while True:
            headers = yield from self._fetch_headers(low, number)
            if headers and headers[-1].number == number:
                break
            if self.stopping:
                return
            if not waited:
                log.warning("checkpoint block %d is beyond the node's chain; waiting for the node", number)
                waited = True
            yield Sleep(self.config.poll_interval_ms / 1000)
        headers = _continuous_tail(headers)
        if headers[-1].hash.lower() == checkpoint.block_hash.lower():
            self._history.extend(headers)
            self._next = number + 1
            yield Rollback(number, 0)
            return
        # The checkpoint is on a branch the node has abandoned: go back as far
        # as any reorganisation the follower handles while running.
        target = max(number - self.history_depth, self.config.from_block - 1)
        log.warning("checkpoint block %d (%s) is not on the node's chain; going back to block %d",
                    number, checkpoint.block_hash, target)
        yield from self._rewind(target, depth=0)

    def _still_canonical(self) -> Generator[Action, Any, bool]:
        """Before returning at `to_block`: is the last delivered block still
        the node's? (The chain may have moved during the last batch.)"""
        last = self.last_block
        if last is None:
            return True
        headers = yield from self._fetch_headers(last.number, last.number)
        if headers and headers[0].hash.lower() == last.hash.lower():
            return True
        yield from self._walk_back()
        return False

    def _walk_back(self) -> Steps:
        """Finds the highest kept block that is still on the node's chain and
        rolls back to it."""
        kept = list(self._history)
        top = kept[-1].number
        end = len(kept)
        fork: BlockSummary | None = None
        while end > 0 and fork is None:
            start = max(0, end - max(16, 2 * self.config.confirmation_depth + 1))
            headers = yield from self._fetch_headers(kept[start].number, kept[end - 1].number)
            node = {h.number: h.hash.lower() for h in headers}
            for block in reversed(kept[start:end]):
                if node.get(block.number) == block.hash.lower():
                    fork = block
                    break
            end = start
        if fork is not None and fork.number == top:
            # Every kept block is still the node's: its answers disagree with
            # each other (say, nodes behind a balancer on different heads).
            log.info("the node's headers disagree about block %d; asking again", top + 1)
            self._head = None
            yield Sleep(self.config.poll_interval_ms / 1000)
            return
        if fork is not None:
            yield from self._rewind(fork.number, depth=top - fork.number)
            return
        oldest = kept[0].number
        if oldest <= self.config.from_block:
            yield from self._rewind(self.config.from_block - 1, depth=top - oldest + 1)
            return
        raise ReorgTooDeepError(
            f"reorganisation deeper than the kept history: blocks {oldest}..{top} are all off "
            f"the node's chain, so it is at least {top - oldest + 2} blocks deep, and only "
            f"{self.history_depth} blocks are kept (confirmation_depth "
            f"{self.config.confirmation_depth})")

    def _rewind(self, target: int, *, depth: int) -> Steps:
        """Rolls the handler, the kept history and the stored checkpoint back
        to block `target`."""
        if depth:
            log.warning("reorganisation: rolling back %d blocks to block %d", depth, target)
            self.counters.rollbacks += 1
            self.counters.rollback_depths.append(depth)
        yield Rollback(target, depth)
        while self._history and self._history[-1].number > target:
            self._history.pop()
        self._next = target + 1
        self._since_save = 0
        self.counters.last_block = target if target >= self.config.from_block else None
        self._head = None
        if self._saved is None or self._saved <= target:
            return
        anchor = self.last_block
        if anchor is None or anchor.number != target:
            anchor = None
            if target >= 0:
                headers = yield from self._fetch_headers(target, target)
                anchor = headers[0] if headers else None
                if anchor is not None:
                    self._history.clear()
                    self._history.append(anchor)
        if anchor is None:
            yield DeleteCheckpoint(self.config.chain, self.config.id)
            self._saved = None
            return
        save = self._save_action(anchor)
        yield save
        self.checkpoint_saved(save)

    def _save_action(self, block: BlockSummary) -> SaveCheckpoint:
        cp = Checkpoint(self.config.chain, self.config.id, block.number, block.hash)
        return SaveCheckpoint(cp, self._saved)


def _log_index(entry: Log) -> int:
    return entry.log_index


def _continuous_tail(headers: Sequence[BlockSummary]) -> list[BlockSummary]:
    """The trailing run of `headers` in which each block extends the one
    before."""
    start = len(headers) - 1
    while start > 0 and headers[start].extends_parent(headers[start - 1]):
        start -= 1
    return list(headers[start:])


def _continuous(headers: Sequence[BlockSummary]) -> list[BlockSummary]:
    """The leading run of `headers` in which each block extends the one
    before (a batch served while the chain moved can break in the middle)."""
    out = [headers[0]]
    for header in headers[1:]:
        if not header.extends_parent(out[-1]):
            break
        out.append(header)
    return out
