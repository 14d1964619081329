"""`AsyncFollower`: the engine driven under asyncio. Each request in flight
is a task; store calls release the interpreter lock, so they run in a
worker thread and the event loop stays free meanwhile."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
from collections.abc import Callable
from typing import Any

from web3 import AsyncWeb3

from vorlane import EventFilter, IndexerConfig

from . import _connections, _judge
from ._rpc import save
from .engine import (Action, AsyncHandler, Cancel, CheckpointStore, Counters, Deliver,
                     DeleteCheckpoint, Engine, Handler, Idle, LoadCheckpoint, Receive, Reply, Request,
                     Result, Rollback, SaveCheckpoint, Send, Sleep)
from .sync import _check_timing, _decoding


class AsyncFollower:
    """`Follower` for asyncio: the same engine, the same handler contract and
    the same settings. The handler's methods may be plain functions or
    coroutine functions."""

    def __init__(self, w3: AsyncWeb3[Any], config: IndexerConfig, event_filter: EventFilter,
                 store: CheckpointStore, handler: Handler | AsyncHandler, *,
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
        self.handler: AsyncHandler = handler
        self.request_timeout = request_timeout
        self.startup_timeout = startup_timeout
        self.retry_base = retry_base
        self.retry_cap = retry_cap
        self._loop: asyncio.AbstractEventLoop | None = None
        self._wake: asyncio.Event | None = None
        self._replies: asyncio.Queue[Reply | None] | None = None
        # Called whenever every block fetched so far is delivered.
        self.on_idle: Callable[[], None] | None = None

    @property
    def counters(self) -> Counters:
        return self.engine.counters

    def stop(self) -> None:
        """Ends `run()` after the current block, with a checkpoint at the
        last delivered one, within a moment even while an answer is still
        coming. Safe from another task or another thread."""
        self.engine.stop()
        loop = self._loop
        if loop is not None and not loop.is_closed():
            with contextlib.suppress(RuntimeError):  # the loop has just closed
                loop.call_soon_threadsafe(self._wake_up)

    def _wake_up(self) -> None:
        if self._wake is not None and self._replies is not None:
            self._wake.set()
            self._replies.put_nowait(None)

    async def run(self) -> Counters:
        self._loop = asyncio.get_running_loop()
        self._wake = asyncio.Event()
        self._replies = asyncio.Queue()
        if self.engine.stopping:
            self._wake.set()
        connection = _connections.connect_async(self.w3.provider, self.request_timeout)
        retries = _judge.Retries(connection.url, self.retry_base, self.retry_cap, self.startup_timeout,
                                 self.engine.config.poll_interval_ms / 1000, self.engine.counters)
        tasks: dict[int, asyncio.Task[None]] = {}
        steps = self.engine.steps()
        try:
            result: Result = None
            while True:
                action = steps.send(result)
                match action:  # the most frequent first: one Deliver a block
                    case Deliver(block, logs):
                        done = self.handler.on_block(block, list(logs))
                        if done is not None:
                            await _maybe_await(done)
                        result = None
                    case Send(ticket, request):
                        tasks[ticket] = asyncio.create_task(
                            self._fetch(connection, retries, ticket, request, tasks))
                        result = None
                    case Receive():
                        result = None if self.engine.stopping else await self._replies.get()
                    case Cancel(tickets):
                        for ticket in tickets:
                            task = tasks.pop(ticket, None)
                            if task is not None:
                                task.cancel()
                        result = None
                    case _:
                        result = await self._perform(action)
        except StopIteration:
            pass
        finally:
            for task in tasks.values():
                task.cancel()
            await asyncio.gather(*tasks.values(), return_exceptions=True)
            await connection.close()
            self._loop = self._wake = self._replies = None
        return self.engine.counters

    async def _perform(self, action: Action) -> Result:
        match action:
            case SaveCheckpoint(checkpoint, expected):
                await asyncio.to_thread(save, self.store, checkpoint, expected)
            case Sleep(seconds):
                await self._sleep(seconds)
            case Idle():
                if self.on_idle is not None:
                    self.on_idle()
            case Rollback(number):
                await _maybe_await(self.handler.on_rollback(number))
            case LoadCheckpoint(chain_id, indexer_id):
                return await asyncio.to_thread(self.store.load_checkpoint, chain_id, indexer_id)
            case DeleteCheckpoint(chain_id, indexer_id):
                await asyncio.to_thread(self.store.delete_checkpoint, chain_id, indexer_id)
            case _:
                raise TypeError(f"not an action: {action!r}")
        return None

    async def _sleep(self, seconds: float) -> bool:
        """Waits `seconds`; True when woken by `stop()`."""
        assert self._wake is not None
        try:
            await asyncio.wait_for(self._wake.wait(), seconds)
        except TimeoutError:
            return False
        return True

    async def _fetch(self, connection: Any, retries: _judge.Retries, ticket: int, request: Request,
                     tasks: dict[int, asyncio.Task[None]]) -> None:
        assert self._replies is not None
        attempt = retries.attempt(request)
        trips = 0
        try:
            while True:
                if (hold := retries.hold()) and await self._sleep(hold):
                    return
                try:
                    answer, sent = await connection.perform(request)
                except asyncio.CancelledError:
                    raise
                except Exception as exc:  # noqa: BLE001 - judged, and raised by the engine when fatal
                    trips += 1
                    verdict = attempt.failed(exc)
                    if verdict.fate != _judge.RETRY:
                        reply = Reply(ticket, _judge.outcome(verdict, exc), trips, attempt.throttled)
                        break
                    if await self._sleep(verdict.pause):
                        return
                    continue
                attempt.succeeded()
                reply = Reply(ticket, answer, trips + sent, attempt.throttled)
                break
        finally:
            attempt.abandoned()  # nothing once it has ended otherwise
        tasks.pop(ticket, None)
        self._replies.put_nowait(reply)


async def _maybe_await(value: object) -> None:
    if inspect.isawaitable(value):
        await value
