"""Type information for the vorlane_rpc extension module."""

from typing import Any, Callable, Final, Iterable, Iterator, final

from vorlane import BlockSummary

__all__ = [
    "HEADER", "LOGS", "QUANTITY", "Log", "RpcError", "DecodeError", "decode", "select_logs", "encode_log_lines",
    "EventDecoder",
]

HEADER: Final[int]
LOGS: Final[int]
QUANTITY: Final[int]

@final
class Log:
    """One log as the node returned it, every hex text in lower case."""

    __match_args__ = ("block_number", "block_hash", "transaction_hash", "log_index", "address", "topics", "data")
    @property
    def block_number(self) -> int: ...
    @property
    def block_hash(self) -> str: ...
    @property
    def transaction_hash(self) -> str: ...
    @property
    def log_index(self) -> int: ...
    @property
    def address(self) -> str: ...
    @property
    def topics(self) -> tuple[str, ...]: ...
    @property
    def data(self) -> str: ...
    @property
    def transaction_index(self) -> int | None: ...
    def __new__(
        cls,
        block_number: int,
        block_hash: str,
        transaction_hash: str,
        log_index: int,
        address: str,
        topics: tuple[str, ...],
        data: str,
        *,
        transaction_index: int | None = None,
    ) -> Log: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Callable[..., Log], tuple[Any, ...]]: ...

class RpcError(Exception):
    code: int
    message: str
    data: str | None
    def __init__(self, code: int, message: str, data: str | None = None) -> None: ...

class DecodeError(ValueError): ...

def decode(
    body: bytes | bytearray | memoryview, kinds: bytes, /
) -> list[tuple[BlockSummary, bytes] | list[Log] | int | RpcError | None]: ...
def select_logs(
    logs: list[Log],
    hashes: dict[int, str],
    match_address: Callable[[str], object],
    match_topic0: Callable[[str], object],
    /,
) -> tuple[dict[int, list[Log]], int | None, set[int]]: ...

def encode_log_lines(logs: Iterable[Log], /) -> bytes: ...

class _EventRecord:
    """Type-checking only: the shape every class in EventDecoder.types has, one per
    event, its arguments as attributes (a name that is also a log field gets
    a trailing underscore) and by position, then the log's fields."""

    __match_args__: tuple[str, ...]
    __event_name__: str
    __event_signature__: str
    __topic0__: bytes
    __schema__: tuple[tuple[str, str, bool], ...]
    __abi__: dict[str, Any]
    @property
    def address(self) -> str: ...
    @property
    def block_number(self) -> int: ...
    @property
    def block_hash(self) -> str: ...
    @property
    def transaction_hash(self) -> str: ...
    @property
    def transaction_index(self) -> int | None: ...
    @property
    def log_index(self) -> int: ...
    def __getattr__(self, name: str) -> Any: ...
    def __getitem__(self, index: int) -> Any: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class EventDecoder:
    """Decodes logs against events given as (fragment, topic0) pairs."""

    def __new__(
        cls,
        events: Iterable[tuple[dict[str, Any], bytes]],
        /,
        *,
        checksum_addresses: bool = False,
    ) -> EventDecoder: ...
    @property
    def types(self) -> tuple[type[_EventRecord], ...]: ...
    @property
    def undecoded(self) -> int: ...
    def decode(self, logs: Iterable[Log], /) -> list[_EventRecord | Log]: ...
    def encode_lines(self, logs: Iterable[Log], /) -> bytes: ...
    def new_failures(self) -> list[tuple[str, str, str]]: ...
