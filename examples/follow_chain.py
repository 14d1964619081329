#!/usr/bin/env python3
"""Follow a live EVM chain with vorlane and keep ERC-20 balances in step with it.

The script starts an in-process chain (eth-tester on the py-evm backend, reached
through web3.py), deploys a small token and a decoy contract that emits the very
same ``Transfer`` event, mines a few hundred blocks of transfers and runs an
indexer built from vorlane's classes against it:

* ``IndexerConfig``   -- the knobs: start block, confirmation depth, batch size,
                         checkpoint interval;
* ``EventFilter``     -- which logs count: the token's address and the topic0 of
                         ``Transfer(address,address,uint256)``;
* ``BlockSummary``    -- one per indexed block; ``extends_parent`` is how the
                         indexer notices that the chain under it has changed;
* ``Checkpoint`` and ``InMemoryStorage`` -- where the indexer records how far
                         it got, and where it resumes from after a reorganisation.

Halfway through, the script forks the chain for real: it takes a snapshot, lets
the indexer read past it, reverts to the snapshot and mines a different branch.
The indexer has to detect the switch, roll back to its last checkpoint at or
below the fork and index the new branch. At the end every balance it computed
from the logs is compared with the token's own ``balanceOf``.

Needs the ``examples`` extra (``pip install .[examples]``). Run it with
``python examples/follow_chain.py``; ``--help`` lists the knobs.
"""

from __future__ import annotations

import argparse
import functools
import random
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, TextIO

import vorlane
from eth_tester import EthereumTester, PyEVMBackend  # type: ignore[import-untyped]
from eth_utils import keccak, to_checksum_address
from hexbytes import HexBytes
from web3 import EthereumTesterProvider, Web3

CONTRACTS_DIR = Path(__file__).resolve().parent / "token"
TRANSFER_SIGNATURE = "Transfer(address,address,uint256)"
# topic0 of the Transfer event, 0x-prefixed lower-case hex like every hash here.
TRANSFER_TOPIC0 = "0x" + keccak(text=TRANSFER_SIGNATURE).hex()
ZERO_ADDRESS = "0x" + "00" * 20
INITIAL_SUPPLY = 10**9 * 10**18
HOLDER_FUNDING = 10**6 * 10**18


def to_hex(value: bytes) -> str:
    """0x-prefixed lower-case hex of a hash or other byte string."""
    return "0x" + bytes(value).hex()


@functools.lru_cache(maxsize=None)
def compile_contract(name: str) -> tuple[list[dict[str, Any]], str]:
    """ABI and deployment bytecode of ``token/<name>.vy``, compiled offline by Vyper."""
    from vyper.compiler import compile_code  # type: ignore[import-untyped]

    source = (CONTRACTS_DIR / f"{name}.vy").read_text(encoding="utf-8")
    output = compile_code(source, output_formats=["abi", "bytecode"])
    return output["abi"], output["bytecode"]


def build_filter(token_address: str) -> vorlane.EventFilter:
    """The token's Transfer events and nothing else."""
    event_filter = vorlane.EventFilter.for_address(token_address)
    event_filter.add_topic0(TRANSFER_TOPIC0)
    return event_filter


# --------------------------------------------------------------------------
# The chain: eth-tester with hand-driven mining
# --------------------------------------------------------------------------


class DemoChain:
    """An eth-tester chain carrying the token, the decoy and a few holders.

    After the setup blocks auto-mining is off: transactions wait until
    ``mine_activity`` seals a block, so a block can hold several transfers or
    none. eth-tester checks each waiting transaction against the last sealed
    state, so a block takes at most one transaction per sender.
    """

    def __init__(self, holders: int = 6, seed: int = 1) -> None:
        if not 2 <= holders <= 10:
            raise ValueError("holders must be between 2 and 10 (eth-tester's funded accounts)")
        self.tester = EthereumTester(PyEVMBackend())
        self.w3 = Web3(EthereumTesterProvider(self.tester))
        self.accounts: list[str] = list(self.w3.eth.accounts[:holders])
        self.deployer = self.accounts[0]
        self.rng = random.Random(seed)
        self.transfers_sent = 0
        self.decoy_events_sent = 0
        self.approvals_sent = 0

        # Setup runs with auto-mining: one block per transaction.
        token_abi, token_code = compile_contract("Token")
        decoy_abi, decoy_code = compile_contract("Decoy")
        token_deployer = self.w3.eth.contract(abi=token_abi, bytecode=token_code)
        decoy_deployer = self.w3.eth.contract(abi=decoy_abi, bytecode=decoy_code)
        token_receipt = self._deploy(token_deployer.constructor("Vorlane Example Token", "VXT", INITIAL_SUPPLY))
        decoy_receipt = self._deploy(decoy_deployer.constructor())
        self.token = self.w3.eth.contract(address=token_receipt["contractAddress"], abi=token_abi)
        self.decoy = self.w3.eth.contract(address=decoy_receipt["contractAddress"], abi=decoy_abi)
        # Hand every holder a float so that random transfers never run dry.
        for holder in self.accounts[1:]:
            self._send(self.token.functions.transfer(holder, HOLDER_FUNDING), self.deployer)
            self.transfers_sent += 1
        self.tester.disable_auto_mine_transactions()

    @property
    def head(self) -> int:
        return self.w3.eth.block_number

    def _deploy(self, constructor: Any) -> Any:
        receipt = self.w3.eth.get_transaction_receipt(self._send(constructor, self.deployer, gas=3_000_000))
        if receipt["status"] != 1:
            raise RuntimeError("contract deployment failed")
        return receipt

    def _send(self, call: Any, sender: str, gas: int = 200_000) -> HexBytes:
        # An explicit gas limit saves an eth_estimateGas round trip per transaction.
        return call.transact({"from": sender, "gas": gas})

    def mine_activity(self, blocks: int, *, first_block_busy: bool = False) -> None:
        """Mine ``blocks`` blocks: about a third empty, the rest with 1-4 transfers.

        Now and then a block also carries a decoy Transfer (same event, other
        contract) or a token Approval (same contract, other event).
        """
        for index in range(blocks):
            if (first_block_busy and index == 0) or self.rng.random() >= 0.35:
                senders = self.rng.sample(self.accounts, len(self.accounts))
                for _ in range(min(self.rng.randint(1, 4), len(senders))):
                    sender = senders.pop()
                    receiver = self.rng.choice([a for a in self.accounts if a != sender])
                    self._send(self.token.functions.transfer(receiver, self.rng.randrange(1, 10**18)), sender)
                    self.transfers_sent += 1
                if senders and self.rng.random() < 0.3:
                    sender = senders.pop()
                    receiver = self.rng.choice(self.accounts)
                    self._send(self.decoy.functions.emit_transfer(receiver, self.rng.randrange(1, 10**18)), sender)
                    self.decoy_events_sent += 1
                if senders and self.rng.random() < 0.1:
                    owner = senders.pop()
                    spender = self.rng.choice(self.accounts)
                    self._send(self.token.functions.approve(spender, self.rng.randrange(1, 10**18)), owner)
                    self.approvals_sent += 1
            self.tester.mine_blocks(1)

    def take_snapshot(self) -> Any:
        return self.tester.take_snapshot()

    def revert_to_snapshot(self, snapshot: Any) -> None:
        self.tester.revert_to_snapshot(snapshot)


# --------------------------------------------------------------------------
# The indexer
# --------------------------------------------------------------------------


@dataclass
class BlockRecord:
    """What indexing one block changed, kept so the block can be undone."""

    summary: vorlane.BlockSummary
    deltas: dict[str, int]
    transfers: list[tuple[str, int]]  # (transaction hash, log index)
    foreign_logs: int  # logs of other contracts, rejected by the address filter
    other_events: int  # token logs that are not Transfers, rejected by topic0


@dataclass
class ReorgReport:
    detected_at: int  # number of the fetched block that did not extend our head
    old_head: int  # our last indexed block when it happened
    fork_point: int  # highest block the old and the new branch share
    checkpoint: vorlane.Checkpoint | None  # resume point, read back from storage
    resumed_from: int  # first block indexed again
    blocks_dropped: int  # the abandoned blocks plus the ones back to the checkpoint
    logs_dropped: int
    orphaned: list[vorlane.BlockSummary]  # indexed blocks that left the chain, oldest first


@dataclass
class IndexerStats:
    blocks_indexed: int = 0  # blocks in the index now (canonical ones only)
    blocks_processed: int = 0  # including blocks indexed again after a reorg
    logs_matched: int = 0
    foreign_logs_ignored: int = 0
    other_events_ignored: int = 0
    checkpoints_saved: int = 0
    reorgs: list[ReorgReport] = field(default_factory=list)
    busy_seconds: float = 0.0  # time spent in sync(), i.e. not waiting for blocks


class Progress:
    """A single self-overwriting status line ('\\r', no TTY needed)."""

    def __init__(self, stream: TextIO | None, min_interval: float = 0.1) -> None:
        self.stream = stream
        self.min_interval = min_interval
        self._last = 0.0
        self._width = 0

    def update(self, indexer: "TransferIndexer", *, force: bool = False) -> None:
        if self.stream is None:
            return
        now = time.perf_counter()
        if not force and now - self._last < self.min_interval:
            return
        self._last = now
        stats = indexer.stats
        rate = stats.blocks_processed / max(stats.busy_seconds, 1e-9)
        head = indexer.head.number if indexer.head is not None else "-"
        line = (
            f"block {head} | {stats.blocks_processed} blocks, {rate:,.0f} blocks/s"
            f" | {stats.logs_matched} transfers matched | {len(stats.reorgs)} reorgs handled"
        )
        self._width = max(self._width, len(line))
        self.stream.write("\r" + line.ljust(self._width))
        self.stream.flush()

    def finish(self, indexer: "TransferIndexer") -> None:
        if self.stream is None:
            return
        self.update(indexer, force=True)
        self.stream.write("\n")
        self.stream.flush()


class TransferIndexer:
    """Token balances built from Transfer logs, confirmed blocks only.

    Every indexed block is kept as a ``BlockRecord`` (its summary and the
    balance changes it made), which is what makes rolling back cheap. A
    long-running indexer would drop the records that are deeper than any
    reorganisation it is prepared to survive; this example keeps them all.
    """

    MAX_STALLED_BATCHES = 20

    def __init__(
        self,
        w3: Web3,
        config: vorlane.IndexerConfig,
        event_filter: vorlane.EventFilter,
        storage: vorlane.InMemoryStorage,
        progress: Progress | None = None,
    ) -> None:
        if config.batch_size == 0 or config.checkpoint_interval == 0:
            raise ValueError("batch_size and checkpoint_interval must be positive")
        self.w3 = w3
        self.config = config
        self.filter = event_filter
        self.storage = storage
        self.progress = progress
        self.head: vorlane.BlockSummary | None = None
        self.records: dict[int, BlockRecord] = {}
        self.balances: dict[str, int] = {}
        self.saved_checkpoints: list[vorlane.Checkpoint] = []  # oldest first
        self.stats = IndexerStats()

    # ---- reading the chain ------------------------------------------------

    def fetch_summary(self, number: int) -> vorlane.BlockSummary:
        block = self.w3.eth.get_block(number)
        return vorlane.BlockSummary(
            block["number"],
            to_hex(block["hash"]),
            to_hex(block["parentHash"]),
            block["timestamp"],
            len(block["transactions"]),
        )

    def confirmed_head(self) -> int | None:
        """Highest block we may index: ``confirmation_depth`` below the tip."""
        latest = self.w3.eth.block_number
        if latest < self.config.confirmation_depth:
            return None
        target = latest - self.config.confirmation_depth
        if self.config.to_block is not None:
            target = min(target, self.config.to_block)
        return target

    def next_block(self) -> int:
        return self.head.number + 1 if self.head is not None else self.config.from_block

    # ---- the loop -----------------------------------------------------------

    def sync(self) -> int:
        """Index every confirmed block not indexed yet; returns how many were indexed.

        A follower calls this every ``poll_interval_ms``; the demo calls it
        whenever it has mined a few blocks.
        """
        done = 0
        stalled = 0  # batches in a row that the chain changed under
        while True:
            began = time.perf_counter()
            target = self.confirmed_head()
            start = self.next_block()
            if target is None or start > target:
                break
            end = min(start + self.config.batch_size - 1, target)
            indexed = self.index_range(start, end)
            done += indexed
            stalled = 0 if indexed else stalled + 1
            if stalled > self.MAX_STALLED_BATCHES:
                raise RuntimeError(f"stuck at block {start - 1}: the chain keeps changing under the indexer")
            self.stats.busy_seconds += time.perf_counter() - began
            if self.progress is not None:
                self.progress.update(self)
        return done

    def index_range(self, start: int, end: int) -> int:
        """Index blocks ``start..end`` (one eth_getLogs call); 0 if the chain moved under us."""
        summaries = [self.fetch_summary(number) for number in range(start, end + 1)]
        previous = self.head
        for summary in summaries:
            if previous is not None and not summary.extends_parent(previous):
                if previous is self.head:
                    # The chain no longer continues from our last indexed block.
                    self.handle_reorg(summary)
                # else the chain changed while we were reading this batch;
                # either way, start over from the (possibly new) head.
                return 0
            previous = summary

        # No address in the request on purpose: the EventFilter decides what
        # is ours, so the decoy's identical Transfer events must be turned
        # away here rather than by the node.
        logs = self.w3.eth.get_logs({"fromBlock": start, "toBlock": end})
        by_block: dict[int, list[Any]] = {}
        for log in logs:
            summary = summaries[log["blockNumber"] - start]
            if to_hex(log["blockHash"]) != summary.hash:
                return 0  # logs from another branch: the chain moved, retry
            by_block.setdefault(summary.number, []).append(log)

        for summary in summaries:
            self.apply_block(summary, by_block.get(summary.number, []))
        return len(summaries)

    def apply_block(self, summary: vorlane.BlockSummary, logs: Iterable[Any]) -> None:
        deltas: dict[str, int] = {}
        transfers: list[tuple[str, int]] = []
        foreign = other = 0
        for log in sorted(logs, key=lambda entry: entry["logIndex"]):
            if not self.filter.matches_address(log["address"]):
                foreign += 1
                continue
            topics = log["topics"]
            if not topics or not self.filter.matches_topic0(to_hex(topics[0])):
                other += 1
                continue
            sender = to_checksum_address(bytes(topics[1])[-20:])
            receiver = to_checksum_address(bytes(topics[2])[-20:])
            value = int.from_bytes(bytes(log["data"]), "big")
            # Mints come from and burns go to the zero address, which holds nothing.
            if sender != ZERO_ADDRESS:
                deltas[sender] = deltas.get(sender, 0) - value
            if receiver != ZERO_ADDRESS:
                deltas[receiver] = deltas.get(receiver, 0) + value
            transfers.append((to_hex(log["transactionHash"]), log["logIndex"]))

        for holder, delta in deltas.items():
            self.balances[holder] = self.balances.get(holder, 0) + delta
        self.records[summary.number] = BlockRecord(summary, deltas, transfers, foreign, other)
        self.head = summary
        self.stats.blocks_indexed += 1
        self.stats.blocks_processed += 1
        self.stats.logs_matched += len(transfers)
        self.stats.foreign_logs_ignored += foreign
        self.stats.other_events_ignored += other
        if summary.number % self.config.checkpoint_interval == 0:
            self.save_checkpoint(summary)

    def save_checkpoint(self, summary: vorlane.BlockSummary) -> None:
        checkpoint = vorlane.Checkpoint(self.config.chain, self.config.id, summary.number, summary.hash)
        self.storage.save_checkpoint(checkpoint)
        self.saved_checkpoints.append(checkpoint)
        self.stats.checkpoints_saved += 1

    # ---- reorganisations ----------------------------------------------------

    def handle_reorg(self, new_block: vorlane.BlockSummary) -> ReorgReport:
        """``new_block`` does not extend our head: find the fork, roll back, resume."""
        assert self.head is not None
        old_head = self.head.number

        # Walk back until the block we stored is still the chain's block.
        fork_point = old_head
        while fork_point >= self.config.from_block:
            if self.fetch_summary(fork_point).hash == self.records[fork_point].summary.hash:
                break
            fork_point -= 1

        # The stored checkpoint is the resume point unless it sits on the
        # abandoned branch; then take the newest earlier one we saved.
        checkpoint = self.storage.load_checkpoint(self.config.chain, self.config.id)
        if checkpoint is None or checkpoint.block_number > fork_point:
            checkpoint = None
            while self.saved_checkpoints and self.saved_checkpoints[-1].block_number > fork_point:
                self.saved_checkpoints.pop()
            if self.saved_checkpoints:
                self.storage.save_checkpoint(self.saved_checkpoints[-1])
                checkpoint = self.storage.load_checkpoint(self.config.chain, self.config.id)
            else:
                self.storage.delete_checkpoint(self.config.chain, self.config.id)
        if checkpoint is not None and (
            checkpoint.block_number > fork_point
            or checkpoint.block_hash != self.records[checkpoint.block_number].summary.hash
        ):
            raise RuntimeError(f"stored checkpoint at block {checkpoint.block_number} is not on the chain")

        keep = checkpoint.block_number if checkpoint is not None else self.config.from_block - 1
        dropped_blocks = dropped_logs = 0
        orphaned: list[vorlane.BlockSummary] = []
        for number in range(old_head, keep, -1):
            record = self.records.pop(number)
            if number > fork_point:
                orphaned.insert(0, record.summary)
            for holder, delta in record.deltas.items():
                self.balances[holder] -= delta
                if self.balances[holder] == 0:
                    del self.balances[holder]
            dropped_blocks += 1
            dropped_logs += len(record.transfers)
            self.stats.blocks_indexed -= 1
            self.stats.logs_matched -= len(record.transfers)
            self.stats.foreign_logs_ignored -= record.foreign_logs
            self.stats.other_events_ignored -= record.other_events
        self.head = self.records[keep].summary if keep >= self.config.from_block else None

        report = ReorgReport(
            detected_at=new_block.number,
            old_head=old_head,
            fork_point=fork_point,
            checkpoint=checkpoint,
            resumed_from=keep + 1,
            blocks_dropped=dropped_blocks,
            logs_dropped=dropped_logs,
            orphaned=orphaned,
        )
        self.stats.reorgs.append(report)
        return report

    # ---- results ------------------------------------------------------------

    def matched_transfers(self) -> list[tuple[str, int]]:
        return [entry for number in sorted(self.records) for entry in self.records[number].transfers]


# --------------------------------------------------------------------------
# The demo
# --------------------------------------------------------------------------


@dataclass
class DemoOptions:
    blocks: int = 300  # blocks mined after deployment on the final chain
    reorg_depth: int = 24  # blocks on the branch that gets abandoned
    confirmation_depth: int = 6
    batch_size: int = 50
    checkpoint_interval: int = 20
    holders: int = 6
    seed: int = 1


@dataclass
class DemoResult:
    chain: DemoChain
    indexer: TransferIndexer
    config: vorlane.IndexerConfig
    event_filter: vorlane.EventFilter
    storage: vorlane.InMemoryStorage
    fork_point: int  # block at which the snapshot was taken
    orphaned_head: int  # tip of the abandoned branch
    mismatches: dict[str, tuple[int, int]]  # holder -> (indexed, balanceOf)
    elapsed: float

    @property
    def ok(self) -> bool:
        return not self.mismatches and len(self.indexer.stats.reorgs) == 1


def run_demo(
    options: DemoOptions,
    out: TextIO | None = sys.stdout,
    progress_stream: TextIO | None = sys.stderr,
) -> DemoResult:
    if options.reorg_depth <= options.confirmation_depth:
        raise ValueError(
            "reorg_depth must exceed confirmation_depth, or the indexer never sees the abandoned branch"
        )
    started = time.perf_counter()

    def say(text: str) -> None:
        if out is not None:
            print(text, file=out, flush=True)

    chain = DemoChain(holders=options.holders, seed=options.seed)
    say(f"token {chain.token.address}, decoy {chain.decoy.address}, {len(chain.accounts)} holders")

    config = vorlane.IndexerConfig(
        id="follow-chain",
        chain="eth-tester",
        from_block=0,
        confirmation_depth=options.confirmation_depth,
        batch_size=options.batch_size,
        checkpoint_interval=options.checkpoint_interval,
        poll_interval_ms=0,
    )
    say(f"config {config.to_json()}")
    event_filter = build_filter(chain.token.address)
    event_filter.set_from_block(config.from_block)
    storage = vorlane.InMemoryStorage()
    progress = Progress(progress_stream)
    indexer = TransferIndexer(chain.w3, config, event_filter, storage, progress)

    # The final chain has `blocks` blocks after deployment: the first half before
    # the fork, then a replacement branch a few blocks longer than the one it
    # replaces, then the rest.
    before_fork = options.blocks // 2
    new_branch = options.reorg_depth + 4
    after_fork = max(options.blocks - before_fork - new_branch, 0)

    def grow(blocks: int) -> None:
        while blocks > 0:
            step = min(blocks, chain.rng.randint(1, 12))
            chain.mine_activity(step)
            blocks -= step
            indexer.sync()

    grow(before_fork)

    fork_point = chain.head
    snapshot = chain.take_snapshot()
    chain.mine_activity(options.reorg_depth, first_block_busy=True)
    orphaned_head = chain.head
    indexer.sync()  # reads past the fork point into the branch about to vanish
    chain.revert_to_snapshot(snapshot)
    chain.mine_activity(new_branch, first_block_busy=True)
    indexer.sync()  # finds the switch, rolls back, indexes the new branch

    grow(after_fork)
    # Let the tail confirm so that the index reaches the last transfer.
    chain.tester.mine_blocks(options.confirmation_depth)
    indexer.sync()
    progress.finish(indexer)

    assert indexer.head is not None
    mismatches: dict[str, tuple[int, int]] = {}
    for holder in sorted(set(chain.accounts) | set(indexer.balances)):
        on_chain = chain.token.functions.balanceOf(holder).call(block_identifier=indexer.head.number)
        indexed = indexer.balances.get(holder, 0)
        if indexed != on_chain:
            mismatches[holder] = (indexed, on_chain)

    result = DemoResult(
        chain=chain,
        indexer=indexer,
        config=config,
        event_filter=event_filter,
        storage=storage,
        fork_point=fork_point,
        orphaned_head=orphaned_head,
        mismatches=mismatches,
        elapsed=time.perf_counter() - started,
    )
    say(summarize(result))
    return result


def summarize(result: DemoResult) -> str:
    indexer, stats = result.indexer, result.indexer.stats
    head = indexer.head
    latest = result.chain.head
    lines = ["summary"]
    if head is not None:
        lines.append(
            f"  blocks indexed        {stats.blocks_indexed} (head {head.number} {head.hash}; "
            f"{latest - head.number} unconfirmed; {stats.blocks_processed} processed in all)"
        )
    lines.append(f"  transfers matched     {stats.logs_matched}")
    lines.append(f"  foreign logs ignored  {stats.foreign_logs_ignored} (decoy contract)")
    lines.append(f"  other events ignored  {stats.other_events_ignored} (token Approvals)")
    lines.append(f"  reorgs handled        {len(stats.reorgs)}")
    for reorg in stats.reorgs:
        where = f"checkpoint {reorg.checkpoint.block_number}" if reorg.checkpoint is not None else "the start"
        lines.append(
            f"    block {reorg.detected_at} did not extend {reorg.old_head}; fork at {reorg.fork_point}; "
            f"rolled back to {where}, dropping {reorg.blocks_dropped} blocks and {reorg.logs_dropped} transfers"
        )
    stored = indexer.storage.load_checkpoint(result.config.chain, result.config.id)
    latest_checkpoint = f"latest at block {stored.block_number}" if stored is not None else "none stored"
    lines.append(f"  checkpoints saved     {stats.checkpoints_saved} ({latest_checkpoint})")
    holders = len(set(result.chain.accounts) | set(indexer.balances))
    if result.mismatches:
        lines.append(f"  balances verified     FAILED for {len(result.mismatches)} of {holders} holders")
        for holder, (indexed, on_chain) in result.mismatches.items():
            lines.append(f"    {holder}: indexed {indexed}, balanceOf {on_chain}")
    else:
        lines.append(f"  balances verified     {holders} holders match balanceOf")
    rate = stats.blocks_processed / max(stats.busy_seconds, 1e-9)
    lines.append(
        f"  elapsed               {result.elapsed:.1f} s (indexer busy {stats.busy_seconds:.2f} s, "
        f"{rate:,.0f} blocks/s; the rest is the chain mining)"
    )
    return "\n".join(lines)


def parse_args(argv: list[str] | None = None) -> DemoOptions:
    defaults = DemoOptions()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--blocks", type=int, default=defaults.blocks, help="blocks to mine (default %(default)s)")
    parser.add_argument(
        "--reorg-depth", type=int, default=defaults.reorg_depth,
        help="length of the abandoned branch (default %(default)s)",
    )
    parser.add_argument(
        "--confirmations", type=int, default=defaults.confirmation_depth,
        help="blocks left unconfirmed behind the tip (default %(default)s)",
    )
    parser.add_argument("--batch-size", type=int, default=defaults.batch_size, help="blocks per eth_getLogs call")
    parser.add_argument(
        "--checkpoint-interval", type=int, default=defaults.checkpoint_interval,
        help="save a checkpoint at every block number divisible by this (default %(default)s)",
    )
    parser.add_argument("--holders", type=int, default=defaults.holders, help="accounts trading the token")
    parser.add_argument("--seed", type=int, default=defaults.seed, help="random seed for the transfers")
    args = parser.parse_args(argv)
    return DemoOptions(
        blocks=args.blocks,
        reorg_depth=args.reorg_depth,
        confirmation_depth=args.confirmations,
        batch_size=args.batch_size,
        checkpoint_interval=args.checkpoint_interval,
        holders=args.holders,
        seed=args.seed,
    )


def main(argv: list[str] | None = None) -> int:
    result = run_demo(parse_args(argv))
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
