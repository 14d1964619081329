"""Type information for the vorlane extension module."""

from typing import Self, SupportsIndex, final

__all__ = ["Checkpoint", "IndexerConfig", "EventFilter", "InMemoryStorage", "BlockSummary"]

@final
class Checkpoint:
    def __new__(
        cls,
        chain_id: str,
        indexer_id: str,
        block_number: SupportsIndex,
        block_hash: str,
        updated_at: SupportsIndex | None = None,
    ) -> Self: ...
    @property
    def chain_id(self) -> str: ...
    @property
    def indexer_id(self) -> str: ...
    @property
    def block_number(self) -> int: ...
    @property
    def block_hash(self) -> str: ...
    @property
    def updated_at(self) -> int: ...

@final
class IndexerConfig:
    """Configuration for an EVM indexer."""

    def __new__(
        cls,
        id: str = ...,
        chain: str = ...,
        from_block: SupportsIndex = 0,
        to_block: SupportsIndex | None = None,
        confirmation_depth: SupportsIndex = 12,
        batch_size: SupportsIndex = 1000,
        checkpoint_interval: SupportsIndex = 100,
        poll_interval_ms: SupportsIndex = 2000,
    ) -> Self: ...
    @property
    def id(self) -> str: ...
    @property
    def chain(self) -> str: ...
    @property
    def from_block(self) -> int: ...
    @property
    def to_block(self) -> int | None: ...
    @property
    def confirmation_depth(self) -> int: ...
    @property
    def batch_size(self) -> int: ...
    @property
    def checkpoint_interval(self) -> int: ...
    @property
    def poll_interval_ms(self) -> int: ...
    def to_json(self) -> str:
        """Serialize config to JSON."""

@final
class EventFilter:
    """Filter for which on-chain events to index."""

    def __new__(cls) -> Self: ...
    @staticmethod
    def for_address(address: str) -> EventFilter:
        """Create a filter for a single contract address."""
    def add_topic0(self, topic: str) -> None:
        """Add a topic0 value (keccak256 of the event signature)."""
    def add_address(self, address: str) -> None:
        """Add a contract address to the filter."""
    def set_from_block(self, block: SupportsIndex) -> None:
        """Set the start block."""
    def matches_address(self, address: str) -> bool:
        """Check if an address matches."""
    def matches_topic0(self, topic0: str) -> bool:
        """Check if a topic0 matches."""

@final
class InMemoryStorage:
    """In-memory storage for checkpoints (dev/testing, no persistence)."""

    def __new__(cls) -> Self: ...
    def load_checkpoint(self, chain_id: str, indexer_id: str) -> Checkpoint | None:
        """Load a checkpoint for the given chain and indexer."""
    def save_checkpoint(self, checkpoint: Checkpoint) -> None:
        """Save (upsert) a checkpoint."""
    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None:
        """Delete a checkpoint."""

@final
class BlockSummary:
    """Summary of an indexed block."""

    def __new__(
        cls,
        number: SupportsIndex,
        hash: str,
        parent_hash: str,
        timestamp: SupportsIndex,
        tx_count: SupportsIndex,
    ) -> Self: ...
    @property
    def number(self) -> int: ...
    @property
    def hash(self) -> str: ...
    @property
    def parent_hash(self) -> str: ...
    @property
    def timestamp(self) -> int: ...
    @property
    def tx_count(self) -> int: ...
    def extends_parent(self, parent: BlockSummary) -> bool:
        """Returns True if this block directly extends the given parent block."""
