"""The classes as an indexer uses them, on a small made-up chain.

A config says what to index, a filter picks the token's Transfer logs, block
summaries prove the chain is unbroken, and checkpoints remember progress.
"""
from vorlane import BlockSummary, Checkpoint, EventFilter, IndexerConfig, InMemoryStorage

TOKEN = "0xA0b86991c6218b36c1d19D4a2e9Eb0cE3606eB48"
TRANSFER = "0xddf252ad1be2c89b69c2b068fc378daa952ba7f163c4a11628f55a4df523b3ef"
APPROVAL = "0x8c5be1e5ebec7d5bd14f71427d1e84f3dd0314c0f7b2291e5b200ac8c7c3b925"

config = IndexerConfig(id="usdc-transfers", chain="1", from_block=100, confirmation_depth=2,
                       batch_size=4, checkpoint_interval=3)
print("config:", config)
print("json:  ", config.to_json())

wanted = EventFilter.for_address(TOKEN)
wanted.add_topic0(TRANSFER)
print("filter:", wanted)


def block_hash(n: int, branch: str = "a") -> str:
    return f"0x{branch}{n:063x}"


# Ten blocks, each with a few logs: (contract address, topic0).
chain = []
for n in range(100, 110):
    logs = [(TOKEN.lower(), TRANSFER), (TOKEN, APPROVAL), ("0x" + "11" * 20, TRANSFER)]
    chain.append((BlockSummary(n, block_hash(n), block_hash(n - 1), 1_700_000_000 + 12 * n, len(logs)), logs))

storage = InMemoryStorage()
previous = None
transfers = 0
for summary, logs in chain:
    if previous is not None and not summary.extends_parent(previous):
        raise SystemExit(f"chain broken at block {summary.number}")
    transfers += sum(wanted.matches_address(a) and wanted.matches_topic0(t) for a, t in logs)
    if (summary.number - config.from_block + 1) % config.checkpoint_interval == 0:
        storage.save_checkpoint(Checkpoint(config.chain, config.id, summary.number, summary.hash))
    previous = summary

print(f"indexed blocks {chain[0][0].number}..{previous.number}: {transfers} token transfers")
last = storage.load_checkpoint(config.chain, config.id)
print("last checkpoint:", last)

# A block from another branch does not extend the last one we indexed.
stranger = BlockSummary(previous.number + 1, block_hash(previous.number + 1, "b"), block_hash(previous.number, "b"), 0, 0)
print(f"block {stranger.number} from another branch extends ours: {stranger.extends_parent(previous)}")
