"""What the engine and its drivers exchange: the errors that end a run, the
handler's and the store's shapes, the requests the engine asks of the node
and the answers it gets back, the actions a driver performs, and the
counters. Plain values, no behaviour."""

from __future__ import annotations

import dataclasses
from collections.abc import Awaitable, Generator
from typing import Protocol, Union

from vorlane import BlockSummary, Checkpoint
from vorlane_rpc import Log

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


# -- requests: what the engine asks of the node ------------------------------


@dataclasses.dataclass(frozen=True, slots=True)
class GetChainId:
    """Answer: the node's `eth_chainId` as an int."""


@dataclasses.dataclass(frozen=True, slots=True)
class GetHead:
    """Answer: `Head`: the latest block number, and the chain id when
    `chain_id` (in one batch)."""

    chain_id: bool = True


@dataclasses.dataclass(frozen=True, slots=True)
class GetHeaders:
    """Answer: `Headers` for `first`..`last`, cut short before the first block
    the node does not have (yet); with the chain id when `chain_id`."""

    first: int
    last: int
    chain_id: bool = False


@dataclasses.dataclass(frozen=True, slots=True)
class GetLogs:
    """Answer: every `Log` of blocks `first`..`last` that the node selects
    with these addresses and topic0 values (empty: all)."""

    first: int
    last: int
    addresses: tuple[str, ...]
    topic0s: tuple[str, ...]


@dataclasses.dataclass(frozen=True, slots=True)
class GetBlockLogs:
    """Answer: the logs of the block with this hash, asked by hash: a node
    that lacks the block answers with an error, never with an empty list."""

    block_hash: str
    number: int
    addresses: tuple[str, ...]
    topic0s: tuple[str, ...]


Request = Union[GetChainId, GetHead, GetHeaders, GetLogs, GetBlockLogs]


@dataclasses.dataclass(frozen=True, slots=True)
class Head:
    number: int
    chain_id: int | None


@dataclasses.dataclass(frozen=True, slots=True)
class Headers:
    blocks: list[BlockSummary]
    blooms: list[bytes]
    chain_id: int | None


@dataclasses.dataclass(frozen=True, slots=True)
class Refused:
    """The node refused a request for its size (range, result count, batch,
    or an answer that took past the deadline)."""

    message: str


@dataclasses.dataclass(frozen=True, slots=True)
class Failed:
    """No retry can fix this request: `error` is raised unless the request
    was abandoned meanwhile."""

    error: BaseException


Answer = Union[Head, Headers, list[Log], int, Refused, Failed]


@dataclasses.dataclass(frozen=True, slots=True)
class Reply:
    """A request's outcome: its answer (`Head` for `GetHead`, `Headers` for
    `GetHeaders`, a list of logs for `GetLogs` and `GetBlockLogs`, an int for
    `GetChainId`), `Refused` or `Failed`, and what it took: HTTP round trips,
    and whether the node throttled it."""

    ticket: int
    answer: Answer
    round_trips: int = 1
    throttled: bool = False


# -- actions: what the engine asks its driver to do --------------------------


@dataclasses.dataclass(frozen=True, slots=True)
class Send:
    """Start `request` and return at once; its `Reply` comes from a later
    `Receive`."""

    ticket: int
    request: Request


@dataclasses.dataclass(frozen=True, slots=True)
class Receive:
    """Result: the next `Reply` of a request in flight (any of them), or
    None once the follower is stopped."""


@dataclasses.dataclass(frozen=True, slots=True)
class Cancel:
    """These requests are no longer wanted: stop retrying them and never
    report them."""

    tickets: tuple[int, ...]


@dataclasses.dataclass(frozen=True, slots=True)
class LoadCheckpoint:
    """Result: the store's checkpoint for the pair, or None."""

    chain_id: str
    indexer_id: str


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
class Idle:
    """Every block the engine had is delivered; it now waits for the chain
    (output held back for batching can go out)."""


Action = Union[Send, Receive, Cancel, LoadCheckpoint, Deliver, Rollback, SaveCheckpoint,
               DeleteCheckpoint, Sleep, Idle]
# What a driver sends back: the result of the action just performed.
Result = Union[Reply, Checkpoint, None]
Steps = Generator[Action, Result, None]


@dataclasses.dataclass(slots=True)
class Counters:
    """What the follower has done so far. `round_trips` counts HTTP requests
    to the node and `retries` the ones sent again; `lag` is the node's head
    minus the last delivered block (None until both are known); `undecoded`
    counts the logs delivered undecoded by a follower given an ABI."""

    blocks: int = 0
    logs: int = 0
    undecoded: int = 0
    rollbacks: int = 0
    rollback_depths: list[int] = dataclasses.field(default_factory=list)
    retries: int = 0
    round_trips: int = 0
    checkpoints: int = 0
    head: int | None = None
    last_block: int | None = None
    lag: int | None = None


def method_of(request: Request) -> str:
    """The JSON-RPC method a request is mostly made of."""
    match request:
        case GetHeaders():
            return "eth_getBlockByNumber"
        case GetLogs() | GetBlockLogs():
            return "eth_getLogs"
        case GetHead():
            return "eth_blockNumber"
        case GetChainId():
            return "eth_chainId"
    raise TypeError(f"not a request: {request!r}")


def describe(request: Request) -> str:
    match request:
        case GetHeaders(first, last):
            return f"the headers of blocks {first}..{last}"
        case GetLogs(first, last):
            return f"eth_getLogs over blocks {first}..{last}"
        case GetBlockLogs(_, number):
            return f"the logs of block {number} by hash"
    return method_of(request)
