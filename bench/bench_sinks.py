"""Decoded events into a database with their checkpoint, against the Python
loop a user writes for the same rows.

Rows: ERC-20 Transfer records (from, to, value up to 10^24), 5 a block, a
checkpoint every 100 blocks. Each side writes the same rows into a table of
the same shape (the sink's own), and the same checkpoint, one transaction
per checkpoint:

- SqliteSink: on_block per block, save_checkpoint_if per checkpoint.
- sqlite3: executemany of tuples read from the same records (wide values
  as decimal text, as the sink stores them), then the checkpoint upsert.
- PostgresSink: as SqliteSink.
- psycopg 3: copy (FORMAT binary) with write_row of tuples read from the
  same records (values as Decimal, as numeric(78,0) takes them), then the
  checkpoint upsert, in one transaction.
- ParquetSink (when pyarrow is installed): as SqliteSink, files of 1,000
  blocks.
- pyarrow: Table.from_pylist of dicts read from the same records (wide
  values as decimal strings, the sink's schema) and parquet.write_table per
  1,000 blocks.

- Arrow tables (with pyarrow): per 1,000-block file, the table the
  ParquetSink builds (vorlane_stores.ArrowBatch imported by
  pyarrow.record_batch) against Table.from_pylist of dicts read from the
  same records, and parquet.write_table of that table on its own: how much
  of a file's time is building the table and how much writing it.

- The databases' own share (floors): the same transactions with nothing
  left to do in Python. SQLite: executemany of the loop's tuples built
  before the clock starts. PostgreSQL: each checkpoint's rows as the binary
  COPY stream the server itself wrote for them (read back with COPY TO
  STDOUT before the clock starts), sent with copy.write. A sink cannot beat
  its loop by more than the loop's time over the floor's: each ratio is
  printed with the floor's share of the loop's time (for Parquet, the
  write_table row's).

Both SQLite files run in WAL mode with synchronous=NORMAL, so the figures
are the work of writing rows rather than the disk's flushes. PostgreSQL:
the server named by VORLANE_TEST_PG_DSN, else a throwaway one started with
scripts/pg.sh. Printed: rows per second for each side (best of the
repeats) and each sink's ratio to its loop. `--only parquet` (or sqlite,
postgres; repeatable) runs those rows alone.
"""

from __future__ import annotations

import hashlib
import importlib.util
import random
import sqlite3
import tempfile
import time
from decimal import Decimal
from pathlib import Path

import psycopg

from _common import parse_args, pg_server, print_header

from vorlane import Checkpoint
from vorlane_stores import PostgresSink, SqliteSink

PER_BLOCK = 5
EVERY = 100


INSERT = ('INSERT INTO "transfer" (block_number, block_hash, log_index, transaction_hash,'
          ' transaction_index, address, "from", "to", value) VALUES (?,?,?,?,?,?,?,?,?)')
UPSERT = ("INSERT INTO vorlane_checkpoints VALUES (?, ?, ?, ?, ?) ON CONFLICT"
          " (chain_id, indexer_id) DO UPDATE SET block_number = excluded.block_number,"
          " block_hash = excluded.block_hash, updated_at = excluded.updated_at")
PG_COLUMNS = ('"transfer" (block_number, block_hash, log_index, transaction_hash,'
              ' transaction_index, address, "from", "to", value)')
PG_UPSERT = ("INSERT INTO vorlane_checkpoints (key, chain_id, indexer_id, block_number, block_hash,"
             " updated_at) VALUES ('\\x0162656e6368', '1', 'bench', %s, %s, 0) ON CONFLICT (key)"
             " DO UPDATE SET block_number = excluded.block_number, block_hash = excluded.block_hash,"
             " updated_at = excluded.updated_at")


def transfer_class():
    signature = "Transfer(address,address,uint256)"
    return type("Transfer", (tuple,), {
        "__event_name__": "Transfer", "__event_signature__": signature,
        "__topic0__": hashlib.sha256(signature.encode()).digest(), "__abi__": {},
        "__schema__": (("from", "address", True), ("to", "address", True),
                       ("value", "uint256", False))})


def blocks(n_blocks: int):
    rng = random.Random(1)
    cls = transfer_class()
    out = []
    for b in range(1, n_blocks + 1):
        block_hash = f"0x{rng.getrandbits(256):064x}"
        records = []
        for i in range(PER_BLOCK):
            r = cls((f"0x{rng.getrandbits(160):040x}", f"0x{rng.getrandbits(160):040x}",
                     rng.randrange(10**24)))
            r.block_number, r.block_hash, r.log_index = b, block_hash, i
            r.transaction_hash, r.transaction_index = f"0x{rng.getrandbits(256):064x}", i
            r.address = "0xa0b86991c6218b36c1d19d4a2e9eb0ce3606eb48"
            records.append(r)
        out.append(records)
    return cls, out


def fresh(folder: Path, name: str) -> Path:
    path = folder / name
    for suffix in ("", "-wal", "-shm", "-lock"):
        Path(f"{path}{suffix}").unlink(missing_ok=True)
    return path


def run_sink(sink, data) -> float:
    start = time.perf_counter()
    saved = None
    for records in data:
        b = records[0].block_number
        sink.on_block(None, records)
        if b % EVERY == 0:
            sink.save_checkpoint_if(Checkpoint("1", "bench", b, records[0].block_hash), saved)
            saved = b
    elapsed = time.perf_counter() - start
    sink.close()
    return elapsed


def run_sqlite3(path: Path, cls, data) -> float:
    # The table and checkpoint table made by the sink, then written by sqlite3.
    SqliteSink(path, [cls]).close()
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    start = time.perf_counter()
    rows = []
    for records in data:
        b = records[0].block_number
        rows.extend((r.block_number, r.block_hash, r.log_index, r.transaction_hash,
                     r.transaction_index, r.address, r[0], r[1], str(r[2])) for r in records)
        if b % EVERY == 0:
            db.execute("BEGIN IMMEDIATE")
            db.executemany(INSERT, rows)
            db.execute(UPSERT, (b"1", b"bench", b, records[0].block_hash.encode(), 0))
            db.execute("COMMIT")
            rows.clear()
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def sqlite_rows(data) -> list[list[tuple]]:
    """The loop's tuples, one list per checkpoint."""
    out, rows = [], []
    for records in data:
        rows.extend((r.block_number, r.block_hash, r.log_index, r.transaction_hash,
                     r.transaction_index, r.address, r[0], r[1], str(r[2])) for r in records)
        if records[0].block_number % EVERY == 0:
            out.append(rows)
            rows = []
    return out


def run_sqlite_floor(path: Path, cls, chunks: list[list[tuple]]) -> float:
    SqliteSink(path, [cls]).close()
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    start = time.perf_counter()
    for i, rows in enumerate(chunks):
        db.execute("BEGIN IMMEDIATE")
        db.executemany(INSERT, rows)
        db.execute(UPSERT, (b"1", b"bench", (i + 1) * EVERY, rows[-1][1].encode(), 0))
        db.execute("COMMIT")
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def run_pyarrow(folder: Path, data) -> float:
    import pyarrow as pa
    import pyarrow.parquet as pq
    schema = pa.schema([("block_number", pa.uint64()), ("block_hash", pa.string()),
                        ("log_index", pa.uint32()), ("transaction_hash", pa.string()),
                        ("transaction_index", pa.uint32()), ("address", pa.string()),
                        ("from", pa.string()), ("to", pa.string()), ("value", pa.string())])
    folder.mkdir(exist_ok=True)
    start = time.perf_counter()
    rows = []
    for records in data:
        b = records[0].block_number
        rows.extend({"block_number": r.block_number, "block_hash": r.block_hash,
                     "log_index": r.log_index, "transaction_hash": r.transaction_hash,
                     "transaction_index": r.transaction_index, "address": r.address,
                     "from": r[0], "to": r[1], "value": str(r[2])} for r in records)
        if b % 1000 == 999:
            pq.write_table(pa.Table.from_pylist(rows, schema=schema), folder / f"{b - 999:012d}.parquet")
            rows.clear()
    elapsed = time.perf_counter() - start
    return elapsed


def run_tables(cls, data, folder: Path) -> dict[str, float]:
    """Seconds over all 1,000-block files: the sink's table build, the
    from_pylist build of the same rows, and write_table of the table."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    from vorlane_follow.parquet import ParquetSink
    from vorlane_stores import ArrowBatch
    sink = ParquetSink(folder / "schema", [cls])
    _, schema, columns = sink._types[cls.__topic0__]
    sink.close()
    names = schema.names
    seconds = dict.fromkeys(("ArrowBatch table", "from_pylist table", "write_table"), 0.0)
    for first in range(0, len(data), 1000):
        records = [r for block in data[first:first + 1000] for r in block]
        start = time.perf_counter()
        table = pa.Table.from_batches([pa.record_batch(ArrowBatch(columns, records))], schema=schema)
        seconds["ArrowBatch table"] += time.perf_counter() - start
        start = time.perf_counter()
        rows = [dict(zip(names, (r.block_number, r.block_hash, r.log_index, r.transaction_hash,
                                 r.transaction_index, r.address, r[0], r[1], str(r[2])))) for r in records]
        pa.Table.from_pylist(rows, schema=schema)
        seconds["from_pylist table"] += time.perf_counter() - start
        start = time.perf_counter()
        pq.write_table(table, folder / f"{first:012d}.parquet")
        seconds["write_table"] += time.perf_counter() - start
    return seconds


def pg_reset(dsn: str) -> None:
    with psycopg.connect(dsn, autocommit=True) as db:
        db.execute('DROP TABLE IF EXISTS "transfer", vorlane_checkpoints')


def run_psycopg(dsn: str, cls, data) -> float:
    pg_reset(dsn)
    PostgresSink(dsn, [cls]).close()  # the same tables
    db = psycopg.connect(dsn)
    copy = f"COPY {PG_COLUMNS} FROM STDIN (FORMAT binary)"
    types = ["int8", "text", "int8", "text", "int8", "text", "text", "text", "numeric"]
    start = time.perf_counter()
    rows = []
    for records in data:
        b = records[0].block_number
        rows.extend((r.block_number, r.block_hash, r.log_index, r.transaction_hash,
                     r.transaction_index, r.address, r[0], r[1], Decimal(r[2])) for r in records)
        if b % EVERY == 0:
            with db.transaction():
                with db.cursor().copy(copy) as writer:
                    writer.set_types(types)
                    for row in rows:
                        writer.write_row(row)
                db.execute(PG_UPSERT, (b, records[0].block_hash.encode()))
            rows.clear()
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def pg_streams(dsn: str) -> list[bytes]:
    """Each checkpoint's rows as the server's own binary COPY stream, read
    back from the table the last run wrote."""
    out = []
    with psycopg.connect(dsn) as db:
        last = db.execute('SELECT max(block_number) FROM "transfer"').fetchone()[0]
        for b in range(EVERY, last + 1, EVERY):
            query = (f'COPY (SELECT * FROM "transfer" WHERE block_number > {b - EVERY}'
                     f" AND block_number <= {b} ORDER BY block_number, log_index) TO STDOUT (FORMAT binary)")
            with db.cursor().copy(query) as reader:
                out.append(b"".join(bytes(chunk) for chunk in reader))
    return out


def run_pg_floor(dsn: str, cls, streams: list[bytes]) -> float:
    pg_reset(dsn)
    PostgresSink(dsn, [cls]).close()
    db = psycopg.connect(dsn)
    copy = f"COPY {PG_COLUMNS} FROM STDIN (FORMAT binary)"
    start = time.perf_counter()
    for i, stream in enumerate(streams):
        with db.transaction():
            with db.cursor().copy(copy) as writer:
                writer.write(stream)
            db.execute(PG_UPSERT, ((i + 1) * EVERY, b"0x"))
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def main() -> None:
    kinds = ("sqlite", "postgres", "parquet")
    args = parse_args(__doc__.splitlines()[0], lambda p: p.add_argument(
        "--only", action="append", choices=kinds, help="run only these rows (repeatable)"))
    only = set(args.only or kinds)
    print_header("decoded events into SQLite, PostgreSQL and Parquet files with their checkpoint", args)
    n_blocks = 4_000 if args.quick else 40_000
    repeats = 2 if args.quick else 5
    cls, data = blocks(n_blocks)
    rows = n_blocks * PER_BLOCK
    best: dict[str, float] = {}

    def keep(name: str, seconds: float) -> None:
        best[name] = min(best.get(name, float("inf")), seconds)

    with tempfile.TemporaryDirectory() as folder:
        for _ in range(repeats if "sqlite" in only else 0):
            keep("SqliteSink", run_sink(SqliteSink(fresh(Path(folder), "s.db"), [cls],
                                                   synchronous=False), data))
            keep("sqlite3.executemany", run_sqlite3(fresh(Path(folder), "p.db"), cls, data))
            keep("SQLite floor", run_sqlite_floor(fresh(Path(folder), "f.db"), cls, sqlite_rows(data)))
        if "parquet" in only and importlib.util.find_spec("pyarrow"):
            from vorlane_follow.parquet import ParquetSink
            for i in range(repeats):
                keep("ParquetSink", run_sink(ParquetSink(Path(folder, f"q{i}"), [cls]), data))
                keep("pyarrow from_pylist", run_pyarrow(Path(folder, f"a{i}"), data))
                for name, seconds in run_tables(cls, data, Path(folder, f"t{i}")).items():
                    keep(name, seconds)
    if "postgres" in only:
        with pg_server() as dsn:
            for _ in range(repeats):
                pg_reset(dsn)
                keep("PostgresSink", run_sink(PostgresSink(dsn, [cls]), data))
                keep("psycopg copy.write_row", run_psycopg(dsn, cls, data))
                keep("PostgreSQL floor", run_pg_floor(dsn, cls, pg_streams(dsn)))
    print(f"{rows} rows, {PER_BLOCK} a block, a checkpoint every {EVERY} blocks, best of {repeats}")
    for name, seconds in best.items():
        print(f"  {name:<24} {rows / seconds:>12,.0f} rows/s  ({seconds:.3f} s)")
    for sink, loop, floor in (("SqliteSink", "sqlite3.executemany", "SQLite floor"),
                              ("PostgresSink", "psycopg copy.write_row", "PostgreSQL floor"),
                              ("ParquetSink", "pyarrow from_pylist", "write_table"),
                              ("ArrowBatch table", "from_pylist table", None)):
        if sink not in best:
            continue
        bound = (f" ({floor}: {best[floor] / best[loop]:.0%} of the loop's time)"
                 if floor in best else "")
        print(f"  {sink} / {loop}: {best[loop] / best[sink]:.2f}x the rows per second{bound}")
    if "write_table" in best:
        print(f"  write_table: {best['write_table'] / best['ParquetSink']:.0%} of ParquetSink's time,"
              f" the ArrowBatch table {best['ArrowBatch table'] / best['ParquetSink']:.0%}")


if __name__ == "__main__":
    main()
