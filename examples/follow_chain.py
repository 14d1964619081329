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
* ``Checkpoint`` and a checkpoint store (``vorlane_stores.SqliteStorage`` by
  default, ``PostgresStorage`` or ``InMemoryStorage``) -- where the indexer
                         records how far it got, and where it resumes from
                         after a reorganisation or a stop.

Halfway through, the script forks the chain for real: it takes a snapshot, lets
the indexer read past it, reverts to the snapshot and mines a different branch.
The indexer has to detect the switch, roll back to its last checkpoint at or
below the fork and index the new branch. At the end every balance it computed
from the logs is compared with the token's own ``balanceOf``.

Stopped part-way (``--stop-after-blocks N`` or Ctrl-C), the script saves a
checkpoint and says how to resume; run again with the same ``--store`` it
rebuilds the same chain (fixed keys, transactions and block timestamps, so the
block hashes repeat) and carries on from the checkpoint, indexing no block
twice. The balances and counts derived from the logs are kept in a state file
beside the store, written before each checkpoint.

Needs the ``examples`` extra (``pip install '.[examples]'``). Run it with
``python examples/follow_chain.py``; ``--help`` lists the knobs.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import random
import shlex
import signal
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, TextIO

if __name__ == "__main__":
    # Until main() installs its own handler, Ctrl-C ends the start-up quietly.
    signal.signal(signal.SIGINT, lambda *_: sys.exit(130))

try:
    import vorlane
    from eth_tester import EthereumTester, PyEVMBackend  # type: ignore[import-untyped]
    from eth_utils import keccak, to_checksum_address
    from hexbytes import HexBytes
    from vyper.compiler import compile_code  # type: ignore[import-untyped]
    from web3 import EthereumTesterProvider, Web3
except ImportError as missing:
    if __name__ != "__main__":
        raise
    sys.exit(
        f"follow_chain.py needs vorlane with its 'examples' extra (module {missing.name!r} is missing).\n"
        "Install both from the repository root with:  pip install '.[examples]'"
    )

CONTRACTS_DIR = Path(__file__).resolve().parent / "token"
TRANSFER_SIGNATURE = "Transfer(address,address,uint256)"
# topic0 of the Transfer event, 0x-prefixed lower-case hex like every hash here.
TRANSFER_TOPIC0 = "0x" + keccak(text=TRANSFER_SIGNATURE).hex()
ZERO_ADDRESS = "0x" + "00" * 20
INITIAL_SUPPLY = 10**9 * 10**18
HOLDER_FUNDING = 10**6 * 10**18
CHAIN_ID = "eth-tester"
INDEXER_ID = "follow-chain"
DEFAULT_STORE = "sqlite:follow_chain.db"


def to_hex(value: bytes) -> str:
    """0x-prefixed lower-case hex of a hash or other byte string."""
    return "0x" + bytes(value).hex()


@functools.lru_cache(maxsize=None)
def compile_contract(name: str) -> tuple[list[dict[str, Any]], str]:
    """ABI and deployment bytecode of ``token/<name>.vy``, compiled offline by Vyper."""
    source = (CONTRACTS_DIR / f"{name}.vy").read_text(encoding="utf-8")
    output = compile_code(source, output_formats=["abi", "bytecode"])
    return output["abi"], output["bytecode"]


def build_filter(token_address: str) -> vorlane.EventFilter:
    """The token's Transfer events and nothing else."""
    event_filter = vorlane.EventFilter.for_address(token_address)
    event_filter.add_topic0(TRANSFER_TOPIC0)
    return event_filter


# --------------------------------------------------------------------------
# Stopping at a safe point
# --------------------------------------------------------------------------


class Stopped(Exception):
    """Raised at a point where the index is consistent: between blocks or mining steps."""


class StopRequest:
    """Why the run should stop at its next safe point, if it should.

    ``interrupt`` is the SIGINT handler: the first Ctrl-C only sets the reason,
    so the run stops between two blocks and can save a checkpoint; a second one
    raises KeyboardInterrupt wherever the program is.
    """

    def __init__(self) -> None:
        self.reason: str | None = None
        self.interrupted = False

    def interrupt(self, *_: object) -> None:
        if self.interrupted:
            raise KeyboardInterrupt
        self.interrupted = True
        self.reason = "interrupted"

    def check(self) -> None:
        if self.reason is not None:
            raise Stopped(self.reason)


# --------------------------------------------------------------------------
# The chain: eth-tester with hand-driven, repeatable mining
# --------------------------------------------------------------------------


class ReplayableBackend(PyEVMBackend):  # type: ignore[misc]
    """py-evm with a fixed genesis time, a 12-second block time and no randomness.

    The stock backend stamps blocks with the wall clock and draws each block's
    mix hash from os.urandom, so no two runs share a block hash. Here a block's
    timestamp is its parent's plus ``BLOCK_TIME`` and its mix hash comes from
    a count of all blocks mined, abandoned branches included; with the fixed
    test keys and deterministic signatures the same transactions give the same
    chain, hash for hash, in every run.
    """

    GENESIS_TIMESTAMP = 1_700_000_000
    BLOCK_TIME = 12

    def __init__(self) -> None:
        params = PyEVMBackend.generate_genesis_params(overrides={"timestamp": self.GENESIS_TIMESTAMP})
        super().__init__(genesis_parameters=params)
        self.blocks_mined = 0
        self._pin_pending_header()

    def _pin_pending_header(self) -> None:
        # The pending header must carry its final timestamp before any
        # transaction is applied to it.
        parent = self.chain.get_canonical_head()
        self.chain.header = self.chain.header.copy(timestamp=parent.timestamp + self.BLOCK_TIME)

    def mine_blocks(self, num_blocks: int = 1, coinbase: bytes = b"\0" * 20) -> tuple[bytes, ...]:
        hashes = []
        for _ in range(num_blocks):
            self.blocks_mined += 1
            mix_hash = keccak(b"follow-chain block " + self.blocks_mined.to_bytes(8, "big"))
            hashes.append(self.chain.mine_block(coinbase=coinbase, mix_hash=mix_hash).hash)
            self._pin_pending_header()
        return tuple(hashes)

    def revert_to_snapshot(self, snapshot: Any) -> None:
        super().revert_to_snapshot(snapshot)
        self._pin_pending_header()


class DemoChain:
    """An eth-tester chain carrying the token, the decoy and a few holders.

    After the setup blocks auto-mining is off: transactions wait until
    ``mine_activity`` seals a block, so a block can hold several transfers or
    none. eth-tester checks each waiting transaction against the last sealed
    state, so a block takes at most one transaction per sender.
    """

    def __init__(self, holders: int = 6, seed: int = 1, stop: StopRequest | None = None) -> None:
        if not 2 <= holders <= 10:
            raise ValueError("holders must be between 2 and 10 (eth-tester's funded accounts)")
        self.backend = ReplayableBackend()
        self.tester = EthereumTester(self.backend)
        self.w3 = Web3(EthereumTesterProvider(self.tester))
        self.accounts: list[str] = list(self.w3.eth.accounts[:holders])
        self.deployer = self.accounts[0]
        self.rng = random.Random(seed)
        self.stop = stop
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

    @property
    def position(self) -> int:
        """How far the chain's history has got: blocks mined so far, on any branch."""
        return self.backend.blocks_mined

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
            if self.stop is not None:
                self.stop.check()
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
# Where checkpoints and the derived state live
# --------------------------------------------------------------------------


class ResumeError(Exception):
    """The store holds a checkpoint this run cannot take up."""


class StoreUnavailable(Exception):
    """The chosen checkpoint store cannot be used here."""


@dataclass(frozen=True)
class StoreSpec:
    kind: str  # "sqlite", "postgres" or "memory"
    target: str = ""  # the SQLite file, or the libpq DSN or URI

    def __str__(self) -> str:
        return self.kind if self.kind == "memory" else f"{self.kind}:{self.target}"


def parse_store(text: str) -> StoreSpec:
    """``--store`` value: ``sqlite:PATH``, ``postgres:DSN`` or ``memory``."""
    if text == "memory":
        return StoreSpec("memory")
    kind, colon, target = text.partition(":")
    if colon and kind in ("sqlite", "postgres") and target:
        return StoreSpec(kind, target)
    raise argparse.ArgumentTypeError(f"expected sqlite:PATH, postgres:DSN or memory, got {text!r}")


def default_state_path(store: StoreSpec) -> Path | None:
    """Where the derived state goes unless --state-file says otherwise."""
    if store.kind == "sqlite":
        return Path(store.target + ".state.json")
    if store.kind == "postgres":
        return Path("follow_chain.state.json")
    return None


class MemoryStore:
    """``InMemoryStorage`` with the conditional save and the closing the durable stores have."""

    def __init__(self) -> None:
        self.inner = vorlane.InMemoryStorage()

    def load_checkpoint(self, chain_id: str, indexer_id: str) -> vorlane.Checkpoint | None:
        return self.inner.load_checkpoint(chain_id, indexer_id)

    def save_checkpoint(self, checkpoint: vorlane.Checkpoint) -> None:
        self.inner.save_checkpoint(checkpoint)

    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None:
        self.inner.delete_checkpoint(chain_id, indexer_id)

    def save_checkpoint_if(self, checkpoint: vorlane.Checkpoint, expected_block_number: int | None) -> None:
        # One process, one thread: the check and the write cannot be split.
        stored = self.inner.load_checkpoint(checkpoint.chain_id, checkpoint.indexer_id)
        stored_number = stored.block_number if stored is not None else None
        if stored_number != expected_block_number:
            reported = stored_number if stored_number is not None else expected_block_number
            raise RuntimeError(f"Checkpoint mismatch at block {reported}")
        self.inner.save_checkpoint(checkpoint)

    def close(self) -> None:
        pass


def open_store(store: StoreSpec) -> Any:
    if store.kind == "memory":
        return MemoryStore()
    try:
        import vorlane_stores  # type: ignore[import-not-found]
    except ImportError:
        raise StoreUnavailable(
            f"--store {store.kind}:... needs the vorlane_stores module, which is built and installed "
            "with vorlane (pip install '.[examples]', or bash scripts/setup.sh); --store memory works without it"
        ) from None
    if store.kind == "sqlite":
        return vorlane_stores.SqliteStorage(store.target)
    return vorlane_stores.PostgresStorage(store.target)


class StateFile:
    """The index derived from the logs, as JSON beside the checkpoint store.

    Written whole (temporary file, fsync, rename) before each checkpoint is
    saved, so that after a stop at any moment it holds the stored checkpoint's
    block or a later one: it never lags behind the checkpoint, and
    ``TransferIndexer.resume`` cuts it back to exactly the checkpoint.
    """

    def __init__(self, path: Path) -> None:
        self.path = path

    def write(self, state: dict[str, Any]) -> None:
        temporary = self.path.with_name(self.path.name + ".tmp")
        with open(temporary, "w", encoding="utf-8") as stream:
            json.dump(state, stream, separators=(",", ":"))
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, self.path)
        directory = os.open(self.path.parent, os.O_RDONLY)
        try:
            os.fsync(directory)  # makes the rename itself durable
        finally:
            os.close(directory)

    def read(self) -> dict[str, Any] | None:
        try:
            text = self.path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return None
        try:
            state = json.loads(text)
        except ValueError as error:
            raise ResumeError(f"state file {self.path} is not valid JSON ({error})") from None
        if not isinstance(state, dict):
            raise ResumeError(f"state file {self.path} does not hold an indexer state")
        return state

    def remove(self) -> None:
        self.path.unlink(missing_ok=True)


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

    def to_json(self) -> dict[str, Any]:
        s = self.summary
        return {
            "number": s.number, "hash": s.hash, "parent_hash": s.parent_hash,
            "timestamp": s.timestamp, "tx_count": s.tx_count,
            "deltas": self.deltas, "transfers": self.transfers,
            "foreign_logs": self.foreign_logs, "other_events": self.other_events,
        }

    @staticmethod
    def from_json(data: dict[str, Any]) -> "BlockRecord":
        summary = vorlane.BlockSummary(
            data["number"], data["hash"], data["parent_hash"], data["timestamp"], data["tx_count"]
        )
        transfers = [(tx, index) for tx, index in data["transfers"]]
        return BlockRecord(summary, dict(data["deltas"]), transfers, data["foreign_logs"], data["other_events"])


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
    # The index as it stands (restored from the state file on resume):
    blocks_indexed: int = 0  # blocks in the index now (canonical ones only)
    logs_matched: int = 0
    foreign_logs_ignored: int = 0
    other_events_ignored: int = 0
    # This run only:
    blocks_processed: int = 0  # including blocks indexed again after a reorg
    applied: list[int] = field(default_factory=list)  # block numbers in the order indexed
    checkpoints_saved: int = 0
    reorgs: list[ReorgReport] = field(default_factory=list)
    busy_seconds: float = 0.0  # time spent in sync(), i.e. not waiting for blocks


class Progress:
    """A status line: redrawn in place on a terminal, plain lines (at most one a second) elsewhere."""

    def __init__(self, stream: TextIO | None, min_interval: float | None = None) -> None:
        self.stream = stream
        self.tty = stream is not None and stream.isatty()
        self.min_interval = min_interval if min_interval is not None else (0.1 if self.tty else 1.0)
        self._last = float("-inf")
        self._width = 0
        self._open = False  # a redrawn line waits for its newline
        self._written = ""

    def update(self, indexer: "TransferIndexer", *, force: bool = False, replaying: bool = False) -> None:
        if self.stream is None:
            return
        now = time.perf_counter()
        if not force and now - self._last < self.min_interval:
            return
        self._last = now
        stats = indexer.stats
        rate = stats.blocks_processed / max(stats.busy_seconds, 1e-9)
        head = indexer.head.number if indexer.head is not None else "-"
        line = f"block {head} (tip {indexer.w3.eth.block_number}) | "
        if replaying:
            line += "mining the chain again up to the checkpoint"
        else:
            line += (
                f"{stats.blocks_processed} blocks, {rate:,.0f} blocks/s"
                f" | {stats.logs_matched} transfers matched | {indexer.reorgs_handled} reorgs handled"
            )
        if self.tty:
            self._width = max(self._width, len(line))
            self.stream.write("\r" + line.ljust(self._width))
            self._open = True
        elif line != self._written:
            self.stream.write(line + "\n")
        self._written = line
        self.stream.flush()

    def finish(self, indexer: "TransferIndexer") -> None:
        if self.stream is None:
            return
        self.update(indexer, force=True)
        self.end_line()

    def end_line(self) -> None:
        if self.stream is not None and self._open:
            self.stream.write("\n")
            self.stream.flush()
            self._open = False


class TransferIndexer:
    """Token balances built from Transfer logs, confirmed blocks only.

    Every indexed block is kept as a ``BlockRecord`` (its summary and the
    balance changes it made), which is what makes rolling back cheap. A
    long-running indexer would drop the records that are deeper than any
    reorganisation it is prepared to survive; this example keeps them all.

    Checkpoints are saved with ``save_checkpoint_if`` against the block number
    this indexer saved last (or loaded), so a second indexer writing the same
    (chain, indexer) pair makes one of them fail with
    ``RuntimeError("Checkpoint mismatch at block N")`` instead of both
    overwriting each other. With a ``state_file`` the records go to disk
    before each checkpoint.
    """

    MAX_STALLED_BATCHES = 20

    def __init__(
        self,
        w3: Web3,
        config: vorlane.IndexerConfig,
        event_filter: vorlane.EventFilter,
        storage: Any,
        progress: Progress | None = None,
        *,
        state_file: StateFile | None = None,
        stop: StopRequest | None = None,
        stop_after_blocks: int | None = None,
        position: Callable[[], int] = lambda: 0,
    ) -> None:
        if config.batch_size == 0 or config.checkpoint_interval == 0:
            raise ValueError("batch_size and checkpoint_interval must be positive")
        self.w3 = w3
        self.config = config
        self.filter = event_filter
        self.storage = storage
        self.progress = progress
        self.state_file = state_file
        self.stop = stop
        self.stop_after_blocks = stop_after_blocks
        self.position = position
        self.head: vorlane.BlockSummary | None = None
        self.records: dict[int, BlockRecord] = {}
        self.balances: dict[str, int] = {}
        self.saved_checkpoints: list[vorlane.Checkpoint] = []  # oldest first
        self.stored_block: int | None = None  # block of the checkpoint in storage, as far as we know
        self.reorgs_before = 0  # handled by earlier runs of this index
        self.resumed_from: vorlane.Checkpoint | None = None
        self.resumed_position = 0  # the chain's position when the resumed state was written
        self._head_unverified = False
        self.stats = IndexerStats()

    @property
    def reorgs_handled(self) -> int:
        return self.reorgs_before + len(self.stats.reorgs)

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
        if self._head_unverified:
            self.verify_resumed_head()
        done = 0
        stalled = 0  # batches in a row that the chain changed under
        while True:
            began = time.perf_counter()
            target = self.confirmed_head()
            start = self.next_block()
            if target is None or start > target:
                break
            end = min(start + self.config.batch_size - 1, target)
            try:
                indexed = self.index_range(start, end)
            finally:
                self.stats.busy_seconds += time.perf_counter() - began
            done += indexed
            stalled = 0 if indexed else stalled + 1
            if stalled > self.MAX_STALLED_BATCHES:
                raise RuntimeError(f"stuck at block {start - 1}: the chain keeps changing under the indexer")
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

        self._add_record(BlockRecord(summary, deltas, transfers, foreign, other))
        self.stats.blocks_processed += 1
        self.stats.applied.append(summary.number)
        if summary.number % self.config.checkpoint_interval == 0:
            self.save_checkpoint()
        if self.stop is not None:
            if self.stop_after_blocks is not None and self.stats.blocks_processed >= self.stop_after_blocks:
                self.stop.reason = self.stop.reason or f"stopped after {self.stop_after_blocks} blocks"
            self.stop.check()

    def _add_record(self, record: BlockRecord) -> None:
        for holder, delta in record.deltas.items():
            self.balances[holder] = self.balances.get(holder, 0) + delta
        self.records[record.summary.number] = record
        self.head = record.summary
        self.stats.blocks_indexed += 1
        self.stats.logs_matched += len(record.transfers)
        self.stats.foreign_logs_ignored += record.foreign_logs
        self.stats.other_events_ignored += record.other_events

    # ---- checkpoints and the state behind them --------------------------------

    def save_checkpoint(self) -> None:
        """Checkpoint the head (the state first), unless storage already holds exactly it."""
        assert self.head is not None
        last = self.saved_checkpoints[-1] if self.saved_checkpoints else None
        if last is not None and (last.block_number, last.block_hash) == (self.head.number, self.head.hash):
            checkpoint = last  # e.g. a stop right at a checkpoint: write the state again, keep the record
        else:
            checkpoint = vorlane.Checkpoint(self.config.chain, self.config.id, self.head.number, self.head.hash)
            self.saved_checkpoints.append(checkpoint)
        self._store_checkpoint(checkpoint)

    def _store_checkpoint(self, checkpoint: vorlane.Checkpoint) -> None:
        if self.state_file is not None:
            self.state_file.write(self.snapshot())
        self.storage.save_checkpoint_if(checkpoint, self.stored_block)
        self.stored_block = checkpoint.block_number
        self.stats.checkpoints_saved += 1

    def snapshot(self) -> dict[str, Any]:
        """The whole index as plain data; balances and counts follow from the records."""
        assert self.head is not None
        return {
            "chain_id": self.config.chain,
            "indexer_id": self.config.id,
            "head": self.head.number,
            # A run stopped while mining the chain again must not move this back.
            "position": max(self.position(), self.resumed_position),
            "reorgs_handled": self.reorgs_handled,
            "checkpoints": [[c.block_number, c.block_hash, c.updated_at] for c in self.saved_checkpoints],
            "blocks": [self.records[number].to_json() for number in sorted(self.records)],
        }

    def resume(self, checkpoint: vorlane.Checkpoint, state: dict[str, Any]) -> None:
        """Take up the index at ``checkpoint`` from a state written at that block or later."""
        number, block_hash = checkpoint.block_number, checkpoint.block_hash
        try:
            if (state["chain_id"], state["indexer_id"]) != (self.config.chain, self.config.id):
                raise ResumeError(
                    f"the state file belongs to indexer {state['indexer_id']!r} on chain {state['chain_id']!r}"
                )
            records = [BlockRecord.from_json(entry) for entry in state["blocks"] if entry["number"] <= number]
            earlier = [
                vorlane.Checkpoint(self.config.chain, self.config.id, n, h, t)
                for n, h, t in state["checkpoints"]
                if n < number
            ]
            reorgs_before = int(state["reorgs_handled"])
            position = int(state["position"])
        except (KeyError, TypeError, ValueError) as error:
            raise ResumeError(f"the state file is damaged ({type(error).__name__}: {error})") from None
        if not records or records[-1].summary.number != number or records[-1].summary.hash != block_hash:
            raise ResumeError(
                f"the state file does not hold block {number} {block_hash} of the stored checkpoint "
                f"(it ends at block {state.get('head')})"
            )
        self.head = None
        self.records.clear()
        self.balances.clear()
        self.stats = IndexerStats()
        for record in records:
            self._add_record(record)
        self.saved_checkpoints = earlier + [checkpoint]
        self.stored_block = number
        self.reorgs_before = reorgs_before
        self.resumed_from = checkpoint
        self.resumed_position = position
        self._head_unverified = True

    def verify_resumed_head(self) -> None:
        """The chain must hold the resumed head; anything else means another chain."""
        assert self.head is not None
        latest = self.w3.eth.block_number
        found = self.fetch_summary(self.head.number).hash if latest >= self.head.number else None
        if found != self.head.hash:
            where = f"has {found}" if found is not None else f"ends at block {latest}"
            raise ResumeError(
                f"the checkpoint is at block {self.head.number} {self.head.hash}, but this run's chain {where} "
                "there: it was saved by a run with other chain options (--seed, --holders, --blocks, "
                "--reorg-depth, --confirmations). Rerun with those, or start over with --fresh"
            )
        self._head_unverified = False

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
        while self.saved_checkpoints and self.saved_checkpoints[-1].block_number > fork_point:
            self.saved_checkpoints.pop()
        checkpoint = self.storage.load_checkpoint(self.config.chain, self.config.id)
        if checkpoint is None or checkpoint.block_number > fork_point:
            checkpoint = self.saved_checkpoints[-1] if self.saved_checkpoints else None
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

        # Storage and state file follow the rollback (the state records the
        # reorg and the chain's position, so a resumed run does not meet it again).
        if checkpoint is None:
            self.storage.delete_checkpoint(self.config.chain, self.config.id)
            self.stored_block = None
        else:
            self._store_checkpoint(checkpoint)
            report.checkpoint = self.storage.load_checkpoint(self.config.chain, self.config.id)
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
    store: StoreSpec = StoreSpec("memory")
    state_file: Path | None = None  # None: beside the store (default_state_path)
    fresh: bool = False  # forget a stored checkpoint and state first
    stop_after_blocks: int | None = None  # stop (and checkpoint) after indexing this many blocks


@dataclass
class DemoResult:
    chain: DemoChain
    indexer: TransferIndexer
    config: vorlane.IndexerConfig
    event_filter: vorlane.EventFilter
    storage: Any
    store: StoreSpec
    fork_point: int | None  # block at which the snapshot was taken (None: stopped before)
    orphaned_head: int | None  # tip of the abandoned branch
    mismatches: dict[str, tuple[int, int]] | None  # holder -> (indexed, balanceOf); None: not checked
    stopped: str | None  # why the run stopped early, or None
    elapsed: float

    @property
    def ok(self) -> bool:
        return self.stopped is None and self.mismatches == {} and self.indexer.reorgs_handled == 1


def run_demo(
    options: DemoOptions,
    out: TextIO | None = sys.stdout,
    progress_stream: TextIO | None = sys.stderr,
    stop: StopRequest | None = None,
) -> DemoResult:
    if options.reorg_depth <= options.confirmation_depth:
        raise ValueError(
            "reorg_depth must exceed confirmation_depth, or the indexer never sees the abandoned branch"
        )
    started = time.perf_counter()
    stop = stop if stop is not None else StopRequest()

    def say(text: str) -> None:
        if out is not None:
            print(text, file=out, flush=True)

    state_path = options.state_file if options.state_file is not None else default_state_path(options.store)
    state_file = StateFile(state_path) if state_path is not None else None
    storage = open_store(options.store)
    progress = Progress(progress_stream)
    try:
        if options.fresh:
            storage.delete_checkpoint(CHAIN_ID, INDEXER_ID)
            if state_file is not None:
                state_file.remove()
        checkpoint = storage.load_checkpoint(CHAIN_ID, INDEXER_ID)
        state = state_file.read() if checkpoint is not None and state_file is not None else None
        if checkpoint is not None and state is None:
            raise ResumeError(
                f"{options.store} holds a checkpoint at block {checkpoint.block_number}, but its state file "
                f"{state_path} is missing; start over with --fresh"
            )

        chain = DemoChain(holders=options.holders, seed=options.seed, stop=stop)
        say(f"token {chain.token.address}, decoy {chain.decoy.address}, {len(chain.accounts)} holders")
        config = vorlane.IndexerConfig(
            id=INDEXER_ID,
            chain=CHAIN_ID,
            from_block=0,
            confirmation_depth=options.confirmation_depth,
            batch_size=options.batch_size,
            checkpoint_interval=options.checkpoint_interval,
            poll_interval_ms=0,
        )
        say(f"config {config.to_json()}")
        event_filter = build_filter(chain.token.address)
        event_filter.set_from_block(config.from_block)
        indexer = TransferIndexer(
            chain.w3, config, event_filter, storage, progress,
            state_file=state_file, stop=stop, stop_after_blocks=options.stop_after_blocks,
            position=lambda: chain.position,
        )

        # The chain does not outlive the process, so a resumed run mines it
        # again, identically, and lets the indexer in only once the chain's
        # history is back where it was when the checkpoint was saved.
        replay_until = 0
        if checkpoint is not None and state is not None:
            indexer.resume(checkpoint, state)
            replay_until = indexer.resumed_position
            say(
                f"resuming from checkpoint at block {checkpoint.block_number} ({checkpoint.block_hash}) "
                f"in {options.store}: {indexer.stats.blocks_indexed} blocks and {indexer.stats.logs_matched} "
                f"transfers restored from {state_path}; mining the chain up to there again"
            )
        else:
            say(f"store {options.store}: no checkpoint, indexing from block {config.from_block}")

        def sync() -> None:
            if chain.position >= replay_until:
                indexer.sync()
            else:
                progress.update(indexer, replaying=True)

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
                sync()

        fork_point: int | None = None
        orphaned_head: int | None = None
        stopped: str | None = None
        try:
            grow(before_fork)

            fork_point = chain.head
            snapshot = chain.take_snapshot()
            chain.mine_activity(options.reorg_depth, first_block_busy=True)
            orphaned_head = chain.head
            sync()  # reads past the fork point into the branch about to vanish
            chain.revert_to_snapshot(snapshot)
            chain.mine_activity(new_branch, first_block_busy=True)
            sync()  # finds the switch, rolls back, indexes the new branch

            grow(after_fork)
            # Let the tail confirm so that the index reaches the last transfer.
            chain.tester.mine_blocks(options.confirmation_depth)
            indexer.sync()
            stop.check()  # a Ctrl-C during the last batch still ends as a stop
        except Stopped as stop_reason:
            stopped = str(stop_reason)
        # Finished or stopped, the head is where the next run takes over.
        if indexer.head is not None:
            indexer.save_checkpoint()
        progress.finish(indexer)

        result = DemoResult(
            chain=chain,
            indexer=indexer,
            config=config,
            event_filter=event_filter,
            storage=storage,
            store=options.store,
            fork_point=fork_point,
            orphaned_head=orphaned_head,
            mismatches=check_balances(chain, indexer),
            stopped=stopped,
            elapsed=time.perf_counter() - started,
        )
        say(summarize(result))
        return result
    finally:
        progress.end_line()
        storage.close()


def check_balances(chain: DemoChain, indexer: TransferIndexer) -> dict[str, tuple[int, int]] | None:
    """Indexed balance against ``balanceOf`` at the head, holder by holder; None if the
    head is not on the chain (a stop on a branch that was about to be abandoned)."""
    head = indexer.head
    if head is None or chain.head < head.number or indexer.fetch_summary(head.number).hash != head.hash:
        return None
    mismatches: dict[str, tuple[int, int]] = {}
    for holder in sorted(set(chain.accounts) | set(indexer.balances)):
        on_chain = chain.token.functions.balanceOf(holder).call(block_identifier=head.number)
        indexed = indexer.balances.get(holder, 0)
        if indexed != on_chain:
            mismatches[holder] = (indexed, on_chain)
    return mismatches


def summarize(result: DemoResult) -> str:
    indexer, stats = result.indexer, result.indexer.stats
    head = indexer.head
    latest = result.chain.head
    lines = ["summary" if result.stopped is None else f"summary so far ({result.stopped})"]
    if indexer.resumed_from is not None:
        lines.append(f"  resumed after block   {indexer.resumed_from.block_number} (checkpoint of an earlier run)")
    if head is not None:
        behind = (
            f"{latest - head.number} unconfirmed" if latest >= head.number
            else f"chain mined again only up to block {latest}"
        )
        lines.append(
            f"  blocks indexed        {stats.blocks_indexed} (head {head.number} {head.hash}; "
            f"{behind}; {stats.blocks_processed} processed in this run)"
        )
    lines.append(f"  transfers matched     {stats.logs_matched}")
    lines.append(f"  foreign logs ignored  {stats.foreign_logs_ignored} (decoy contract)")
    lines.append(f"  other events ignored  {stats.other_events_ignored} (token Approvals)")
    earlier = f" ({indexer.reorgs_before} before the resume)" if indexer.reorgs_before else ""
    lines.append(f"  reorgs handled        {indexer.reorgs_handled}{earlier}")
    for reorg in stats.reorgs:
        where = f"checkpoint {reorg.checkpoint.block_number}" if reorg.checkpoint is not None else "the start"
        lines.append(
            f"    block {reorg.detected_at} did not extend {reorg.old_head}; fork at {reorg.fork_point}; "
            f"rolled back to {where}, dropping {reorg.blocks_dropped} blocks and {reorg.logs_dropped} transfers"
        )
    latest_checkpoint = f"latest at block {indexer.stored_block}" if indexer.stored_block is not None else "none stored"
    lines.append(f"  checkpoints saved     {stats.checkpoints_saved} in this run ({latest_checkpoint}, {result.store})")
    holders = len(set(result.chain.accounts) | set(indexer.balances))
    if result.mismatches is None:
        lines.append("  balances verified     not checked (the head is not on the chain now)")
    elif result.mismatches:
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


# --------------------------------------------------------------------------
# The command line
# --------------------------------------------------------------------------


# flag, DemoOptions field, smallest and largest value, help
KNOBS: tuple[tuple[str, str, int, int | None, str], ...] = (
    ("--blocks", "blocks", 1, None, "blocks mined after deployment"),
    ("--reorg-depth", "reorg_depth", 1, None, "length of the abandoned branch; must exceed --confirmations"),
    ("--confirmations", "confirmation_depth", 0, None, "blocks left unconfirmed behind the tip"),
    ("--batch-size", "batch_size", 1, None, "blocks per eth_getLogs call"),
    ("--checkpoint-interval", "checkpoint_interval", 1, None,
     "save a checkpoint at every block number divisible by this"),
    ("--holders", "holders", 2, 10, "accounts trading the token"),
    ("--seed", "seed", 0, None, "random seed for the transfers"),
)


def bounded_int(low: int, high: int | None = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < low or (high is not None and value > high):
            bounds = f"between {low} and {high}" if high is not None else f"at least {low}"
            raise argparse.ArgumentTypeError(f"must be {bounds}, got {value}")
        return value

    return convert


def build_parser() -> argparse.ArgumentParser:
    defaults = DemoOptions()
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Stopped part-way, a run saves a checkpoint; the same command resumes from it.",
    )
    for flag, name, low, high, text in KNOBS:
        parser.add_argument(
            flag, dest=name, metavar="N", type=bounded_int(low, high), default=getattr(defaults, name),
            help=f"{text} (default: %(default)s)",
        )
    parser.add_argument(
        "--store", type=parse_store, default=DEFAULT_STORE, metavar="STORE",
        help="where checkpoints live: sqlite:PATH, postgres:DSN (libpq DSN or URI) or memory "
        "(nothing survives the process) (default: %(default)s)",
    )
    parser.add_argument(
        "--state-file", type=Path, default=None, metavar="PATH",
        help="where the balances and counts behind the checkpoints live (default: the SQLite path "
        "plus .state.json; follow_chain.state.json for postgres; none for memory)",
    )
    parser.add_argument(
        "--fresh", action="store_true",
        help="delete the stored checkpoint and state and start from block 0 (default: resume)",
    )
    parser.add_argument(
        "--stop-after-blocks", type=bounded_int(1), default=None, metavar="N",
        help="stop after indexing N blocks in this run, saving a checkpoint (default: run to the end)",
    )
    return parser


def parse_args(argv: list[str] | None = None) -> DemoOptions:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.reorg_depth <= args.confirmation_depth:
        parser.error(
            f"--reorg-depth ({args.reorg_depth}) must exceed --confirmations ({args.confirmation_depth}), "
            "or the indexer never sees the abandoned branch"
        )
    return DemoOptions(
        **{name: getattr(args, name) for _, name, _, _, _ in KNOBS},
        store=args.store,
        state_file=args.state_file,
        fresh=args.fresh,
        stop_after_blocks=args.stop_after_blocks,
    )


def shown_path(path: str) -> str:
    """``path`` relative to the working directory when it lies below it."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def resume_command(options: DemoOptions) -> str:
    """The command that continues this run: same chain and store, no stop, no --fresh."""
    words = [shown_path(sys.executable), shown_path(__file__)]
    defaults = DemoOptions()
    for flag, name, _, _, _ in KNOBS:
        if getattr(options, name) != getattr(defaults, name):
            words += [flag, str(getattr(options, name))]
    words += ["--store", str(options.store)]
    if options.state_file is not None:
        words += ["--state-file", str(options.state_file)]
    return shlex.join(words)


def main(argv: list[str] | None = None) -> int:
    options = parse_args(argv)
    stop = StopRequest()
    signal.signal(signal.SIGINT, stop.interrupt)
    try:
        result = run_demo(options, stop=stop)
    except KeyboardInterrupt:
        print("interrupted again: stopped without saving; the last checkpoint stays valid", file=sys.stderr)
        return 130
    except (ResumeError, StoreUnavailable) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:  # the stores report every failure this way
        print(f"error: {error}", file=sys.stderr)
        if str(error).startswith("Checkpoint mismatch"):
            print(
                f"error: another indexer saved a checkpoint for {INDEXER_ID} on {CHAIN_ID} in {options.store} "
                "since this one last did; stopping instead of overwriting it",
                file=sys.stderr,
            )
        return 1
    if result.stopped is not None:
        if options.store.kind == "memory":
            print("the memory store keeps nothing after the process ends: a new run starts over")
        elif result.indexer.stored_block is not None:
            print(f"checkpoint at block {result.indexer.stored_block} saved in {options.store}; resume with:")
            print(f"  {resume_command(options)}")
        else:
            print(f"nothing indexed yet; to start again run:\n  {resume_command(options)}")
        return 130 if stop.interrupted else 0
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
