"""Type information for the vorlane_stores extension module."""

from os import PathLike
from types import TracebackType
from typing import Self, SupportsIndex, final

from vorlane import Checkpoint

__all__ = ["SqliteStorage", "PostgresStorage"]

@final
class SqliteStorage:
    """Checkpoints kept in an SQLite database file."""

    def __new__(
        cls,
        path: str | PathLike[str],
        *,
        table: str = "vorlane_checkpoints",
        synchronous: bool = True,
        busy_timeout: float = 5.0,
    ) -> Self: ...
    def load_checkpoint(self, chain_id: str, indexer_id: str) -> Checkpoint | None: ...
    def save_checkpoint(self, checkpoint: Checkpoint) -> None: ...
    def save_checkpoint_if(self, checkpoint: Checkpoint, expected_block_number: SupportsIndex | None) -> None: ...
    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class PostgresStorage:
    """Checkpoints kept in a PostgreSQL table."""

    def __new__(
        cls,
        dsn: str,
        *,
        table: str = "vorlane_checkpoints",
        timeout: float | None = 30.0,
    ) -> Self: ...
    def load_checkpoint(self, chain_id: str, indexer_id: str) -> Checkpoint | None: ...
    def save_checkpoint(self, checkpoint: Checkpoint) -> None: ...
    def save_checkpoint_if(self, checkpoint: Checkpoint, expected_block_number: SupportsIndex | None) -> None: ...
    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
