"""What both drivers share about talking to a node: turning web3's answers
into the engine's values, sorting errors into retry / refused / fatal, and
the backoff between retries."""

from __future__ import annotations

import asyncio
import enum
import logging
import random
from collections.abc import Awaitable, Mapping, Sequence
from typing import Any, Protocol

import aiohttp
import requests
from eth_typing import ChecksumAddress
from eth_utils.address import to_checksum_address
from web3.types import FilterParams
from web3.exceptions import (
    BlockNotFound,
    PersistentConnectionClosedOK,
    ProviderConnectionError,
    TimeExhausted,
    TooManyRequests,
    Web3RPCError,
)
from websockets.exceptions import ConnectionClosed

from vorlane import BlockSummary, Checkpoint, EventFilter, IndexerConfig

from .engine import Counters, Engine, FetchHeaders, FetchLogs, Log, Refused, SaveCheckpoint

log = logging.getLogger("vorlane_follow")


class Handler(Protocol):
    """What the follower calls. `on_block` gets every confirmed block in
    order with its matching logs in log-index order; `on_rollback(n)` means:
    forget everything from blocks above `n`."""

    def on_block(self, block: BlockSummary, logs: list[Log], /) -> None: ...

    def on_rollback(self, block_number: int, /) -> None: ...


class AsyncHandler(Protocol):
    """A handler for `AsyncFollower`: its methods may also be coroutines."""

    def on_block(self, block: BlockSummary, logs: list[Log], /) -> Awaitable[None] | None: ...

    def on_rollback(self, block_number: int, /) -> Awaitable[None] | None: ...


class CheckpointStore(Protocol):
    def load_checkpoint(self, chain_id: str, indexer_id: str, /) -> Checkpoint | None: ...

    def save_checkpoint(self, checkpoint: Checkpoint, /) -> None: ...

    def delete_checkpoint(self, chain_id: str, indexer_id: str, /) -> None: ...


class Outcome(enum.Enum):
    RETRY = "retry"        # transient: back off and send the same request again
    REFUSED = "refused"    # too big: the engine asks for less
    FATAL = "fatal"        # no retry helps


# Words nodes use when they are overloaded or rate limiting (retry as is) ...
_OVERLOAD = ("rate limit", "too many requests", "overload", "capacity", "busy", "try again",
             "temporarily", "unavailable", "throttl", "exceeded the")
# ... and when a request asks for too much (ask for less).
_TOO_BIG = ("range", "more than", "too many", "too large", "too big", "response size",
            "result window", "max results", "limit", "batch", "timeout", "timed out")


# A connection that is gone, or a request whose answer never came: over a
# persistent (WebSocket) connection, the connection is opened again.
_CONNECTION_LOST = (ConnectionClosed, PersistentConnectionClosedOK, ProviderConnectionError,
                    TimeExhausted)


def connection_lost(exc: BaseException) -> bool:
    return isinstance(exc, _CONNECTION_LOST)


def classify(exc: BaseException, action: object) -> Outcome:
    """How to answer `exc`, raised while performing `action`."""
    sizable = isinstance(action, (FetchHeaders, FetchLogs))
    if isinstance(exc, BlockNotFound):
        return Outcome.FATAL
    if isinstance(exc, _CONNECTION_LOST):
        return Outcome.RETRY
    if isinstance(exc, (TooManyRequests, ConnectionError,
                        TimeoutError, asyncio.TimeoutError, requests.ConnectionError,
                        requests.Timeout, requests.exceptions.ChunkedEncodingError,
                        aiohttp.ClientConnectionError, aiohttp.ClientPayloadError)):
        return Outcome.RETRY
    status = None
    if isinstance(exc, requests.HTTPError) and exc.response is not None:
        status = exc.response.status_code
    elif isinstance(exc, aiohttp.ClientResponseError):
        status = exc.status
    if status is not None:
        if status == 429 or status >= 500:
            return Outcome.RETRY
        if status == 413 and sizable:
            return Outcome.REFUSED
        return Outcome.FATAL
    if isinstance(exc, Web3RPCError):
        error = exc.rpc_response.get("error") if exc.rpc_response else None
        code = error.get("code") if isinstance(error, Mapping) else None
        message = str(error.get("message", "")) if isinstance(error, Mapping) else str(exc)
        text = message.lower()
        if any(word in text for word in _OVERLOAD):
            return Outcome.RETRY
        if sizable and any(word in text for word in _TOO_BIG):
            return Outcome.REFUSED
        if "timeout" in text or "timed out" in text:
            return Outcome.RETRY
        if code in (-32603, -32000, 429):
            return Outcome.RETRY
        return Outcome.FATAL
    return Outcome.FATAL


def retry_after(exc: BaseException) -> float:
    """The seconds of an HTTP answer's Retry-After header (0 when absent or a date)."""
    headers: Any = None
    if isinstance(exc, requests.HTTPError) and exc.response is not None:
        headers = exc.response.headers
    elif isinstance(exc, aiohttp.ClientResponseError):
        headers = exc.headers
    try:
        return max(0.0, float(headers.get("Retry-After", 0))) if headers else 0.0
    except (TypeError, ValueError):
        return 0.0


def describe(exc: BaseException) -> str:
    if isinstance(exc, Web3RPCError) and exc.rpc_response:
        error = exc.rpc_response.get("error")
        if isinstance(error, Mapping):
            return f"{error.get('message')} ({error.get('code')})"
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


class Backoff:
    """Capped exponential backoff with full jitter: the n-th retry waits a
    uniformly random time in [0, min(cap, base * 2**n)]. One warning is logged
    per episode (a run of failures ended by a success)."""

    def __init__(self, base: float, cap: float, rng: random.Random | None = None) -> None:
        self.base = base
        self.cap = cap
        self._rng = rng or random.Random()
        self.failures = 0

    def failed(self, what: str, exc: BaseException) -> float:
        if self.failures == 0:
            log.warning("%s failed (%s); retrying with backoff", what, describe(exc))
        self.failures += 1
        delay = self._rng.uniform(0, min(self.cap, self.base * 2 ** (self.failures - 1)))
        # A node that says how long to wait (429/503 with Retry-After) is obeyed, up to the cap.
        return max(delay, min(self.cap, retry_after(exc)))

    def succeeded(self, what: str) -> None:
        if self.failures:
            log.debug("%s went through after %d retries", what, self.failures)
            self.failures = 0


def to_summary(block: Mapping[str, Any]) -> BlockSummary:
    return BlockSummary(block["number"], block["hash"].to_0x_hex(), block["parentHash"].to_0x_hex(),
                        block["timestamp"], len(block["transactions"]))


def to_log(entry: Mapping[str, Any]) -> Log:
    return Log(entry["blockNumber"], entry["blockHash"].to_0x_hex(),
               entry["transactionHash"].to_0x_hex(), entry["logIndex"], entry["address"].lower(),
               tuple(t.to_0x_hex() for t in entry["topics"]), entry["data"].to_0x_hex())


def logs_params(action: FetchLogs, checksummed: Mapping[str, ChecksumAddress]) -> FilterParams:
    params: FilterParams = {"fromBlock": action.first, "toBlock": action.last}
    if action.addresses:
        params["address"] = [checksummed[a] for a in action.addresses]
    if action.topic0s:
        params["topics"] = [list(action.topic0s)]
    return params


def summaries(blocks: Sequence[Any], action: FetchHeaders) -> list[BlockSummary]:
    out = []
    for number, block in zip(range(action.first, action.last + 1), blocks):
        if block is None or block["number"] != number:
            break
        out.append(to_summary(block))
    return out


def save(store: Any, action: SaveCheckpoint) -> None:
    save_if = getattr(store, "save_checkpoint_if", None)
    if save_if is not None:
        save_if(action.checkpoint, action.expected)
    else:
        store.save_checkpoint(action.checkpoint)


class Stopped(Exception):
    """`stop()` ended a driver's wait."""


class Driver:
    """What `Follower` and `AsyncFollower` share: the engine, the store and
    the retry decisions. Each adds only its way of doing the I/O."""

    def __init__(self, config: IndexerConfig, event_filter: EventFilter, store: CheckpointStore,
                 history_depth: int | None, retry_base: float, retry_cap: float) -> None:
        self.store = store
        self.engine = Engine(config, event_filter, history_depth=history_depth)
        self._checksummed = {a: to_checksum_address(a) for a in self.engine.addresses}
        self._backoff = Backoff(retry_base, retry_cap)

    @property
    def counters(self) -> Counters:
        return self.engine.counters

    def _succeeded(self, action: object) -> None:
        self._backoff.succeeded(type(action).__name__)

    def _failed(self, action: object, exc: Exception) -> float | Refused:
        """After a failed request: the refusal to hand the engine, or the
        seconds to wait before sending it again. Raises `exc` when no retry
        can fix it."""
        outcome = classify(exc, action)
        if outcome is Outcome.REFUSED:
            self._succeeded(action)
            return Refused(describe(exc))
        if outcome is Outcome.FATAL:
            raise exc
        self.engine.counters.retries += 1
        return self._backoff.failed(type(action).__name__, exc)
