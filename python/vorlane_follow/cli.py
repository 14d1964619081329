"""`vorlane-follow`: follow one node and write the matched logs as JSON Lines,
or their decoded events into a database sink.

Arguments are parsed before anything heavy is imported, so `--help` and bad
options answer at once.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import shlex
import signal
import stat
import sys
from typing import TYPE_CHECKING, Any, TextIO

from vorlane import IndexerConfig

if TYPE_CHECKING:
    from collections.abc import Callable

    from vorlane import BlockSummary

    from .engine import Counters, Log

PROG = "vorlane-follow"
DEFAULT_STORE = "sqlite:vorlane-follow.db"


def _block(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a block number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a block number: {text!r}")
    return value


def _positive(text: str) -> int:
    value = _block(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _rpc(text: str) -> str:
    if not text.startswith(("http://", "https://", "ws://", "wss://")):
        raise argparse.ArgumentTypeError(f"expected an http(s):// or ws(s):// URL, got {text!r}")
    return text


def _hex(size: int) -> Callable[[str], str]:
    pattern = re.compile(f"0x[0-9a-fA-F]{{{2 * size}}}")

    def convert(text: str) -> str:
        if pattern.fullmatch(text) is None:
            raise argparse.ArgumentTypeError(
                f"expected 0x and {2 * size} hex digits ({size} bytes), got {text!r}")
        return text

    return convert


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def _allowance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"expected 0 or more seconds, got {text!r}")
    return value


def _store(text: str) -> str:
    kind, colon, where = text.partition(":")
    if text == "memory" or (colon and kind in ("sqlite", "postgres") and where.strip()):
        return text
    if colon and kind in ("sqlite", "postgres"):
        raise argparse.ArgumentTypeError(
            f"{kind}: needs {'a file path' if kind == 'sqlite' else 'a DSN'} after the colon, got {text!r}")
    raise argparse.ArgumentTypeError(f"expected sqlite:PATH, postgres:DSN or memory, got {text!r}")


SINK_KINDS = {"sqlite": "a file path", "postgres": "a DSN", "parquet": "a folder"}


def _sink(text: str) -> str:
    kind, colon, where = text.partition(":")
    if not colon or kind not in SINK_KINDS:
        raise argparse.ArgumentTypeError(f"expected sqlite:PATH, postgres:DSN or parquet:DIR, got {text!r}")
    if not where.strip():
        raise argparse.ArgumentTypeError(f"{kind}: needs {SINK_KINDS[kind]} after the colon, got {text!r}")
    return text


def build_parser() -> argparse.ArgumentParser:
    d = IndexerConfig()
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Follow an EVM node and write the logs that match as JSON Lines: "
                    '{"type": "log", ...} per log in chain order, {"type": "rollback", '
                    '"to_block": N} when earlier lines above block N no longer count; or, with --sink, '
                    "their decoded events into database tables or Parquet files, exactly once.")
    p.add_argument("--rpc", required=True, type=_rpc, metavar="URL",
                   help="the node's JSON-RPC endpoint: http(s):// or ws(s)://")
    p.add_argument("--address", action="append", default=[], type=_hex(20), metavar="ADDR",
                   help="a contract address to follow (repeatable; none: every address)")
    p.add_argument("--topic0", action="append", default=[], type=_hex(32), metavar="HASH",
                   help="an event topic0 to follow (repeatable; none: every event)")
    p.add_argument("--from-block", type=_block, default=d.from_block, metavar="N",
                   help=f"first block (default {d.from_block})")
    p.add_argument("--to-block", type=_block, default=None, metavar="N",
                   help="last block; the command exits once it is indexed (default: follow for ever)")
    p.add_argument("--confirmations", type=_block, default=d.confirmation_depth, metavar="N",
                   help=f"index only blocks at least N below the head (default {d.confirmation_depth})")
    p.add_argument("--batch-size", type=_positive, default=d.batch_size, metavar="N",
                   help=f"blocks per log request (default {d.batch_size})")
    p.add_argument("--checkpoint-interval", type=_positive, default=d.checkpoint_interval,
                   metavar="N", help=f"blocks between checkpoints (default {d.checkpoint_interval})")
    p.add_argument("--poll-interval-ms", type=_block, default=d.poll_interval_ms, metavar="MS",
                   help=f"head polling interval once caught up (default {d.poll_interval_ms})")
    p.add_argument("--request-timeout", type=_seconds, default=10.0, metavar="SECONDS",
                   help="seconds one request to the node may take; a ranged one past it is split "
                        "(default 10)")
    p.add_argument("--startup-timeout", type=_allowance, default=30.0, metavar="SECONDS",
                   help="seconds to wait for a node that cannot be reached or does not answer "
                        "JSON-RPC yet before giving up (default 30)")
    p.add_argument("--chain", default=None,
                   help="chain name in the checkpoint store (default: the node's chain id)")
    p.add_argument("--id", default=d.id, help=f"indexer name in the checkpoint store (default {d.id})")
    p.add_argument("--store", type=_store, default=None,
                   help=f"sqlite:PATH, postgres:DSN or memory (default: the --sink's database, else "
                        f"{DEFAULT_STORE}); a store apart from the sink commits the checkpoint after the "
                        "sink's rows, not with them: exactly once holds only with the sink as the store")
    p.add_argument("--output", default=None, metavar="PATH",
                   help="append the lines to this file (default: standard output, or no lines with --sink)")
    p.add_argument("--sink", type=_sink, default=None, metavar="KIND:WHERE",
                   help="write the decoded events of --abi into a table per event, committed with the "
                        "checkpoint: sqlite:PATH or postgres:DSN; or into Parquet files per range of "
                        "--chunk-blocks blocks, which are the checkpoint: parquet:DIR")
    p.add_argument("--table-prefix", default="", metavar="PREFIX",
                   help="put before each sqlite: or postgres: --sink table's name (the event name, lower-cased)")
    p.add_argument("--chunk-blocks", type=_positive, default=None, metavar="N",
                   help="blocks per file of a parquet: --sink (default 1000); --to-block must end a range")
    p.add_argument("--abi", default=None, metavar="FILE",
                   help="decode the logs with this contract ABI (JSON or event signatures, one a line): "
                        'each line gets "event" and "args"; --topic0 defaults to its events\' topic0 values')
    p.add_argument("--event", action="append", default=[], metavar="NAME",
                   help="an event of --abi to decode, by name or signature (repeatable; none: all of them)")
    p.add_argument("--checksum-addresses", action="store_true",
                   help="decoded addresses in checksummed form (default: lower case)")
    return p


class JsonLines:
    """The handler: one JSON object per line. While catching up, the lines of
    many blocks go out together in one write (a write of whole lines, so a
    killed process never leaves half a line behind); they are written before
    the checkpoint that covers them is saved, before a rollback's line, at
    the end, and block by block once the follower is near the head (where
    `counters.lag` says so). With a sink (a `SinkHandler`), each block goes
    to it first; with no `fd`, to it alone."""

    _MOST = 1 << 16  # bytes held back at most

    def __init__(self, fd: int | None, *, durable: bool, near_head: int = 0, decoder: Any = None,
                 sink: Any = None) -> None:
        self.fd = fd
        self.durable = durable
        self.sink = sink
        from vorlane_rpc import encode_log_lines

        # With a decoder, its lines: a log no event fits is written as is.
        self.decoder = decoder
        self._undecoded = 0
        self._lines = encode_log_lines if decoder is None else decoder.encode_lines
        self._held: list[bytes] = []
        self._size = 0
        self.near_head = near_head
        self.counters: Any = None
        self.progress: Any = None
        self.first_block = 0

    def _write(self, data: bytes) -> None:
        assert self.fd is not None
        while data:
            data = data[os.write(self.fd, data):]

    def flush(self) -> None:
        if self._held:
            data = b"".join(self._held)
            self._held.clear()
            self._size = 0
            self._write(data)

    def on_block(self, block: BlockSummary, logs: list[Log]) -> None:
        if self.sink is not None:
            self.sink.on_block(block, logs)
        lines = self._lines(logs) if logs and self.fd is not None else None
        # One report for what the sink's decoding and the lines' found broken.
        if self.decoder is not None and self.decoder.undecoded != self._undecoded:
            self._report()
        if lines is not None:
            self._held.append(lines)
            self._size += len(lines)
            lag = None if self.counters is None else self.counters.lag
            if self._size >= self._MOST or lag is None or lag <= self.near_head:
                self.flush()
        if self.progress is not None:
            self.progress.update(1)

    def idle(self) -> None:
        """Every block fetched so far is delivered: what is held goes out, and
        the progress bar's clock and rate move on while the head is awaited."""
        self.flush()
        if self.progress is not None:
            self.progress.refresh()

    def _report(self) -> None:
        """One warning per event and contract whose logs break its layout."""
        import logging

        decoder = self.decoder
        self._undecoded = decoder.undecoded
        for signature, address, reason in decoder.new_failures():
            logging.getLogger("vorlane_follow").warning(
                "logs of %s from %s are written undecoded: %s", signature, address, reason)

    def on_rollback(self, block_number: int) -> None:
        if self.sink is not None:
            self.sink.on_rollback(block_number)
        if self.fd is not None:
            self.flush()
            self._write(b'{"type": "rollback", "to_block": %d}\n' % block_number)
        if self.progress is not None:
            self.progress.n = max(0, block_number - self.first_block + 1)
            self.progress.refresh()

    def sync(self) -> None:
        self.flush()
        if self.durable and self.fd is not None:
            os.fsync(self.fd)


class _FlushingStore:
    """The checkpoint store, with the output made durable before each save."""

    def __init__(self, store: Any, out: JsonLines) -> None:
        self._store = store
        self._out = out
        self.load_checkpoint = store.load_checkpoint
        self.delete_checkpoint = store.delete_checkpoint
        if hasattr(store, "save_checkpoint_if"):
            self.save_checkpoint_if = self._save_if

    def save_checkpoint(self, checkpoint: Any) -> None:
        self._out.sync()
        self._store.save_checkpoint(checkpoint)

    def _save_if(self, checkpoint: Any, expected: int | None) -> None:
        self._out.sync()
        self._store.save_checkpoint_if(checkpoint, expected)


class _StoreBesideSink:
    """A store of its own next to a sink: the sink's rows commit first (with
    the sink's own unfenced checkpoint), then the store's fenced save. A
    crash between the two leaves rows above the store's checkpoint, which
    the rollback of the next start deletes; a second writer meets the
    store's fence only after its own commit into the sink."""

    def __init__(self, store: Any, sink: Any) -> None:
        self._store = store
        self._sink = sink
        self.load_checkpoint = store.load_checkpoint
        if hasattr(store, "save_checkpoint_if"):
            self.save_checkpoint_if = self._save_if

    def save_checkpoint(self, checkpoint: Any) -> None:
        self._sink.save_checkpoint(checkpoint)
        self._store.save_checkpoint(checkpoint)

    def _save_if(self, checkpoint: Any, expected: int | None) -> None:
        self._sink.save_checkpoint(checkpoint)
        self._store.save_checkpoint_if(checkpoint, expected)

    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None:
        self._sink.delete_checkpoint(chain_id, indexer_id)
        self._store.delete_checkpoint(chain_id, indexer_id)


def _open_output(path: str | None) -> tuple[int, bool]:
    """The output's descriptor, and whether it is a file to sync before saves."""
    if path is None:
        fd = sys.stdout.fileno()
        return fd, stat.S_ISREG(os.fstat(fd).st_mode)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o644)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        return fd, False
    # A line cut short (by a power loss) would run into the next one: drop it.
    end = size = os.fstat(fd).st_size
    with open(fd, "rb", closefd=False) as f:
        while end > 0:
            start = max(0, end - 65536)
            f.seek(start)
            chunk = f.read(end - start)
            if end == size and chunk.endswith(b"\n"):
                break
            cut = chunk.rfind(b"\n")
            if cut >= 0:
                os.truncate(fd, start + cut + 1)
                break
            end = start
        else:
            if size:
                os.truncate(fd, 0)
    return fd, True


def _read_abi(parser: argparse.ArgumentParser, args: argparse.Namespace) -> tuple[Any, list[str]]:
    """The decoder for --abi and --event, and their events' topic0 values;
    exits 2 when they cannot be used."""
    if args.abi is None:
        if args.event:
            parser.error("argument --event: names events of an ABI: give --abi too")
        return None, []
    from . import abi

    try:
        with open(args.abi, "rb") as f:
            text = f.read().decode("utf-8")
        events = abi.read_events(text, args.event or None)
        if not events:
            raise ValueError("the ABI has no events")
        decoder = abi.decoder(events, args.checksum_addresses)
    except (OSError, UnicodeDecodeError, ValueError, TypeError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        parser.error(f"argument --abi: {args.abi}: {' '.join(str(reason).split())}")
    return decoder, [event.topic0_hex for event in events]


def _check_sink(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Exits 2 when --sink cannot be used: without --abi, or with table
    names the sinks refuse (tried on an SQLite database in memory, whose
    naming rules are those of every sink)."""
    kind = None if args.sink is None else args.sink.partition(":")[0]
    if args.table_prefix and kind not in ("sqlite", "postgres"):
        parser.error("argument --table-prefix: names the tables of an sqlite: or postgres: --sink")
    if args.chunk_blocks is not None and kind != "parquet":
        parser.error("argument --chunk-blocks: sizes the files of a parquet: --sink")
    if args.sink is None:
        return
    if args.decoder is None:
        parser.error("argument --sink: writes decoded events: give --abi too")
    if kind == "parquet":
        from .parquet import _pyarrow

        try:
            _pyarrow()
        except ImportError as error:
            parser.error(f"argument --sink: {error}")
        args.chunk_blocks = args.chunk_blocks or 1000
        # The events of a range are written once the range is complete.
        if args.to_block is not None and (args.to_block + 1) % args.chunk_blocks:
            below = args.to_block // args.chunk_blocks * args.chunk_blocks - 1
            parser.error(f"--to-block {args.to_block} does not end a range of {args.chunk_blocks} blocks, "
                         f"so its range's events would not be written: give {below} or "
                         f"{below + args.chunk_blocks}")
        return
    import vorlane_stores

    try:
        vorlane_stores.SqliteSink(":memory:", args.decoder.types, prefix=args.table_prefix)
    except ValueError as error:
        parser.error(f"argument --table-prefix: {error}")


def _open_sink(args: argparse.Namespace) -> Any:
    import vorlane_stores

    from .sinks import SinkHandler

    kind, _, where = args.sink.partition(":")
    if kind == "parquet":
        from .parquet import ParquetSink

        return SinkHandler(ParquetSink(where, args.decoder.types, chunk_blocks=args.chunk_blocks), args.decoder)
    make = vorlane_stores.SqliteSink if kind == "sqlite" else vorlane_stores.PostgresSink
    return SinkHandler(make(where, args.decoder.types, prefix=args.table_prefix), args.decoder)


def _open_store(text: str) -> Any:
    if text == "memory":
        from vorlane import InMemoryStorage
        return InMemoryStorage()
    import vorlane_stores
    kind, _, where = text.partition(":")
    if kind == "sqlite":
        return vorlane_stores.SqliteStorage(where)
    return vorlane_stores.PostgresStorage(where)


def _summary(counters: Counters) -> str:
    last = "none" if counters.last_block is None else str(counters.last_block)
    depths = ", ".join(map(str, counters.rollback_depths)) or "none"
    return (f"last block {last}, {counters.blocks} blocks, {counters.logs} logs, "
            f"{counters.rollbacks} rollbacks (depths: {depths}), {counters.retries} retries, "
            f"{counters.round_trips} round trips")


def _path_absolute(text: str) -> str:
    """An sqlite: or parquet: store or sink with its path made absolute."""
    kind, colon, where = text.partition(":")
    return f"{kind}:{os.path.abspath(where)}" if kind in ("sqlite", "parquet") and colon else text


def _resumable(parser: argparse.ArgumentParser, argv: list[str]) -> list[str]:
    """`argv` as it resumes the same run from any directory: the values of
    the options that name files (metavar PATH or FILE) and an SQLite or
    Parquet store or sink made absolute. Options are matched as argparse
    matches them, abbreviations included."""
    fixes: dict[str, Callable[[str], str] | None] = {}
    for action in parser._actions:
        fix: Callable[[str], str] | None = _path_absolute if action.dest in ("store", "sink") else (
            os.path.abspath if action.metavar in ("PATH", "FILE") else None)
        fixes.update({o: fix for o in action.option_strings if o.startswith("--")})
    words: list[str] = []
    rest = iter(argv)
    for word in rest:
        words.append(word)
        if word == "--":
            words += rest
            break
        name, equals, value = word.partition("=")
        known = [name] if name in fixes else [o for o in fixes if o.startswith(name)]
        if not name.startswith("--") or len(known) != 1 or (fix := fixes[known[0]]) is None:
            continue
        if equals:
            words[-1] = f"{name}={fix(value)}"
        else:
            words += [fix(v) for v in [next(rest, None)] if v is not None]
    return words


def _command() -> list[str]:
    """The words that start this command again from any directory: the
    console script's absolute path, or else this interpreter with
    `-m vorlane_follow`."""
    main_spec = getattr(sys.modules.get("__main__"), "__spec__", None)
    script = sys.argv[0] if sys.argv else ""
    if (main_spec is None or main_spec.name != "vorlane_follow.__main__") \
            and os.path.basename(script) == PROG and os.path.isfile(script):
        return [os.path.abspath(script)]
    return [os.path.abspath(sys.executable) if sys.executable else "python3", "-m", "vorlane_follow"]


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # Every option is checked above or here, before anything is opened or created.
    if args.to_block is not None and args.to_block < args.from_block:
        parser.error(f"--to-block {args.to_block} is below --from-block {args.from_block}")
    args.decoder, args.event_topic0s = _read_abi(parser, args)
    _check_sink(parser, args)
    resume = _resumable(parser, sys.argv[1:] if argv is None else argv)
    if args.store is None and args.sink is None:
        args.store = DEFAULT_STORE
        resume += ["--store", _path_absolute(DEFAULT_STORE)]
    run = _Run(args, resume)
    signal.signal(signal.SIGINT, run.on_signal)
    signal.signal(signal.SIGTERM, run.on_signal)
    try:
        return run.follow()
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


class _Run:
    def __init__(self, args: argparse.Namespace, argv: list[str]) -> None:
        self.args = args
        self.argv = argv
        self.follower: Any = None
        import threading
        self.stopped = threading.Event()

    @property
    def signalled(self) -> bool:
        return self.stopped.is_set()

    def on_signal(self, _signum: int, _frame: Any) -> None:
        if self.signalled:  # a second one: stop waiting
            raise KeyboardInterrupt
        self.stopped.set()
        if self.follower is not None:
            self.follower.stop()

    def follow(self) -> int:
        import logging
        logging.basicConfig(level=logging.WARNING, stream=sys.stderr, format=f"{PROG}: %(message)s")
        if self.args.sink is not None and self.args.store is not None:
            logging.getLogger("vorlane_follow").warning(
                "--store keeps the checkpoint apart from the sink's rows: exactly once holds only "
                "with the sink as the store (no --store)")
        try:
            counters = self._follow()
        except (KeyboardInterrupt, SystemExit):
            raise
        except Exception as exc:
            text = " ".join(str(exc).split()) or type(exc).__name__
            print(f"{PROG}: error: {text}", file=sys.stderr)
            return 1
        if self.signalled and sys.stderr.isatty():
            # The terminal's ^C echo, and what is left of the progress bar,
            # end their line here rather than run into what follows.
            print(file=sys.stderr)
        # A signal that lands as `--to-block` is reached stops nothing: the
        # run is complete, with its checkpoint at the last block.
        if counters is not None and (not self.signalled or (
                self.args.to_block is not None and counters.last_block == self.args.to_block)):
            return 0
        if counters is not None:
            print(f"{PROG}: stopped; {_summary(counters)}", file=sys.stderr)
        if self.args.store == "memory":
            print(f"{PROG}: the memory store kept nothing: running again starts over", file=sys.stderr)
        else:
            print(f"{PROG}: resume with: {shlex.join([*_command(), *self.argv])}", file=sys.stderr)
        return 130

    def _follow(self) -> Counters | None:
        args = self.args
        from vorlane import EventFilter

        event_filter = EventFilter()
        for address in args.address:
            event_filter.add_address(address)
        for topic0 in args.topic0 or args.event_topic0s:
            event_filter.add_topic0(topic0)

        progress = _progress(args)
        opened: list[Any] = []  # the sink, the store and the output, once the node has answered
        if progress is not None:
            # Warnings are printed above the progress bar, not through it.
            from tqdm.contrib.logging import logging_redirect_tqdm  # type: ignore[import-untyped]

            redirect = logging_redirect_tqdm()
            redirect.__enter__()
        try:
            if args.rpc.startswith("ws"):
                import asyncio
                return asyncio.run(self._follow_ws(event_filter, progress, opened))
            import types

            from . import _connections
            from .sync import Follower

            # The follower needs only the endpoint: web3.py is not even imported.
            w3: Any = types.SimpleNamespace(provider=_connections.Endpoint(args.rpc))
            connection = _connections.connect(w3.provider, args.request_timeout)
            chain_id = _ask(connection, self)
            if chain_id is None or self.signalled:
                return None
            return self._start(  # type: ignore[no-any-return]
                Follower, w3, event_filter, chain_id, progress, opened).run()
        finally:
            for out in opened:
                if isinstance(out, JsonLines):
                    out.flush()
            if progress is not None:
                redirect.__exit__(None, None, None)
                progress.close()
            for owner in opened:
                if not isinstance(owner, JsonLines) and hasattr(owner, "close"):
                    owner.close()

    def _open(self, progress: Any, opened: list[Any]) -> tuple[JsonLines, Any]:
        """The output and the store (the sink's, the store's or both), opened
        only once the node has answered, so that a start-up that never
        reaches it leaves no file behind, and the sink first, so that one
        that cannot be opened leaves no output file; each put in `opened` as
        it opens, for the caller to flush and close."""
        args = self.args
        sink = store = None
        if args.sink is not None:
            sink = _open_sink(args)
            opened.append(sink.sink)
        if args.store is not None:
            store = _open_store(args.store)
            opened.append(store)
        if sink is not None:
            store = sink if store is None else _StoreBesideSink(store, sink.sink)
        fd, durable = (None, False) if sink is not None and args.output is None else _open_output(args.output)
        out = JsonLines(fd, durable=durable, near_head=args.confirmations + 1, decoder=args.decoder, sink=sink)
        out.progress = progress
        out.first_block = args.from_block
        opened.append(out)
        return out, store

    async def _follow_ws(self, event_filter: Any, progress: Any, opened: list[Any]) -> Counters | None:
        from web3 import AsyncWeb3, WebSocketProvider

        from . import _connections
        from .aio import AsyncFollower

        async with AsyncWeb3(WebSocketProvider(self.args.rpc)) as w3:
            connection = _connections.connect_async(w3.provider, self.args.request_timeout)
            chain_id = await _ask_async(connection, self)
            if chain_id is None or self.signalled:
                return None
            return await self._start(  # type: ignore[no-any-return]
                AsyncFollower, w3, event_filter, chain_id, progress, opened).run()

    def _start(self, make: Any, w3: Any, event_filter: Any, chain_id: int, progress: Any,
               opened: list[Any]) -> Any:
        """The follower (`make`: `Follower` or `AsyncFollower`) of the node
        that has answered with `chain_id`, its output and store opened."""
        args = self.args
        out, store = self._open(progress, opened)
        config = IndexerConfig(args.id, args.chain or str(chain_id), args.from_block, args.to_block,
                               args.confirmations, args.batch_size, args.checkpoint_interval,
                               args.poll_interval_ms)
        self.follower = make(w3, config, event_filter, _FlushingStore(store, out), out,
                             request_timeout=args.request_timeout, startup_timeout=args.startup_timeout)
        self.follower.engine.known_chain_id = chain_id
        self.follower.on_idle = out.idle
        out.counters = self.follower.counters
        if self.signalled:
            self.follower.stop()
        return self.follower


def _ask(connection: Any, run: _Run) -> int | None:
    """The node's chain id, asked once through the follower's own
    connection and retried like the follower's own start; None once
    signalled. Each try runs on a thread of its own, so that a signal ends
    the wait at once, whatever the node does."""
    import threading

    from . import _judge
    from .engine import GetChainId

    attempt = _judge.Retries(connection.url, 0.5, 10.0, run.args.startup_timeout).attempt(GetChainId())
    while True:
        done = threading.Event()
        outcome: list[Any] = []

        def ask() -> None:
            try:
                outcome.append(connection.perform(GetChainId())[0])
            except Exception as exc:  # noqa: BLE001 - judged below
                outcome.append(exc)
            done.set()

        threading.Thread(target=ask, name="vorlane-follow-chain-id", daemon=True).start()
        while not done.wait(0.05):
            if run.signalled:
                return None
        if not isinstance(outcome[0], Exception):
            attempt.succeeded()
            return outcome[0]  # type: ignore[no-any-return]
        pause = _pause(attempt, outcome[0])
        if run.stopped.wait(pause):
            return None


async def _ask_async(connection: Any, run: _Run) -> int | None:
    """`_ask` over an asyncio connection."""
    import asyncio

    from . import _judge
    from .engine import GetChainId

    attempt = _judge.Retries(connection.url, 0.5, 10.0, run.args.startup_timeout).attempt(GetChainId())
    while True:
        task = asyncio.ensure_future(connection.perform(GetChainId()))
        while not task.done():
            await asyncio.wait([task], timeout=0.05)
            if run.signalled:
                task.cancel()
                return None
        exc = task.exception()
        if exc is None:
            attempt.succeeded()
            return task.result()[0]  # type: ignore[no-any-return]
        pause = _pause(attempt, exc)
        deadline = asyncio.get_running_loop().time() + pause
        while (left := deadline - asyncio.get_running_loop().time()) > 0:
            await asyncio.sleep(min(left, 0.05))
            if run.signalled:
                return None


def _pause(attempt: Any, exc: BaseException) -> float:
    """How long to wait before asking again; raises what ends the start."""
    from . import _judge

    verdict = attempt.failed(exc)
    if verdict.fate != _judge.RETRY:
        raise _judge.fatal(verdict, exc) from None
    return verdict.pause  # type: ignore[no-any-return]


def _progress(args: argparse.Namespace) -> Any:
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    total = None if args.to_block is None else args.to_block - args.from_block + 1
    return tqdm(total=total, unit=" blocks", file=sys.stderr, dynamic_ncols=True, leave=False)
