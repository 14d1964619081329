#!/usr/bin/env python3
"""Follow the demo chain with vorlane_follow and keep token balances in step with it.

The script builds the demo chain of ``examples/devchain`` (a small token and a
decoy contract emitting the very same ``Transfer`` event), serves it over HTTP
with the dev node and follows it with ``vorlane_follow.Follower`` through
web3.py, while it mines a few hundred blocks of transfers. Halfway through it
forks the chain for real: the follower reads a branch that is then replaced by
another one, and has to roll back and index the new branch.

The handler keeps every Transfer of the token in an SQLite table, tagged with
its block, so that a rollback is one DELETE; the balances are the sum of those
rows. At the end they are compared with the token's own ``balanceOf``.

Stopped part-way (``--stop-after-blocks N`` or Ctrl-C), the follower saves a
checkpoint and the script says how to resume: run again with the same
``--store``, it builds the same chain again (every block hash repeats), lets
the follower in where it stopped, and the follower carries on from the
checkpoint.

Needs the ``examples`` and ``follow`` extras (``pip install '.[examples,follow]'``).
Run it with ``python examples/follow_chain.py``; ``--help`` lists the knobs.
"""

from __future__ import annotations

import argparse
import logging
import os
import shlex
import signal
import sqlite3
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

INDEXER_ID = "follow-chain"
DEFAULT_STORE = "sqlite:follow_chain.db"


@dataclass(frozen=True)
class DemoOptions:
    blocks: int = 300  # blocks mined after the setup on the final chain
    reorg_depth: int = 24  # blocks on the branch that gets abandoned
    confirmation_depth: int = 6
    batch_size: int = 50
    checkpoint_interval: int = 20
    holders: int = 6
    seed: int = 1
    store: str = "memory"  # sqlite:PATH, postgres:DSN or memory
    state: str | None = None  # the handler's SQLite file; None: beside the store
    fresh: bool = False  # forget a stored checkpoint and state first
    stop_after_blocks: int | None = None  # stop (and checkpoint) after this many blocks


def state_path(options: DemoOptions) -> str:
    if options.state is not None:
        return options.state
    if options.store.startswith("sqlite:"):
        return options.store.removeprefix("sqlite:") + ".state.db"
    return ":memory:" if options.store == "memory" else "follow_chain.state.db"


# --------------------------------------------------------------------------
# The handler
# --------------------------------------------------------------------------


class TransferBook:
    """The follower's handler: the token's Transfers in SQLite, tagged by block.

    ``on_block`` commits the block's rows before it returns, so they are on disk
    before the follower saves a checkpoint that covers them; ``on_rollback(n)``
    deletes what came from blocks above ``n``. A ``blocks`` table records, per
    delivered block, how far the chain had got when it came (``position``), so a
    resumed run knows when to let the follower in.
    """

    def __init__(self, path: str) -> None:
        self.db = sqlite3.connect(path, check_same_thread=False)
        if path != ":memory:":
            self.db.execute("PRAGMA journal_mode=WAL")
        with self.db:
            self.db.execute("CREATE TABLE IF NOT EXISTS blocks (number INTEGER PRIMARY KEY, hash TEXT, "
                            "position INTEGER)")
            self.db.execute("CREATE TABLE IF NOT EXISTS transfers (block_number INTEGER, transaction_hash TEXT, "
                            "log_index INTEGER, sender TEXT, receiver TEXT, value TEXT, "
                            "PRIMARY KEY (block_number, log_index))")
        self.changed = threading.Condition()
        self.last: tuple[int, str | None] | None = None  # (number, hash) of the last delivered block
        self.position: Callable[[], int] = lambda: 0
        self.delivered = 0  # blocks delivered in this run
        self.stop_after: int | None = None
        self.on_stop: Callable[[], None] = lambda: None

    def on_block(self, block: Any, events: list[Any]) -> None:
        # The follower decodes the token's Transfers against its ABI: typed
        # records, their arguments by name (``getattr(e, "from")`` where a
        # name is a Python keyword).
        rows = [(block.number, e.transaction_hash, e.log_index, e.sender, e.receiver, str(e.value))
                for e in events]
        with self.db:
            self.db.execute("INSERT INTO blocks VALUES (?, ?, ?)", (block.number, block.hash, self.position()))
            self.db.executemany("INSERT INTO transfers VALUES (?, ?, ?, ?, ?, ?)", rows)
        with self.changed:
            self.last = (block.number, block.hash)
            self.delivered += 1
            self.changed.notify_all()
        if self.stop_after is not None and self.delivered == self.stop_after:
            self.on_stop()

    def on_rollback(self, block_number: int) -> None:
        with self.db:
            self.db.execute("DELETE FROM blocks WHERE number > ?", (block_number,))
            self.db.execute("DELETE FROM transfers WHERE block_number > ?", (block_number,))
        row = self.db.execute("SELECT hash FROM blocks WHERE number = ?", (block_number,)).fetchone()
        with self.changed:
            self.last = (block_number, row[0] if row is not None else None)
            self.changed.notify_all()

    def clear(self) -> None:
        with self.db:
            self.db.execute("DELETE FROM blocks")
            self.db.execute("DELETE FROM transfers")

    def position_of(self, number: int, block_hash: str) -> int | None:
        row = self.db.execute("SELECT position FROM blocks WHERE number = ? AND hash = ?",
                              (number, block_hash)).fetchone()
        return None if row is None else int(row[0])

    def balances(self) -> dict[str, int]:
        balances: dict[str, int] = {}
        for sender, receiver, value in self.db.execute("SELECT sender, receiver, value FROM transfers"):
            balances[sender] = balances.get(sender, 0) - int(value)
            balances[receiver] = balances.get(receiver, 0) + int(value)
        balances.pop("0x" + "00" * 20, None)  # the mint's sender
        return balances

    def transfers(self) -> list[tuple[int, str, int]]:
        """(block, transaction hash, log index) of every Transfer held, in chain order."""
        return list(self.db.execute(
            "SELECT block_number, transaction_hash, log_index FROM transfers ORDER BY block_number, log_index"))

    def blocks(self) -> int:
        return int(self.db.execute("SELECT count(*) FROM blocks").fetchone()[0])

    def close(self) -> None:
        self.db.close()


# --------------------------------------------------------------------------
# The run
# --------------------------------------------------------------------------


@dataclass
class DemoResult:
    chain: Any
    counters: Any
    book: TransferBook
    head: tuple[int, str] | None  # the last delivered block
    fork_point: int | None  # the block both branches share (None: stopped before the fork)
    to_block: int
    resumed_from: Any  # the checkpoint this run started from, or None
    stopped: str | None  # why the run stopped early, or None
    mismatches: dict[str, tuple[int, int]] | None  # holder: (indexed, balanceOf); None: not checked
    elapsed: float = 0.0

    @property
    def ok(self) -> bool:
        return self.stopped is None and self.mismatches == {}


class ResumeError(Exception):
    """The store holds a checkpoint that the handler's state cannot take up."""


def open_store(where: str) -> Any:
    if where == "memory":
        import vorlane

        return vorlane.InMemoryStorage()
    import vorlane_stores

    kind, _, target = where.partition(":")
    return vorlane_stores.SqliteStorage(target) if kind == "sqlite" else vorlane_stores.PostgresStorage(target)


def run_demo(options: DemoOptions, out: Any = sys.stdout, stop: threading.Event | None = None) -> DemoResult:
    """Build the chain, serve it, follow it; ``stop`` set from elsewhere ends the run early."""
    if options.reorg_depth <= options.confirmation_depth:
        raise ValueError("reorg_depth must exceed confirmation_depth, or the follower never sees the "
                         "abandoned branch")
    from devchain import DemoChain

    started = time.perf_counter()
    stop = stop if stop is not None else threading.Event()

    def say(text: str) -> None:
        if out is not None:
            print(text, file=out, flush=True)

    chain = DemoChain(seed=options.seed, holders=options.holders)
    store = open_store(options.store)
    book = TransferBook(state_path(options))
    try:
        return _follow(options, chain, store, book, say, stop, started)
    except BaseException:
        book.close()
        raise
    finally:
        if hasattr(store, "close"):
            store.close()


def _follow(options: DemoOptions, chain: Any, store: Any, book: TransferBook, say: Callable[[str], None],
            stop: threading.Event, started: float) -> DemoResult:
    import vorlane
    from devchain import DevNode, compile_contract
    from vorlane_follow import Follower
    from web3 import Web3

    chain_id = str(chain.chain_id)
    if options.fresh:
        store.delete_checkpoint(chain_id, INDEXER_ID)
        book.clear()
    checkpoint = store.load_checkpoint(chain_id, INDEXER_ID)
    # The chain does not outlive the process: a resumed run mines it again,
    # identically, and lets the follower in once the chain is back where it
    # was when the checkpoint's block was delivered.
    replay_until = 0
    if checkpoint is not None:
        position = book.position_of(checkpoint.block_number, checkpoint.block_hash)
        if position is None:
            raise ResumeError(
                f"{options.store} holds a checkpoint at block {checkpoint.block_number}, but the handler's state "
                f"{state_path(options)} does not hold that block; start over with --fresh"
            )
        replay_until = position
        say(f"resuming from checkpoint at block {checkpoint.block_number} ({checkpoint.block_hash}) in "
            f"{options.store}; mining the chain up to there again")
    else:
        say(f"store {options.store}: no checkpoint, following from block 0")
    say(f"token {chain.token}, decoy {chain.decoy}, {len(chain.accounts)} holders")

    # The final chain: half the blocks, then a branch that is abandoned for
    # one a few blocks longer, then the rest, then the confirmations.
    before_fork = options.blocks // 2
    new_branch = options.reorg_depth + 4
    after_fork = max(options.blocks - before_fork - new_branch, 0)
    fork_point = chain.setup_blocks + before_fork
    to_block = fork_point + new_branch + after_fork

    config = vorlane.IndexerConfig(
        id=INDEXER_ID, chain=chain_id, from_block=0, to_block=to_block,
        confirmation_depth=options.confirmation_depth, batch_size=options.batch_size,
        checkpoint_interval=options.checkpoint_interval, poll_interval_ms=20,
    )
    # No topic0 given: the filter takes the decoded events' (Transfer's).
    event_filter = vorlane.EventFilter.for_address(chain.token)
    book.position = lambda: chain.position
    book.stop_after = options.stop_after_blocks

    with DevNode(chain) as node:
        w3 = Web3(Web3.HTTPProvider(node.url, exception_retry_configuration=None))
        follower = Follower(w3, config, event_filter, store, book, abi=compile_contract("Token")[0],
                            events=["Transfer"])
        let_in = threading.Event()
        halt = threading.Event()  # the follower is done: the scenario stops mining
        stopped: list[str] = []
        failures: list[BaseException] = []

        def stop_follower(reason: str) -> None:
            stopped.append(reason)
            halt.set()
            follower.stop()

        def watch() -> None:
            while not halt.wait(0.05):
                if stop.is_set():
                    stop_follower("interrupted")

        book.on_stop = lambda: stop_follower(f"stopped after {options.stop_after_blocks} blocks")
        reached: list[int | None] = [None]

        def sync() -> None:
            """Let the follower catch up with the confirmed head (after the replay)."""
            if chain.position < replay_until:
                return
            let_in.set()
            target = chain.head - options.confirmation_depth
            wanted = (target, chain.block(target).hash)
            with book.changed:
                while book.last != wanted and not halt.is_set():
                    book.changed.wait(0.1)

        def grow(blocks: int) -> None:
            while blocks > 0 and not halt.is_set():
                step = min(blocks, chain.rng.randint(1, 12))
                chain.mine(step)
                blocks -= step
                sync()

        def scenario() -> None:
            try:
                grow(before_fork)
                if halt.is_set():
                    return
                chain.mine(options.reorg_depth, first_block_busy=True)
                sync()  # the follower reads past the fork into the branch about to vanish
                if halt.is_set():
                    return
                chain.reorg(options.reorg_depth, new_blocks=new_branch)
                reached[0] = fork_point
                say(f"reorganised: blocks {fork_point + 1}..{fork_point + options.reorg_depth} replaced by "
                    f"{new_branch} others")
                sync()
                grow(after_fork)
                chain.mine(options.confirmation_depth)  # lets the tail confirm
            except BaseException as error:
                failures.append(error)
                stop_follower("the chain failed")
            finally:
                let_in.set()

        miner = threading.Thread(target=scenario, name="scenario", daemon=True)
        miner.start()
        watcher = threading.Thread(target=watch, name="watch", daemon=True)
        watcher.start()
        try:
            let_in.wait()
            counters = follower.run() if not halt.is_set() else follower.counters
        finally:
            halt.set()
            miner.join()
            watcher.join()
        if failures:
            raise failures[0]

        last = book.last
        head = (last[0], last[1]) if last is not None and last[1] is not None else None
        mismatches = None
        if head is not None and chain.block(head[0]) is not None and chain.block(head[0]).hash == head[1]:
            token = w3.eth.contract(address=chain.token, abi=compile_contract("Token")[0])
            indexed = book.balances()
            mismatches = {}
            for holder in chain.accounts:
                on_chain = token.functions.balanceOf(holder).call(block_identifier=head[0])
                if indexed.get(holder.lower(), 0) != on_chain:
                    mismatches[holder] = (indexed.get(holder.lower(), 0), on_chain)
    result = DemoResult(
        chain=chain, counters=counters, book=book, head=head, fork_point=reached[0], to_block=to_block,
        resumed_from=checkpoint, stopped=stopped[0] if stopped else None, mismatches=mismatches,
        elapsed=time.perf_counter() - started,
    )
    say(summarize(result, options))
    return result


def summarize(result: DemoResult, options: DemoOptions) -> str:
    counters, chain = result.counters, result.chain
    lines = ["summary" if result.stopped is None else f"summary so far ({result.stopped})"]
    if result.resumed_from is not None:
        lines.append(f"  resumed after block   {result.resumed_from.block_number}")
    if result.head is not None:
        lines.append(f"  last block            {result.head[0]} {result.head[1]} (to_block {result.to_block}, "
                     f"chain head {chain.head})")
    lines.append(f"  blocks delivered      {counters.blocks} in this run, {result.book.blocks()} held")
    lines.append(f"  transfers held        {len(result.book.transfers())}")
    depths = ", ".join(str(d) for d in counters.rollback_depths) or "none"
    lines.append(f"  rollbacks             {counters.rollbacks} (depths: {depths})")
    lines.append(f"  round trips           {counters.round_trips} ({counters.retries} retries)")
    lines.append(f"  checkpoints saved     {counters.checkpoints} in {options.store}")
    if result.mismatches is None:
        lines.append("  balances verified     not checked (the last block is not on the chain now)")
    elif result.mismatches:
        lines.append(f"  balances verified     FAILED for {len(result.mismatches)} of {len(chain.accounts)} holders")
        for holder, (indexed, on_chain) in result.mismatches.items():
            lines.append(f"    {holder}: indexed {indexed}, balanceOf {on_chain}")
    else:
        lines.append(f"  balances verified     {len(chain.accounts)} holders match balanceOf")
    lines.append(f"  elapsed               {result.elapsed:.1f} s")
    return "\n".join(lines)


# --------------------------------------------------------------------------
# The command line
# --------------------------------------------------------------------------


# flag, DemoOptions field, smallest and largest value, help
KNOBS: tuple[tuple[str, str, int, int | None, str], ...] = (
    ("--blocks", "blocks", 1, None, "blocks mined after the setup"),
    ("--reorg-depth", "reorg_depth", 1, None, "length of the abandoned branch; must exceed --confirmations"),
    ("--confirmations", "confirmation_depth", 0, None, "blocks left unconfirmed behind the tip"),
    ("--batch-size", "batch_size", 1, None, "blocks per log request"),
    ("--checkpoint-interval", "checkpoint_interval", 1, None, "blocks between checkpoints"),
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


def parse_store(text: str) -> str:
    kind, colon, target = text.partition(":")
    if text == "memory" or (colon and kind in ("sqlite", "postgres") and target):
        return text
    raise argparse.ArgumentTypeError(f"expected sqlite:PATH, postgres:DSN or memory, got {text!r}")


def build_parser() -> argparse.ArgumentParser:
    defaults = DemoOptions()
    parser = argparse.ArgumentParser(
        description=(__doc__ or "").split("\n\n")[0],
        epilog="Stopped part-way, a run saves a checkpoint; the same command resumes from it.",
    )
    for flag, name, low, high, text in KNOBS:
        parser.add_argument(flag, dest=name, metavar="N", type=bounded_int(low, high),
                            default=getattr(defaults, name), help=f"{text} (default: %(default)s)")
    parser.add_argument("--store", type=parse_store, default=DEFAULT_STORE, metavar="STORE",
                        help="where checkpoints live: sqlite:PATH, postgres:DSN or memory (default: %(default)s)")
    parser.add_argument("--state", default=None, metavar="PATH",
                        help="the handler's SQLite file (default: the SQLite store's path plus .state.db; "
                        "follow_chain.state.db for postgres; in memory for memory)")
    parser.add_argument("--fresh", action="store_true",
                        help="delete the stored checkpoint and state and start from block 0 (default: resume)")
    parser.add_argument("--stop-after-blocks", type=bounded_int(1), default=None, metavar="N",
                        help="stop after N blocks in this run, saving a checkpoint (default: run to the end)")
    return parser


def parse_args(argv: list[str] | None = None) -> DemoOptions:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.reorg_depth <= args.confirmation_depth:
        parser.error(f"--reorg-depth ({args.reorg_depth}) must exceed --confirmations "
                     f"({args.confirmation_depth}), or the follower never sees the abandoned branch")
    return DemoOptions(**{name: getattr(args, name) for _, name, _, _, _ in KNOBS}, store=args.store,
                       state=args.state, fresh=args.fresh, stop_after_blocks=args.stop_after_blocks)


def shown_path(path: str) -> str:
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def resume_command(options: DemoOptions) -> str:
    """The command that continues this run: same chain, store and state, no stop, no --fresh."""
    words = [shown_path(sys.executable), shown_path(__file__)]
    defaults = DemoOptions()
    for flag, name, _, _, _ in KNOBS:
        if getattr(options, name) != getattr(defaults, name):
            words += [flag, str(getattr(options, name))]
    words += ["--store", options.store]
    if options.state is not None:
        words += ["--state", options.state]
    return shlex.join(words)


def main(argv: list[str] | None = None) -> int:
    options = parse_args(argv)
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    try:
        import devchain  # noqa: F401
        import vorlane_follow  # noqa: F401
    except ImportError as missing:
        print(f"follow_chain.py needs vorlane with its 'examples' and 'follow' extras (module {missing.name!r} "
              "is missing).\nInstall them from the repository root with:  pip install '.[examples,follow]'",
              file=sys.stderr)
        return 1
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(message)s")
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        result = run_demo(options, stop=stop)
    except (ResumeError, RuntimeError) as error:  # the stores and the follower report failures as RuntimeError
        print(f"error: {error}", file=sys.stderr)
        return 1
    if result.stopped is not None:
        if options.store == "memory":
            print("the memory store keeps nothing after the process ends: a new run starts over")
        else:
            print(f"stopped; the same command carries on from the last checkpoint in {options.store}:\n"
                  f"  {resume_command(options)}")
        return 130 if result.stopped == "interrupted" else 0
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
