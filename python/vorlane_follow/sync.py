"""`Follower`: the engine driven in a blocking program. Requests run on a
few worker threads, so that several are in flight while the handler works;
the calling thread performs everything else in the engine's order."""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vorlane import EventFilter, IndexerConfig

from . import _connections, _judge
from ._rpc import save
from .engine import (Action, Cancel, CheckpointStore, Counters, Deliver, DeleteCheckpoint, Engine,
                     Handler, Idle, LoadCheckpoint, Receive, Reply, Request, Result, Rollback,
                     SaveCheckpoint, Send, Sleep)

if TYPE_CHECKING:
    from web3 import Web3


class Follower:
    """Follows one node for one (chain, indexer) pair and calls `handler`.

    `run()` returns the counters once `config.to_block` is indexed, or after
    `stop()`; with `to_block=None` it follows until stopped. Errors that no
    retry can fix raise a `FollowError` (or the store's own error);
    `ValueError` for settings the loop cannot use, at construction.

    The follower talks to the node itself, with `w3`'s provider's endpoint
    and settings: `request_timeout` seconds per request (a ranged request
    past it is split), up to `max_in_flight` requests at once, retries with
    backoff between `retry_base` and `retry_cap` seconds, and a node that
    gives no good answer within `startup_timeout` seconds of the start is
    given up on.

    With `abi` (anything `vorlane_follow.abi.read_events` reads) the handler
    gets typed event records instead of logs, for the events named in
    `events` (names or signatures; None: every event of the ABI), and a log
    none of them fits as the `Log` it is. A filter that names no topic0 then
    selects those events' topic0 values (the filter passed in is not
    changed)."""

    def __init__(self, w3: Web3, config: IndexerConfig, event_filter: EventFilter,
                 store: CheckpointStore, handler: Handler, *,
                 history_depth: int | None = None, retry_base: float = 0.5,
                 retry_cap: float = 30.0, request_timeout: float = 10.0, max_in_flight: int = 12,
                 startup_timeout: float = 30.0, abi: Any = None, events: Any = None,
                 checksum_addresses: bool = False) -> None:
        _check_timing(request_timeout, startup_timeout)
        event_filter, decoder = _decoding(event_filter, abi, events, checksum_addresses)
        self.engine = Engine(config, event_filter, history_depth=history_depth,
                             max_in_flight=max_in_flight, decoder=decoder)
        self.w3 = w3
        self.store = store
        self.handler = handler
        self.request_timeout = request_timeout
        self.startup_timeout = startup_timeout
        self.retry_base = retry_base
        self.retry_cap = retry_cap
        self._wake = threading.Event()
        self._workers: _Workers | None = None
        # Called whenever every block fetched so far is delivered.
        self.on_idle: Callable[[], None] | None = None

    @property
    def counters(self) -> Counters:
        return self.engine.counters

    def stop(self) -> None:
        """Ends `run()` after the current block, with a checkpoint at the
        last delivered one, within a moment even while an answer is still
        coming. Safe from another thread or a signal handler."""
        self.engine.stop()
        self._wake.set()
        workers = self._workers
        if workers is not None:
            workers.replies.put(None)

    def run(self) -> Counters:
        if not self.engine.stopping:
            self._wake.clear()
        connection = _connections.connect(self.w3.provider, self.request_timeout)
        retries = _judge.Retries(connection.url, self.retry_base, self.retry_cap, self.startup_timeout,
                                 self.engine.config.poll_interval_ms / 1000, self.engine.counters)
        workers = self._workers = _Workers(connection, retries, self.engine.max_in_flight, self._wake)
        steps = self.engine.steps()
        try:
            result: Result = None
            while True:
                result = self._perform(steps.send(result), workers)
        except StopIteration:
            pass
        finally:
            self._workers = None
            workers.close()
        return self.engine.counters

    def _perform(self, action: Action, workers: _Workers) -> Result:
        match action:  # the most frequent first: one Deliver a block
            case Deliver(block, logs):
                self.handler.on_block(block, list(logs))
            case Send(ticket, request):
                workers.submit(ticket, request)
            case Receive():
                return None if self.engine.stopping else workers.replies.get()
            case SaveCheckpoint(checkpoint, expected):
                save(self.store, checkpoint, expected)
            case Cancel(tickets):
                workers.cancel(tickets)
            case Sleep(seconds):
                self._wake.wait(seconds)
            case Idle():
                if self.on_idle is not None:
                    self.on_idle()
            case Rollback(number):
                self.handler.on_rollback(number)
            case LoadCheckpoint(chain_id, indexer_id):
                return self.store.load_checkpoint(chain_id, indexer_id)
            case DeleteCheckpoint(chain_id, indexer_id):
                self.store.delete_checkpoint(chain_id, indexer_id)
            case _:
                raise TypeError(f"not an action: {action!r}")
        return None


def _decoding(event_filter: EventFilter, abi: Any, events: Any,
              checksum_addresses: bool) -> tuple[EventFilter, Any]:
    """The engine's filter and decoder for a follower's ABI keywords."""
    if abi is None:
        if events is not None:
            raise ValueError("events= names events of an ABI: give abi= too")
        return event_filter, None
    from . import abi as _abi
    from ._selection import with_topic0s

    chosen = _abi.read_events(abi, events)
    if not chosen:
        raise ValueError("the ABI has no events to decode")
    return (with_topic0s(event_filter, [e.topic0_hex for e in chosen]),
            _abi.decoder(chosen, checksum_addresses))


def _check_timing(request_timeout: float, startup_timeout: float) -> None:
    if not request_timeout > 0:
        raise ValueError("request_timeout must be more than 0 seconds")
    if not startup_timeout >= 0:
        raise ValueError("startup_timeout must be 0 seconds or more")


class _Workers:
    """Threads that perform requests, retried as `Retries` says, and put
    each one's `Reply` on `replies` (None once stopped). They are daemons:
    one still reading an answer when the run ends stops at its request's
    deadline."""

    def __init__(self, connection: Any, retries: _judge.Retries, size: int,
                 wake: threading.Event) -> None:
        self.connection = connection
        self.retries = retries
        self.replies: queue.SimpleQueue[Reply | None] = queue.SimpleQueue()
        self._jobs: queue.SimpleQueue[tuple[int, Request] | None] = queue.SimpleQueue()
        self._wake = wake
        self._cancelled: set[int] = set()
        self._size = size
        self._threads: list[threading.Thread] = []

    def submit(self, ticket: int, request: Request) -> None:
        if len(self._threads) < self._size:
            thread = threading.Thread(target=self._work, name="vorlane-follow-request", daemon=True)
            self._threads.append(thread)
            thread.start()
        self._jobs.put((ticket, request))

    def cancel(self, tickets: tuple[int, ...]) -> None:
        self._cancelled.update(tickets)

    def close(self) -> None:
        for _ in self._threads:
            self._jobs.put(None)

    def _work(self) -> None:
        while (job := self._jobs.get()) is not None:
            ticket, request = job
            if ticket in self._cancelled:
                continue
            reply = self._fetch(ticket, request)
            if reply is not None and ticket not in self._cancelled:
                self.replies.put(reply)
        self.connection.close()  # this thread's connection

    def _fetch(self, ticket: int, request: Request) -> Reply | None:
        attempt = self.retries.attempt(request)
        trips = 0
        while True:
            if not self._pause(self.retries.hold(), ticket):
                attempt.abandoned()
                return None
            try:
                answer, sent = self.connection.perform(request)
            except Exception as exc:  # noqa: BLE001 - judged, and raised by the engine when fatal
                trips += 1
                verdict = attempt.failed(exc)
                if verdict.fate != _judge.RETRY:
                    return Reply(ticket, _judge.outcome(verdict, exc), trips, attempt.throttled)
                if not self._pause(verdict.pause, ticket):
                    attempt.abandoned()
                    return None
                continue
            attempt.succeeded()
            return Reply(ticket, answer, trips + sent, attempt.throttled)

    def _pause(self, seconds: float, ticket: int) -> bool:
        """Waits `seconds`; False once stopped or the request is cancelled."""
        return not ((seconds > 0 and self._wake.wait(seconds)) or ticket in self._cancelled)
