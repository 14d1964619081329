"""`AsyncFollower`: the engine driven by web3.py's `AsyncWeb3` under asyncio.
Store calls release the interpreter lock, so they run in a worker thread and
the event loop stays free meanwhile."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import threading
from collections.abc import Awaitable
from typing import Any, Callable, TypeVar

from web3 import AsyncWeb3
from web3.exceptions import BlockNotFound
from web3.providers.persistent import PersistentConnectionProvider

from vorlane import EventFilter, IndexerConfig

from . import _transport as t
from .engine import (Counters, Deliver, DeleteCheckpoint, FetchChainId, FetchHead, FetchHeaders,
                     FetchLogs, LoadCheckpoint, Refused, Rollback, SaveCheckpoint, Sleep)

R = TypeVar("R")


class AsyncFollower(t.Driver):
    """`Follower` for asyncio: the same engine, the same handler contract.
    The handler's methods may be plain functions or coroutine functions."""

    def __init__(self, w3: AsyncWeb3[Any], config: IndexerConfig, event_filter: EventFilter,
                 store: t.CheckpointStore, handler: t.Handler | t.AsyncHandler, *,
                 history_depth: int | None = None, retry_base: float = 0.5,
                 retry_cap: float = 30.0) -> None:
        super().__init__(config, event_filter, store, history_depth, retry_base, retry_cap)
        self.w3 = w3
        self.handler: t.AsyncHandler = handler
        self._stopped = threading.Event()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._wake: asyncio.Event | None = None

    def stop(self) -> None:
        """Ends `run()` after the current block, with a checkpoint at the
        last delivered one. Safe from another task or another thread."""
        self.engine.stop()
        self._stopped.set()
        loop, wake = self._loop, self._wake
        if loop is not None and wake is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(wake.set)
            except RuntimeError:  # the loop has just closed
                pass

    async def run(self) -> Counters:
        self._loop = asyncio.get_running_loop()
        self._wake = asyncio.Event()
        if self._stopped.is_set():
            self._wake.set()
        steps = self.engine.steps()
        try:
            action = next(steps)
            while True:
                action = steps.send(await self._perform(action))
        except StopIteration:
            pass
        except t.Stopped:
            steps.close()
            final = self.engine.final_checkpoint()
            if final is not None:
                await asyncio.to_thread(t.save, self.store, final)
                self.engine.checkpoint_saved(final)
        finally:
            self._loop = self._wake = None
        return self.engine.counters

    async def _perform(self, action: Any) -> Any:
        match action:
            case FetchHeaders():
                return await self._request(action, lambda: self._headers(action))
            case FetchLogs():
                return await self._request(action, lambda: self._logs(action))
            case Deliver():
                await _maybe_await(self.handler.on_block(action.block, list(action.logs)))
            case SaveCheckpoint():
                await asyncio.to_thread(t.save, self.store, action)
            case FetchHead():
                return await self._request(action, lambda: self.w3.eth.block_number)
            case Sleep():
                await self._sleep(action.seconds)
            case Rollback():
                await _maybe_await(self.handler.on_rollback(action.block_number))
            case LoadCheckpoint():
                return await asyncio.to_thread(self.store.load_checkpoint, action.chain_id,
                                               action.indexer_id)
            case DeleteCheckpoint():
                await asyncio.to_thread(self.store.delete_checkpoint, action.chain_id,
                                        action.indexer_id)
            case FetchChainId():
                return await self._request(action, lambda: self.w3.eth.chain_id)
        return None

    async def _sleep(self, seconds: float) -> bool:
        """Waits `seconds`; True when woken by `stop()`."""
        assert self._wake is not None
        try:
            await asyncio.wait_for(self._wake.wait(), seconds)
        except TimeoutError:
            return False
        return True

    async def _headers(self, action: FetchHeaders) -> list[Any]:
        try:
            async with self.w3.batch_requests() as batch:
                for n in range(action.first, action.last + 1):
                    batch.add(self.w3.eth.get_block(n))
                return t.summaries(await batch.async_execute(), action)
        except BlockNotFound:
            return []

    async def _logs(self, action: FetchLogs) -> list[Any]:
        entries = await self.w3.eth.get_logs(t.logs_params(action, self._checksummed))
        return [t.to_log(e) for e in entries if not e.get("removed")]

    async def _request(self, action: Any, call: Callable[[], Awaitable[R]]) -> R | Refused:
        while True:
            self.engine.counters.round_trips += 1
            try:
                result = await call()
            except Exception as exc:
                delay = self._failed(action, exc)
                if isinstance(delay, Refused):
                    return delay
                if await self._sleep(delay):
                    raise t.Stopped from None
                if t.connection_lost(exc):
                    await self._reconnect()
                continue
            self._succeeded(action)
            return result

    async def _reconnect(self) -> None:
        """Opens a persistent (WebSocket) connection again after it dropped;
        web3.py does not. Should that fail, the retried request fails too and
        backs off again."""
        provider = self.w3.provider
        if isinstance(provider, PersistentConnectionProvider):
            with contextlib.suppress(Exception):
                await provider.disconnect()
            with contextlib.suppress(Exception):
                await provider.connect()


async def _maybe_await(value: object) -> None:
    if inspect.isawaitable(value):
        await value
