"""ParquetSink: decoded events in Parquet files, one per event type and
range of `chunk_blocks` blocks, the files being the checkpoint.

Layout: `DIR/<event>/<first>-<last>.parquet` (block numbers, 12 digits, so
names sort by block). A file is written under a hidden name (`.<name>.tmp`)
and renamed into place, so every visible `*.parquet` file is complete. Each
file's key-value metadata holds `vorlane.through` (the last block whose rows
it holds; the range's last block unless a rollback cut the range short) and
`vorlane.block_hash` (that block's hash), `vorlane.generation` and the chain
and indexer ids.

The durable checkpoint is the `through` of the last range, walking up from
the lowest, whose files exist for every event type and agree on their
generation and `through` (a save that rewrites files after a rollback takes
a new generation, so a range left half rewritten by a crash ends the walk;
the files of one save for one range are otherwise alike). Opening the sink
restores that state: files past it are cut back or removed, rows of a range
it leaves incomplete are read back into memory.
"""

from __future__ import annotations

import fcntl
import json
import os
import re
from bisect import bisect_right
from operator import attrgetter
from pathlib import Path
from typing import Any, Iterable

LOG_COLUMNS = ("block_number", "block_hash", "log_index", "transaction_hash", "transaction_index",
               "address")
WIDE_INTS = ("string", "binary", "float")
_NAME = re.compile(r"^(\d{12})-(\d{12})\.parquet$")


def _pyarrow() -> Any:
    try:
        # pyarrow ships no type information; where it is missing at all the
        # import is what fails, and is answered below.
        import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.compute  # type: ignore[import-untyped,import-not-found,unused-ignore]  # noqa: F401
        import pyarrow.parquet  # type: ignore[import-untyped,import-not-found,unused-ignore]  # noqa: F401
    except ImportError as e:
        raise ImportError("ParquetSink needs pyarrow, the extra [parquet]: pip install '.[parquet]'") from e
    return pyarrow


def _split(inner: str) -> list[str]:
    """Top-level comma split of a tuple's component list."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(inner):
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(inner[start:i])
            start = i + 1
    if inner:
        parts.append(inner[start:])
    return parts


def _arrow_type(pa: Any, type_: str, wide: str) -> Any:
    """The Arrow type of an ABI type's column (vorlane_stores.ArrowBatch
    builds the same)."""
    if type_.endswith("]"):
        return pa.list_(_arrow_type(pa, type_[:type_.rindex("[")], wide))
    if type_.startswith("("):
        return pa.struct([(f"f{i}", _arrow_type(pa, t, wide)) for i, t in enumerate(_split(type_[1:-1]))])
    if type_.startswith(("uint", "int")):
        signed = type_.startswith("int")
        if int(type_[3 + (not signed):] or 256) <= 64:
            return pa.int64() if signed else pa.uint64()
        return {"string": pa.string(), "float": pa.float64()}.get(wide, pa.binary(32))
    if type_ == "bool":
        return pa.bool_()
    if type_ in ("address", "string"):
        return pa.string()
    return pa.binary()  # bytes, bytesN


class ParquetSink:
    """Decoded events into Parquet files under `directory`, as a follower's
    handler and checkpoint store in one (see the module's text)."""

    def __init__(self, directory: str | os.PathLike[str], events: Iterable[Any], *,
                 chunk_blocks: int = 1000, wide_ints: str = "string") -> None:
        pa = _pyarrow()
        if wide_ints not in WIDE_INTS:
            raise ValueError(f"wide_ints must be one of {', '.join(WIDE_INTS)}, got {wide_ints!r}")
        if chunk_blocks < 1:
            raise ValueError(f"chunk_blocks must be at least 1, got {chunk_blocks}")
        from vorlane_stores import ArrowBatch
        self._pa = pa
        self._batch = ArrowBatch
        self._wide = wide_ints
        self.directory = Path(directory)
        self.chunk = chunk_blocks
        classes: dict[bytes, Any] = {}
        for cls in events:
            classes.setdefault(cls.__topic0__, cls)
        names = [cls.__event_name__ for cls in classes.values()]
        # Per topic0: the folder name, the files' schema and the argument
        # columns as ArrowBatch takes them: (column name, ABI type, indexed).
        self._types: dict[bytes, tuple[str, Any, list[tuple[str, str, bool]]]] = {}
        for cls in classes.values():
            name = cls.__event_name__
            if not name or "/" in name or name.startswith("."):
                raise ValueError(f"invalid folder name {name!r} for event {cls.__event_signature__}")
            if names.count(name) > 1:
                name = f"{name}_{cls.__topic0__[:4].hex()}"
            fields = [pa.field("block_number", pa.uint64()), pa.field("block_hash", pa.string()),
                      pa.field("log_index", pa.uint32()), pa.field("transaction_hash", pa.string()),
                      pa.field("transaction_index", pa.uint32()), pa.field("address", pa.string())]
            columns = []
            taken = set(LOG_COLUMNS)
            for i, (arg, type_, indexed) in enumerate(cls.__schema__):
                dynamic = type_ in ("string", "bytes") or type_.endswith("]") or type_.startswith("(")
                arrow = _arrow_type(pa, "bytes32" if indexed and dynamic else type_, wide_ints)
                arg = f"{arg}_" if arg in LOG_COLUMNS else arg or f"arg{i}"
                if arg in taken:
                    raise ValueError(f'event {cls.__event_signature__} has two arguments named "{arg}"')
                taken.add(arg)
                fields.append(pa.field(arg, arrow))
                columns.append((arg, type_, bool(indexed)))
            self._types[cls.__topic0__] = (name, pa.schema(fields), columns)
        self.directory.mkdir(parents=True, exist_ok=True)
        self._lock = open(self.directory / ".lock", "a")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._lock.close()
            raise RuntimeError(f"Parquet folder {self.directory} is open by another writer") from None
        # Rows not yet in a file (or to be rewritten), per topic0: the rows
        # of the lowest pending range read back from its file (after a
        # rollback cut it), then records in block order.
        self._back: dict[bytes, Any] = {t: None for t in self._types}
        self._classes: dict[type, bytes | None] = {}
        self._rows: dict[bytes, list[Any]] = {t: [] for t in self._types}
        self._hashes: dict[int, str] = {}
        # Bumped by each save that rewrites files after a rollback, so that
        # a range whose files a crash left from two saves is told apart.
        self._gen = 0
        self._stale = False  # a save failed part way; memory no longer matches the files
        self._ids = ("", "")
        self._written: int | None = None  # the durable checkpoint's block
        self._dirty: int | None = None    # files from this block's range up are to be rewritten
        self._saved: int | None = None    # the fence: the last checkpoint saved or found
        self._restore()

    # ---- files

    def _folder(self, topic: bytes) -> Path:
        return self.directory / self._types[topic][0]

    def _files(self, topic: bytes) -> list[tuple[int, Path]]:
        """The type's contiguous files from its lowest range, as (range index, path)."""
        folder = self._folder(topic)
        return sorted((int(m[1]) // self.chunk, folder / m[0])
                      for m in (_NAME.match(n) for n in (os.listdir(folder) if folder.exists() else ()))
                      if m)

    def _meta(self, path: Path) -> dict[bytes, bytes]:
        return self._pa.parquet.read_schema(path).metadata or {}

    def _table(self, topic: bytes, records: list[Any]) -> Any:
        """The topic's pending rows read back, then `records`, as a table.
        The columns are built natively and imported without a copy; the
        schema given to the table checks they are the files' types."""
        pa = self._pa
        _, schema, columns = self._types[topic]
        batch = pa.record_batch(self._batch(columns, records, wide_ints=self._wide))
        table = pa.Table.from_batches([batch], schema=schema)
        back = self._back[topic]
        return table if back is None else pa.concat_tables([back, table])

    def _write(self, topic: bytes, k: int, table: Any, through: int, hash_: str) -> None:
        folder = self._folder(topic)
        folder.mkdir(exist_ok=True)
        final = folder / f"{k * self.chunk:012d}-{(k + 1) * self.chunk - 1:012d}.parquet"
        temp = folder / f".{final.name}.tmp"
        self._pa.parquet.write_table(table.replace_schema_metadata(
            {"vorlane.through": str(through), "vorlane.block_hash": hash_,
             "vorlane.generation": str(self._gen),
             "vorlane.chain_id": self._ids[0], "vorlane.indexer_id": self._ids[1]}), temp)
        with open(temp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(temp, final)

    def _sync_folder(self, topic: bytes) -> None:
        fd = os.open(self._folder(topic), os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    def _upto(self, table: Any, n: int) -> Any:
        """The rows of `table` up to block n."""
        return table.filter(self._pa.compute.less_equal(table["block_number"], n))

    def _read_back(self, path: Path, upto: int) -> Any:
        return self._upto(self._pa.parquet.read_table(path).replace_schema_metadata(None), upto)

    def _restore(self) -> None:
        """Finds the stored checkpoint: the last range, walking up from the
        lowest, whose files exist for every event type with one generation
        and one last block; then cuts the files back to it."""
        files = {}
        for topic in self._types:
            folder = self._folder(topic)
            if folder.exists():
                for n in os.listdir(folder):
                    if n.startswith(".") and n.endswith(".tmp"):
                        os.unlink(folder / n)
            files[topic] = dict(self._files(topic))
        through, hash_, ids, expect = None, "", ("", ""), None
        for k in sorted(set().union(*files.values())):
            metas = [self._meta(f[k]) for f in files.values() if k in f]
            self._gen = max([self._gen, *(int(m[b"vorlane.generation"]) for m in metas)])
            if expect is not None and k != expect or len(metas) != len(files):
                break
            if len({(m[b"vorlane.generation"], m[b"vorlane.through"]) for m in metas}) != 1:
                break
            through = int(metas[0][b"vorlane.through"])
            hash_ = metas[0][b"vorlane.block_hash"].decode()
            ids = (metas[0][b"vorlane.chain_id"].decode(), metas[0][b"vorlane.indexer_id"].decode())
            if through < (k + 1) * self.chunk - 1:
                break
            expect = k + 1
        self._ids = ids
        self._written = self._saved = through
        self._hash = hash_
        self._cut(through, hash_)

    def _cut(self, n: int | None, hash_: str) -> None:
        """Makes the files hold exactly the rows up to block n: the range
        holding n is rewritten (or kept if whole) and its rows below n kept
        in memory when it is incomplete; later files are removed, lowest
        first, so that a crash between leaves a contiguous run."""
        for topic in self._types:
            back = None
            for k, path in self._files(topic):
                first, end = k * self.chunk, (k + 1) * self.chunk - 1
                if n is not None and end <= n:
                    continue
                if n is not None and first <= n:
                    back = self._read_back(path, n)
                    if int(self._meta(path)[b"vorlane.through"]) != n:
                        self._write(topic, k, back, n, hash_)
                else:
                    path.unlink()
            self._back[topic] = back
            self._rows[topic] = [r for r in self._rows[topic] if n is not None and r.block_number > n]
            if self._folder(topic).exists():
                self._sync_folder(topic)

    # ---- handler

    def _usable(self) -> None:
        if self._lock.closed:
            raise RuntimeError("the sink is closed")
        if self._stale:
            raise RuntimeError("a checkpoint save failed: roll back to the stored checkpoint"
                               " (on_rollback) before delivering blocks")

    def _topic_of(self, e: Any) -> bytes | None:
        """The topic0 of `e`'s event, None for an undecoded log."""
        topic: bytes | None = getattr(type(e), "__topic0__", None)
        if topic is None:
            if hasattr(e, "topics"):
                return None
            raise TypeError(f"expected decoded event records or Log objects, got {type(e).__name__!r}")
        if topic not in self._types:
            raise ValueError(f"event {type(e).__event_signature__} is not one of the sink's events")
        return topic

    def on_block(self, block: Any, events: Iterable[Any]) -> None:
        self._usable()
        events = events if isinstance(events, list) else list(events)
        if block is not None:
            self._hashes[block.number] = block.hash
        if not events:
            return
        # Each kind of record met is judged once (and all before any row is
        # kept, so a refused call keeps none); a block's records are mostly
        # of one kind, kept in one extend.
        classes = self._classes
        kinds = {type(e): e for e in events}
        for kind, sample in kinds.items():
            if kind not in classes:
                classes[kind] = self._topic_of(sample)
        rows = self._rows
        if len(kinds) == 1:
            topic = classes[type(events[0])]
            kept = events if topic is not None else []
            if topic is not None:
                rows[topic].extend(events)
        else:
            kept = []
            for e in events:
                topic = classes[type(e)]
                if topic is not None:
                    rows[topic].append(e)
                    kept.append(e)
        if block is None:
            for e in kept:
                self._hashes.setdefault(e.block_number, e.block_hash)

    def on_rollback(self, block_number: int) -> None:
        n = int(block_number)
        if self._stale:
            # A save failed part way: memory is dropped and the files read
            # again, as when the folder is opened.
            for topic in self._types:
                self._back[topic], self._rows[topic] = None, []
            self._hashes.clear()
            self._dirty = None
            self._restore()
            self._stale = False
        for topic, rows in self._rows.items():
            self._rows[topic] = [r for r in rows if r.block_number <= n]
            if self._back[topic] is not None:
                self._back[topic] = self._upto(self._back[topic], n)
        for b in [b for b in self._hashes if b > n]:
            del self._hashes[b]
        if self._written is not None and n < self._written and (self._dirty is None or n < self._dirty):
            # The rows up to n of the range holding n (unless n ends it) come
            # back into memory; the files from that range up are replaced at
            # the next save. (Past an earlier rollback not yet saved, the
            # files hold abandoned rows: what is kept is in memory already.)
            cut = n // self.chunk if (n + 1) % self.chunk else None
            for topic in self._types:
                self._back[topic] = next((self._read_back(path, n) for k, path in self._files(topic)
                                          if k == cut), None)
            self._dirty = n if self._dirty is None else min(self._dirty, n)

    # ---- store

    def load_checkpoint(self, chain_id: str, indexer_id: str) -> Any:
        """The files' checkpoint. The files hold one chain's and indexer's
        events: another pair is refused rather than given none (which would
        start over in the same files)."""
        from vorlane import Checkpoint
        if self._written is None:
            return None
        if (chain_id, indexer_id) != self._ids:
            raise ValueError(f"Parquet folder {self.directory} holds the events of chain {self._ids[0]!r}, "
                             f"indexer {self._ids[1]!r}, not of chain {chain_id!r}, indexer {indexer_id!r}")
        return Checkpoint(chain_id, indexer_id, self._written, self._hash)

    def save_checkpoint(self, checkpoint: Any) -> None:
        self._usable()
        self._save(checkpoint)

    def save_checkpoint_if(self, checkpoint: Any, expected_block_number: int | None) -> None:
        self._usable()
        if expected_block_number != self._saved:
            raise RuntimeError(f"Checkpoint mismatch at block {self._saved}")
        self._save(checkpoint)

    def _save(self, cp: Any) -> None:
        try:
            self._save_files(cp)
        except BaseException:
            self._stale = True
            raise

    def _save_files(self, cp: Any) -> None:
        b = cp.block_number
        self._hashes[b] = cp.block_hash
        self._ids = (cp.chain_id, cp.indexer_id)
        if self._dirty is not None:
            first = self._dirty + 1
            self._gen += 1
        elif self._written is not None:
            first = self._written + 1
        else:
            first = min(self._hashes)
        complete = (b + 1) // self.chunk  # ranges [0, complete) end at or before b
        through = self._written
        for k in range(first // self.chunk, complete):
            end = (k + 1) * self.chunk - 1
            if end not in self._hashes:
                raise ValueError(f"block {end} ends a range but its hash was not seen")
            for topic in self._types:
                rows = self._rows[topic]
                i = bisect_right(rows, end, key=attrgetter("block_number"))
                self._write(topic, k, self._table(topic, rows[:i]), end, self._hashes[end])
                self._back[topic], self._rows[topic] = None, rows[i:]
            through = end
        if self._dirty is not None:
            # The range holding b was cut short by the rollback: its file is
            # rewritten as far as b, the files past it are removed.
            k = b // self.chunk
            if complete <= k:
                for topic in self._types:
                    table = self._table(topic, self._rows[topic])
                    self._write(topic, k, table, b, cp.block_hash)
                    self._back[topic], self._rows[topic] = table, []
                through = b
            for topic in self._types:
                for j, path in self._files(topic):
                    if j > k:
                        path.unlink()
            self._dirty = None
        if through != self._written:
            for topic in self._types:
                if self._folder(topic).exists():
                    self._sync_folder(topic)
            assert through is not None
            self._written, self._hash = through, self._hashes[through]
        for x in [x for x in self._hashes if x <= (self._written if self._written is not None else -1)]:
            del self._hashes[x]
        self._saved = b

    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None:
        """Removes every file: with the files gone there is no checkpoint."""
        self._cut(None, "")
        self._written = self._saved = self._dirty = None

    def close(self) -> None:
        if not self._lock.closed:
            fcntl.flock(self._lock, fcntl.LOCK_UN)
            self._lock.close()

    def __enter__(self) -> "ParquetSink":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
