# Each line marked "expect: <code>" must be reported by mypy with that error
# code, and no other line may be reported.
from vorlane import BlockSummary, Checkpoint, EventFilter, InMemoryStorage, IndexerConfig

cp = Checkpoint(1, "m", 1, "h")  # expect: arg-type
cp.block_number = 5  # expect: misc
Checkpoint("1", "m", 1.5, "h")  # expect: arg-type
Checkpoint("1", "m", 1)  # expect: call-arg
IndexerConfig(id=None)  # expect: arg-type
IndexerConfig(batch_size=None)  # expect: arg-type
IndexerConfig(colour="red")  # expect: call-arg
IndexerConfig().to_block + 1  # expect: operator
EventFilter(1)  # expect: call-arg
EventFilter().add_address(5)  # expect: arg-type
result: str = EventFilter().matches_topic0("0x0")  # expect: assignment
InMemoryStorage().load_checkpoint("1", "m").block_number  # expect: union-attr
BlockSummary(1, "0xb1", "0xb0", 1700000000, 5).extends_parent({})  # expect: arg-type


class Sub(BlockSummary):  # expect: misc
    pass
