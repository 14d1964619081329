"""The follow loop as a plain object: what to fetch next, whether an answer
can be trusted, whether a block extends the last one, where a fork is, when
to checkpoint and what to hand the handler. It never touches a socket, a
store or a clock.

`Engine.steps()` is a generator. It yields an action, the driver performs it
and sends back the result, and the generator answers with the next action.
Requests to the node are handed out with `Send` (several may be in flight at
once) and their answers come back, in any order, as the result of `Receive`;
the engine alone decides what is fetched, what an answer is worth and in
which order blocks are delivered. The sync and async drivers are thin loops
around it, so both behave identically.
"""

from __future__ import annotations

import collections
import dataclasses
import itertools
import logging
from collections.abc import Generator, Iterable, Sequence
from typing import Any

from vorlane import BlockSummary, Checkpoint, EventFilter, IndexerConfig
from vorlane_rpc import EventDecoder, Log, select_logs

from ._messages import (Action, Answer, AsyncHandler, Cancel, ChainMismatchError, CheckpointStore,
                        Counters, Deliver, DeleteCheckpoint, Failed, FollowError, GetBlockLogs,
                        GetChainId, GetHead, GetHeaders, GetLogs, Handler, Head, Headers, Idle,
                        LoadCheckpoint, NodeError, Receive, Refused, ReorgTooDeepError, Reply,
                        Request, Result, Rollback, SaveCheckpoint, Send, Sleep, Steps, describe)
from ._selection import BloomTest, bloom_masks, node_selection

log = logging.getLogger("vorlane_follow")

__all__ = ["Action", "Answer", "AsyncHandler", "BloomTest", "Cancel", "ChainMismatchError",
           "CheckpointStore", "Counters", "Deliver", "DeleteCheckpoint", "Engine", "Failed",
           "FollowError", "GetBlockLogs", "GetChainId", "GetHead", "GetHeaders", "GetLogs", "Handler",
           "Head", "Headers", "Idle", "LoadCheckpoint", "Log", "NodeError", "Receive", "Refused",
           "ReorgTooDeepError", "Reply", "Request", "Result", "Rollback", "SaveCheckpoint", "Send",
           "Sleep", "Steps", "bloom_masks", "node_selection"]


# How far the head moves past a block before an empty answer for its logs
# by hash is believed near the head, waiting at most this many polls.
SETTLE = 4
SETTLE_POLLS = 64


class _Stop(Exception):
    """Unwinds the engine's loop to its final checkpoint."""


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


@dataclasses.dataclass(slots=True)
class _Batch:
    """One planned stretch of blocks: its header and log requests."""

    first: int
    last: int
    headers: int
    logs: int


class Engine:
    """The follow loop's decisions for one (chain, indexer) pair."""

    def __init__(self, config: IndexerConfig, event_filter: EventFilter, *,
                 history_depth: int | None = None, max_in_flight: int = 12,
                 decoder: EventDecoder | None = None) -> None:
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
        if max_in_flight < 1:
            raise ValueError("max_in_flight must be at least 1")
        self.config = config
        self.event_filter = event_filter
        self.history_depth = history_depth
        self.max_in_flight = max_in_flight
        # With a decoder, the handler gets its records (and the logs it cannot
        # decode as they are), each batch decoded in one call.
        self.decoder = decoder
        self.addresses, self.topic0s = node_selection(event_filter)
        self.bloom = BloomTest(self.addresses, self.topic0s)
        self._topic0s_fit = decoder is not None and bool(self.topic0s) and set(self.topic0s) <= {
            "0x" + t.__topic0__.hex() for t in decoder.types}
        self.counters = Counters()
        self.stopping = False
        # The node's chain id, when the caller has just asked for it: the
        # next run starts without asking again.
        self.known_chain_id: int | None = None
        self._reset()

    def _reset(self) -> None:
        """The state of one run: a run starts from the store, never from what
        an earlier run kept."""
        self._history: collections.deque[BlockSummary] = collections.deque(maxlen=self.history_depth)
        self._next = self.config.from_block
        self._saved: int | None = None
        self._head: int | None = None
        self._chain_id: int | None = None
        self._since_save = 0
        self._short_answers = 0  # blocks whose range answer left their logs out, lately
        self._log_span = _Span(self.config.batch_size)
        self._header_span = _Span(self.config.batch_size)
        # Requests: the in-flight limit (additive increase, multiplicative
        # decrease), those in flight, answers not yet used.
        self.window = self.max_in_flight
        self._clean = 0
        self._tickets = itertools.count()
        self._in_flight: set[int] = set()
        self._answers: dict[int, Answer] = {}
        # The last batch's end check, sent before it is delivered: (its last
        # block, the ticket).
        self._end_check: tuple[int, int] | None = None

    # -- state the drivers read ----------------------------------------------

    @property
    def last_block(self) -> BlockSummary | None:
        return self._history[-1] if self._history else None

    def stop(self) -> None:
        """Ends the loop after the current block, with a checkpoint at the
        last delivered one. The driver wakes whatever it is waiting on and
        answers `Receive` with None."""
        self.stopping = True

    # -- the loop ------------------------------------------------------------

    def steps(self) -> Steps:
        """The whole run. Requests still in flight when it ends are the
        driver's to drop."""
        self._reset()
        try:
            yield from self._start()
            yield from self._follow()
        except _Stop:
            pass
        finally:
            self.stopping = False
        last = self.last_block
        if last is not None and last.number != self._saved and last.number >= self.config.from_block:
            yield from self._save(last)

    def _start(self) -> Steps:
        config = self.config
        # The head and the chain id in one round trip.
        self._chain_id, self.known_chain_id = self.known_chain_id, None
        head = yield from self._call(GetHead(chain_id=self._chain_id is None))
        assert isinstance(head, Head)
        if self._chain_id is None:
            self._chain_id = head.chain_id
        self._set_head(head.number)
        if config.chain.isdecimal() and config.chain.isascii() and int(config.chain) != self._chain_id:
            raise ChainMismatchError(
                f"config.chain is {config.chain} but the node's eth_chainId is {self._chain_id}")
        checkpoint = yield LoadCheckpoint(config.chain, config.id)
        assert checkpoint is None or isinstance(checkpoint, Checkpoint)
        if checkpoint is None:
            # Whatever the handler kept from a run that crashed before its
            # first checkpoint is dropped too.
            yield Rollback(config.from_block - 1, 0)
        else:
            yield from self._resume(checkpoint)

    def _follow(self) -> Steps:
        to_block = self.config.to_block
        while not self.stopping:
            if to_block is not None and self._next > to_block:
                if (yield from self._still_canonical()):
                    return
                continue
            if self._head is None or self._next > self._limit():
                # Caught up: one look at the head (and the chain id) per
                # poll interval.
                yield Idle()
                yield from self._poll()
                if self._next > self._limit():
                    yield from self._sleep()
                continue
            yield from self._catch_up()

    def _limit(self) -> int:
        assert self._head is not None
        last = self._head - self.config.confirmation_depth
        if self.config.to_block is not None:
            last = min(last, self.config.to_block)
        return last

    def _catch_up(self) -> Steps:
        """Keeps batches in flight ahead of the one being delivered, up to the
        in-flight limit. Whatever changes the plan (a refusal, a fork, a node
        that lacks blocks yet) throws away what was fetched ahead."""
        ahead: collections.deque[_Batch] = collections.deque()
        planned = self._next

        def plan(least: int) -> Generator[Action, Result, None]:
            # Batches ahead (at least `least`): two requests each, within the
            # in-flight limit (and so is the memory their answers take).
            nonlocal planned
            limit = self._limit()
            while planned <= limit and (len(ahead) < least or 2 * len(ahead) + 2 <= self.window):
                last = min(limit, planned + min(self._log_span.size, self._header_span.size) - 1)
                headers = yield from self._send(GetHeaders(planned, last, chain_id=True))
                logs = yield from self._send(GetLogs(planned, last, self.addresses, self.topic0s))
                ahead.append(_Batch(planned, last, headers, logs))
                planned = last + 1

        while not self.stopping:
            yield from plan(1)
            if not ahead:
                return
            batch = ahead[0]
            headers = yield from self._await(batch.headers)
            logs = yield from self._await(batch.logs)
            assert isinstance(headers, (Headers, Refused)) and isinstance(logs, (list, Refused))
            ahead.popleft()
            # Its requests are done: the next ones go out before it is delivered.
            yield from plan(0)
            if not ahead and batch.last == self.config.to_block:
                # The last batch: the check that its last block is still the
                # node's goes out now, and comes back while it is delivered.
                check = yield from self._send(GetHeaders(batch.last, batch.last))
                self._end_check = (batch.last, check)
            if not (yield from self._take(batch, headers, logs)):
                yield from self._drop_end_check()
                break
        yield from self._abandon([t for b in ahead for t in (b.headers, b.logs)])

    def _take(self, batch: _Batch, headers: Headers | Refused, logs: list[Log] | Refused) -> Generator[Action, Result, bool]:
        """Checks one batch's answers against each other and delivers what
        holds. False when the plan must change."""
        size = batch.last - batch.first + 1
        if isinstance(headers, Refused):
            self._refused(self._header_span, "header batches", size, headers)
            return False
        self._header_span.accepted()
        self._check_chain(headers.chain_id)
        if isinstance(logs, Refused):
            self._refused(self._log_span, "eth_getLogs", size, logs)
            return False
        self._log_span.accepted()
        blocks = headers.blocks
        if not blocks:
            yield from self._missing(batch.first)
            return False
        parent = self.last_block
        if parent is not None and not blocks[0].extends_parent(parent):
            yield from self._walk_back()
            return False
        blocks = _continuous(blocks)
        complete = len(blocks) == size
        if not complete and len(blocks) < len(headers.blocks):
            log.info("the headers of blocks %d..%d do not form one chain; asking again",
                     batch.first, batch.last)
        by_block, moved_at, doubtful = self._select(blocks, logs)
        if moved_at is not None:
            # The chain moved between the two requests: nothing from this
            # block on is delivered now; it is fetched again.
            log.info("logs of block %d came from another branch; fetching again", moved_at)
            blocks = [b for b in blocks if b.number < moved_at]
            complete = False
            if not blocks:
                self._head = None
                yield from self._sleep()
                return False
        # A block whose bloom admits the filter but that came without logs may
        # have met a backend that lacks it: ask by hash, which cannot be
        # answered with a silent empty list.
        admits = self.bloom.admits
        blooms = headers.blooms
        doubtful.update(b.number for b in blocks
                        if b.number not in by_block and admits(blooms[b.number - batch.first]))
        if doubtful:
            yield from self._confirm([b for b in blocks if b.number in doubtful], by_block)
        else:
            self._short_answers = 0
        yield from self._deliver(blocks, by_block)
        if complete:
            return True
        if moved_at is None and len(blocks) == len(headers.blocks):
            # The node lacks the rest for now (a backend behind the head).
            yield from self._missing(blocks[-1].number + 1)
        return False

    def _select(self, blocks: list[BlockSummary], logs: list[Log]) -> tuple[dict[int, list[Log]], int | None, set[int]]:
        """The logs per block that the filter takes, each once and in
        log-index order; the lowest block whose logs came from another
        branch; the blocks whose logs contradict each other."""
        return select_logs(logs, {b.number: b.hash for b in blocks}, self.event_filter.matches_address,
                         self.event_filter.matches_topic0)

    def _poll(self) -> Steps:
        head = yield from self._call(GetHead())
        assert isinstance(head, Head)
        self._check_chain(head.chain_id)
        self._set_head(head.number)

    def _confirm(self, blocks: list[BlockSummary], by_block: dict[int, list[Log]]) -> Steps:
        """Asks for each block's logs by its hash until the answer is
        consistent; an empty one confirms a bloom false positive. Near the
        head, where a lagging backend answers `[]` by hash as well, an empty
        answer is believed only when it is given again once the head has
        moved `SETTLE` blocks past the block."""
        settled: set[int] = set()
        while blocks:
            tickets = []
            for block in blocks:
                tickets.append((yield from self._send(
                    GetBlockLogs(block.hash, block.number, self.addresses, self.topic0s))))
            retry, late = [], []
            for block, ticket in zip(blocks, tickets):
                answer = yield from self._await(ticket)
                if isinstance(answer, Refused):  # by hash: a block's logs cannot be split
                    raise NodeError(f"the node refuses the logs of block {block.number} "
                                    f"by its hash: {answer.message}")
                assert isinstance(answer, list)
                found, moved_at, doubtful = self._select([block], answer)
                if moved_at is not None or doubtful:
                    retry.append(block)
                elif found:
                    # One warning per stretch of such blocks; the rest at info level.
                    report = log.info if self._short_answers else log.warning
                    report("block %d: eth_getLogs over a range left out its logs; asked by hash, "
                           "the node has %d", block.number, len(found[block.number]))
                    self._short_answers += 1
                    by_block[block.number] = found[block.number]
                elif block.number not in settled and (self._head or 0) < block.number + SETTLE:
                    late.append(block)
            if late:
                yield from self._await_head(late[-1].number + SETTLE)
                settled.update(b.number for b in late)
                retry = sorted(retry + late, key=lambda b: b.number)
            elif retry:
                yield from self._sleep()
            blocks = retry

    def _await_head(self, number: int) -> Steps:
        """Until the node's head reaches `number`, or for `SETTLE_POLLS` poll
        intervals on a chain that has stopped growing."""
        for _ in range(SETTLE_POLLS):
            if self._head is not None and self._head >= number:
                return
            yield from self._sleep()
            yield from self._poll()

    def _deliver(self, blocks: list[BlockSummary], by_block: dict[int, list[Log]]) -> Steps:
        interval = self.config.checkpoint_interval
        counters = self.counters
        undecoded: dict[int, int] = {}
        if self.decoder is not None and by_block:
            by_block, undecoded = self._decode(blocks, by_block)
        for block in blocks:
            found = by_block.get(block.number)
            logs = () if found is None else tuple(found)
            yield Deliver(block, logs)
            self._history.append(block)
            self._next = block.number + 1
            counters.blocks += 1
            counters.logs += len(logs)
            if undecoded:
                counters.undecoded += undecoded.get(block.number, 0)
            counters.last_block = block.number
            if counters.head is not None:
                counters.lag = max(0, counters.head - block.number)
            self._since_save += 1
            if self._since_save >= interval:
                yield from self._save(block)
            if self.stopping:
                raise _Stop

    def _decode(self, blocks: list[BlockSummary], by_block: dict[int, list[Log]]) -> tuple[dict[int, list[Any]], dict[int, int]]:
        """The batch's logs decoded in one call, per block, and how many of
        each block's stay undecoded (counted when the block is delivered).
        A log that breaks an event's layout is warned about once per event
        and contract."""
        decoder = self.decoder
        assert decoder is not None
        numbers = [b.number for b in blocks if b.number in by_block]
        found = [by_block[n] for n in numbers]
        before = decoder.undecoded
        events = decoder.decode(list(itertools.chain.from_iterable(found)))
        out: dict[int, list[Any]] = {}
        start = 0
        for n, logs in zip(numbers, found):
            end = start + len(logs)
            out[n] = events[start:end]
            start = end
        undecoded: dict[int, int] = {}
        # A log left undecoded fits no event (possible only when the filter
        # selects a topic0 no event has) or breaks its event's layout.
        if decoder.undecoded != before or (not self._topic0s_fit and Log in map(type, events)):
            for n, delivered in out.items():
                count = sum(type(entry) is Log for entry in delivered)
                if count:
                    undecoded[n] = count
        if decoder.undecoded != before:
            for signature, address, reason in decoder.new_failures():
                log.warning("logs of %s from %s are delivered undecoded: %s", signature, address, reason)
        return out, undecoded

    def _missing(self, number: int) -> Steps:
        """The node does not have block `number` yet although its head is
        past it: give it a poll interval."""
        log.info("the node has no block %d yet; waiting", number)
        yield from self._sleep()
        self._head = None  # and look at the head again: the chain may have got shorter

    def _refused(self, span: _Span, what: str, size: int, refusal: Refused) -> None:
        if size == 1:
            raise NodeError(f"the node refuses {what} even for a single block: {refusal.message}")
        span.refused(size)
        log.info("%s over %d blocks refused (%s); trying %d", what, size, refusal.message, span.size)

    def _check_chain(self, chain_id: int | None) -> None:
        if chain_id is not None and chain_id != self._chain_id:
            raise ChainMismatchError(f"the node's chain id changed from {self._chain_id} to {chain_id}")

    def _set_head(self, head: int) -> None:
        self._head = head
        self.counters.head = head
        if self.counters.last_block is not None:
            self.counters.lag = max(0, head - self.counters.last_block)

    def _sleep(self) -> Steps:
        yield Sleep(self.config.poll_interval_ms / 1000)
        if self.stopping:
            raise _Stop

    # -- requests --------------------------------------------------------------

    def _send(self, request: Request) -> Generator[Action, Result, int]:
        ticket = next(self._tickets)
        self._in_flight.add(ticket)
        yield Send(ticket, request)
        return ticket

    def _await(self, ticket: int) -> Generator[Action, Result, Answer]:
        """The answer to `ticket`, taking other answers as they come."""
        while ticket not in self._answers:
            reply = yield Receive()
            if self.stopping or not isinstance(reply, Reply):
                raise _Stop
            self._in_flight.discard(reply.ticket)
            self._account(reply)
            self._answers[reply.ticket] = reply.answer
        answer = self._answers.pop(ticket)
        if isinstance(answer, Failed):
            raise answer.error
        return answer

    def _call(self, request: Request) -> Generator[Action, Result, Answer]:
        """One request, its answer awaited; a refusal ends the run."""
        answer = yield from self._await((yield from self._send(request)))
        if isinstance(answer, Refused):
            raise NodeError(f"the node refuses {describe(request)}: {answer.message}")
        return answer

    def _abandon(self, tickets: Iterable[int]) -> Steps:
        gone = []
        for ticket in tickets:
            if self._answers.pop(ticket, None) is None and ticket in self._in_flight:
                self._in_flight.discard(ticket)
                gone.append(ticket)
        if gone:
            yield Cancel(tuple(gone))

    def _account(self, reply: Reply) -> None:
        counters = self.counters
        counters.round_trips += reply.round_trips
        if reply.throttled or isinstance(reply.answer, Refused):
            self.window = max(1, self.window // 2)
            self._clean = 0
        elif self.window < self.max_in_flight:
            self._clean += 1
            if self._clean >= self.window:
                self.window += 1
                self._clean = 0

    def _fetch_headers(self, first: int, last: int) -> Generator[Action, Result, list[BlockSummary]]:
        """Headers `first`..`last` in as few batch requests as the node takes,
        one request at a time."""
        out: list[BlockSummary] = []
        n = first
        while n <= last:
            top = min(last, n + self._header_span.size - 1)
            answer = yield from self._await((yield from self._send(GetHeaders(n, top))))
            if isinstance(answer, Refused):
                self._refused(self._header_span, "header batches", top - n + 1, answer)
                continue
            assert isinstance(answer, Headers)
            self._header_span.accepted()
            out.extend(answer.blocks)
            if len(answer.blocks) < top - n + 1:
                break
            n = top + 1
        return out

    # -- starting, forks, the end ----------------------------------------------

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
            if not waited:
                log.warning("checkpoint block %d is beyond the node's chain; waiting for the node", number)
                waited = True
            yield from self._sleep()
        headers = _continuous_tail(headers)
        if headers[-1].hash == checkpoint.block_hash.lower():
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

    def _still_canonical(self) -> Generator[Action, Result, bool]:
        """Before returning at `to_block`: is the last delivered block still
        the node's? (The chain may have moved during the last batch.)"""
        last = self.last_block
        if last is None:
            return True
        early, self._end_check = self._end_check, None
        answer = None
        if early is not None and early[0] == last.number:
            answer = yield from self._await(early[1])
        elif early is not None:
            yield from self._abandon([early[1]])
        if isinstance(answer, Headers):
            headers = answer.blocks
        else:  # not asked early, or refused: asked as any header batch
            headers = yield from self._fetch_headers(last.number, last.number)
        if headers and headers[0].hash == last.hash:
            return True
        if not headers:
            yield from self._missing(last.number)
            return False
        yield from self._walk_back()
        return False

    def _drop_end_check(self) -> Steps:
        if self._end_check is not None:
            yield from self._abandon([self._end_check[1]])
            self._end_check = None

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
            node = {h.number: h.hash for h in headers}
            for block in reversed(kept[start:end]):
                if node.get(block.number) == block.hash:
                    fork = block
                    break
            end = start
        if fork is not None and fork.number == top:
            # Every kept block is still the node's: its answers disagree with
            # each other (say, nodes behind a balancer on different heads).
            log.info("the node's headers disagree about block %d; asking again", top + 1)
            self._head = None
            yield from self._sleep()
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
            log.warning("reorganisation: rolling back %d block%s to block %d",
                        depth, "" if depth == 1 else "s", target)
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
        yield from self._save(anchor)

    def _save(self, block: BlockSummary) -> Steps:
        cp = Checkpoint(self.config.chain, self.config.id, block.number, block.hash)
        yield SaveCheckpoint(cp, self._saved)
        self._saved = block.number
        self._since_save = 0
        self.counters.checkpoints += 1


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
