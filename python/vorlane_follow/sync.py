"""`Follower`: the engine driven by a blocking web3.py `Web3`."""

from __future__ import annotations

import threading
from typing import Any, Callable, TypeVar

from web3 import Web3
from web3.exceptions import BlockNotFound

from vorlane import EventFilter, IndexerConfig

from . import _transport as t
from .engine import (Counters, Deliver, DeleteCheckpoint, FetchChainId, FetchHead, FetchHeaders,
                     FetchLogs, LoadCheckpoint, Refused, Rollback, SaveCheckpoint, Sleep)

R = TypeVar("R")


class Follower(t.Driver):
    """Follows one node for one (chain, indexer) pair and calls `handler`.

    `run()` returns the counters once `config.to_block` is indexed, or after
    `stop()`; with `to_block=None` it follows until stopped. Errors that no
    retry can fix raise (`FollowError`, the store's mismatch `RuntimeError`,
    `ValueError` for a config the loop cannot use, at construction)."""

    def __init__(self, w3: Web3, config: IndexerConfig, event_filter: EventFilter,
                 store: t.CheckpointStore, handler: t.Handler, *,
                 history_depth: int | None = None, retry_base: float = 0.5,
                 retry_cap: float = 30.0) -> None:
        super().__init__(config, event_filter, store, history_depth, retry_base, retry_cap)
        self.w3 = w3
        self.handler = handler
        self._stop = threading.Event()

    def stop(self) -> None:
        """Ends `run()` after the current block, with a checkpoint at the
        last delivered one. Safe from another thread or a signal handler."""
        self.engine.stop()
        self._stop.set()

    def run(self) -> Counters:
        steps = self.engine.steps()
        try:
            action = next(steps)
            while True:
                action = steps.send(self._perform(action))
        except StopIteration:
            pass
        except t.Stopped:
            steps.close()
            final = self.engine.final_checkpoint()
            if final is not None:
                t.save(self.store, final)
                self.engine.checkpoint_saved(final)
        return self.engine.counters

    def _perform(self, action: Any) -> Any:
        match action:
            case FetchHeaders():
                return self._request(action, lambda: self._headers(action))
            case FetchLogs():
                return self._request(action, lambda: [
                    t.to_log(e) for e in self.w3.eth.get_logs(t.logs_params(action, self._checksummed))
                    if not e.get("removed")])
            case Deliver():
                self.handler.on_block(action.block, list(action.logs))
            case SaveCheckpoint():
                t.save(self.store, action)
            case FetchHead():
                return self._request(action, lambda: self.w3.eth.block_number)
            case Sleep():
                self._stop.wait(action.seconds)
            case Rollback():
                self.handler.on_rollback(action.block_number)
            case LoadCheckpoint():
                return self.store.load_checkpoint(action.chain_id, action.indexer_id)
            case DeleteCheckpoint():
                self.store.delete_checkpoint(action.chain_id, action.indexer_id)
            case FetchChainId():
                return self._request(action, lambda: self.w3.eth.chain_id)
        return None

    def _headers(self, action: FetchHeaders) -> list[Any]:
        try:
            with self.w3.batch_requests() as batch:
                for n in range(action.first, action.last + 1):
                    batch.add(self.w3.eth.get_block(n))
                return t.summaries(batch.execute(), action)
        except BlockNotFound:
            return []

    def _request(self, action: Any, call: Callable[[], R]) -> R | Refused:
        while True:
            self.engine.counters.round_trips += 1
            try:
                result = call()
            except Exception as exc:
                delay = self._failed(action, exc)
                if isinstance(delay, Refused):
                    return delay
                if self._stop.wait(delay):
                    raise t.Stopped from None
                continue
            self._succeeded(action)
            return result
