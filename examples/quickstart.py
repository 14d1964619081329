"""A first look at vorlane: build checkpoints, read them back, see an error."""
import vorlane
from vorlane import Checkpoint

print("vorlane classes:", ", ".join(vorlane.__all__))

# Where two indexers on mainnet have got to.  updated_at defaults to now.
transfers = Checkpoint("1", "erc20-transfers", 18_500_000, "0x9f3c...e1a2")
approvals = Checkpoint(
    chain_id="1",
    indexer_id="erc20-approvals",
    block_number=18_499_950,
    block_hash="0x5b7d...04c9",
    updated_at=1_700_000_000,
)

for cp in (transfers, approvals):
    print(cp)
    print(f"  chain_id={cp.chain_id!r} indexer_id={cp.indexer_id!r}")
    print(f"  block_number={cp.block_number} block_hash={cp.block_hash!r} updated_at={cp.updated_at}")

# Block numbers are unsigned 64-bit integers; anything else is refused with
# an exception that names the argument.
for bad in ({"block_number": -1}, {"block_number": 1.5}, {"chain_id": 1}):
    args = {"chain_id": "1", "indexer_id": "x", "block_number": 1, "block_hash": "0x0", **bad}
    try:
        Checkpoint(**args)
    except (TypeError, OverflowError) as err:
        print(f"Checkpoint(**{bad}) -> {type(err).__name__}: {err}")
