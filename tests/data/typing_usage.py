"""Uses every class the way an indexer would; must type-check under --strict.

assert_type is a no-op when run, so this file is also executed as a script
to show that everything it does works at run time too.
"""
from typing import SupportsIndex, assert_type

from vorlane import BlockSummary, Checkpoint, EventFilter, InMemoryStorage, IndexerConfig


class Height:
    def __index__(self) -> int:
        return 7


def checkpoints() -> None:
    cp = Checkpoint("1", "transfers", 18_500_000, "0x9f3c")
    assert_type(cp, Checkpoint)
    assert_type(cp.chain_id, str)
    assert_type(cp.indexer_id, str)
    assert_type(cp.block_number, int)
    assert_type(cp.block_hash, str)
    assert_type(cp.updated_at, int)
    stamped = Checkpoint(chain_id="1", indexer_id="t", block_number=Height(), block_hash="0x1", updated_at=5)
    assert stamped.updated_at == 5 and stamped.block_number == 7
    Checkpoint("1", "t", True, "0x1", None)

    storage = InMemoryStorage()
    assert_type(storage.save_checkpoint(cp), None)
    loaded = storage.load_checkpoint("1", "transfers")
    assert_type(loaded, Checkpoint | None)
    assert loaded is not None and loaded.block_number == 18_500_000
    assert_type(storage.delete_checkpoint(chain_id="1", indexer_id="transfers"), None)
    assert storage.load_checkpoint("1", "transfers") is None


def configs() -> None:
    default = IndexerConfig()
    custom = IndexerConfig("a", "b", 5, 7)
    named = IndexerConfig(
        id="transfers",
        chain="mainnet",
        from_block=18_000_000,
        to_block=None,
        confirmation_depth=12,
        batch_size=1000,
        checkpoint_interval=100,
        poll_interval_ms=2000,
    )
    for config in (default, custom, named):
        assert_type(config.id, str)
        assert_type(config.chain, str)
        assert_type(config.from_block, int)
        assert_type(config.to_block, int | None)
        assert_type(config.confirmation_depth, int)
        assert_type(config.batch_size, int)
        assert_type(config.checkpoint_interval, int)
        assert_type(config.poll_interval_ms, int)
        assert_type(config.to_json(), str)
    assert custom.to_block == 7
    assert named.to_json().startswith('{"id":"transfers","chain":"mainnet",')


def filters() -> None:
    f = EventFilter.for_address("0xA0b86991c6218b36c1d19D4a2e9Eb0cE3606eB48")
    assert_type(f, EventFilter)
    assert_type(f.for_address(address="0x1"), EventFilter)
    assert_type(f.add_topic0("0xddf252ad"), None)
    assert_type(f.add_address(address="0x2"), None)
    block: SupportsIndex = Height()
    assert_type(f.set_from_block(block), None)
    assert_type(f.matches_address("0xa0b86991c6218b36c1d19d4a2e9eb0ce3606eb48"), bool)
    assert_type(f.matches_topic0(topic0="0x00"), bool)
    assert f.matches_address("0xA0B86991C6218B36C1D19D4A2E9EB0CE3606EB48")
    assert not f.matches_topic0("0x00")
    assert EventFilter().matches_topic0("anything")


def blocks() -> None:
    parent = BlockSummary(100, "0xaa", "0x99", 1_700_000_000, 3)
    child = BlockSummary(number=101, hash="0xbb", parent_hash="0xaa", timestamp=1_700_000_012, tx_count=0)
    assert_type(child.number, int)
    assert_type(child.hash, str)
    assert_type(child.parent_hash, str)
    assert_type(child.timestamp, int)
    assert_type(child.tx_count, int)
    assert_type(child.extends_parent(parent), bool)
    assert child.extends_parent(parent=parent)
    assert not parent.extends_parent(child)


checkpoints()
configs()
filters()
blocks()
print("ok")
