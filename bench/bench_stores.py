"""Durable checkpoint stores against Python drivers doing the same work.

SqliteStorage beside the standard library's sqlite3 on a file with the same
settings (WAL, the same synchronous level and busy timeout) running the same
statements; PostgresStorage beside psycopg 3 with prepared statements running
the same statements against the same server. Each row: microseconds per call
(median of the repeats), for vorlane and for the Python driver, and their
ratio vorlane/python (below 1: vorlane is faster); then the same ratio of
the calling thread's CPU time (user and system), which the rest of a shared
machine disturbs much less.

PostgreSQL: the server named by VORLANE_TEST_PG_DSN, else a throwaway one
started with scripts/pg.sh (fsync on).
"""

from __future__ import annotations

import hashlib
import itertools
import sqlite3
import statistics
import tempfile
import time

from _common import parse_args, pg_server, print_header

from vorlane import Checkpoint
from vorlane_stores import PostgresStorage, SqliteStorage

CP = Checkpoint("1", "erc20-transfers", 18_500_000, "0x" + "9f" * 32, 1_700_000_000)
REPEAT_US = 2000  # the length of one repeat of one side


def timed_us(call, calls: int) -> tuple[float, float]:
    """Microseconds per call: wall clock and the calling thread's CPU time."""
    wall, cpu = time.perf_counter_ns(), time.thread_time_ns()
    for _ in range(calls):
        call()
    return ((time.perf_counter_ns() - wall) / calls / 1e3,
            (time.thread_time_ns() - cpu) / calls / 1e3)


def row(name: str, ours: float, theirs: float, cpu_ratio: float) -> None:
    print(f"{name:<34}{ours:>10.1f} µs{theirs:>10.1f} µs{ours / theirs:>9.2f}x{cpu_ratio:>9.2f}x")


def calls_per_repeat(call) -> int:
    """As many calls as take about REPEAT_US, from 2 to 100."""
    per_call, _ = timed_us(call, 3)
    return max(2, min(100, round(REPEAT_US / per_call)))


def compare(title: str, ours: dict, theirs: dict, repeats: int) -> None:
    print(f"{title:<34}{'vorlane':>13}{'python':>13}{'ratio':>10}{'cpu':>10}")
    ratios = []
    for name in ours:
        # Many short repeats, the two sides in turn and each going first every
        # other time, so that a disturbance of the machine (above all of the
        # disk, for writes that wait on it), or whatever one side leaves
        # behind for the next, hits both alike.
        calls = calls_per_repeat(theirs[name])
        a, b = [], []
        for i in range(repeats):
            sides = [(ours[name], a), (theirs[name], b)]
            for call, out in sides[::-1] if i % 2 else sides:
                out.append(timed_us(call, calls))
        mine, other = statistics.median(w for w, _ in a), statistics.median(w for w, _ in b)
        cpu = statistics.median(c for _, c in a) / statistics.median(c for _, c in b)
        ratios.append(mine / other)
        row(name, mine, other, cpu)
    print(f"{'median ratio':<34}{'':>26}{statistics.median(ratios):>9.2f}x\n")


def sqlite_python(path: str, synchronous: bool):
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    db.execute("PRAGMA busy_timeout=5000")
    db.execute("PRAGMA journal_mode=WAL")
    db.execute(f"PRAGMA synchronous={'FULL' if synchronous else 'NORMAL'}")
    table = '"vorlane_checkpoints"'
    key = " WHERE chain_id = ?1 AND indexer_id = ?2"
    upsert = (f"INSERT INTO {table} (chain_id, indexer_id, block_number, block_hash, updated_at)"
              " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (chain_id, indexer_id)"
              " DO UPDATE SET block_number = excluded.block_number,"
              " block_hash = excluded.block_hash, updated_at = excluded.updated_at")
    load = f"SELECT block_number, block_hash, updated_at FROM {table}{key}"
    delete = f"DELETE FROM {table}{key}"

    # Writes take the write lock first, as the native store does, so that a
    # writer waits for another instead of failing busy.
    def save(cp=CP):
        db.execute("BEGIN IMMEDIATE")
        db.execute(upsert, (cp.chain_id.encode(), cp.indexer_id.encode(), cp.block_number,
                            cp.block_hash.encode(), cp.updated_at))
        db.execute("COMMIT")

    def load_checkpoint(chain_id="1", indexer_id="erc20-transfers"):
        r = db.execute(load, (chain_id.encode(), indexer_id.encode())).fetchone()
        return None if r is None else Checkpoint(chain_id, indexer_id, int(r[0]), r[1].decode(), r[2])

    def delete_checkpoint(chain_id="1", indexer_id="erc20-transfers"):
        db.execute("BEGIN IMMEDIATE")
        db.execute(delete, (chain_id.encode(), indexer_id.encode()))
        db.execute("COMMIT")

    return save, load_checkpoint, delete_checkpoint


def pair_key(chain_id: bytes, indexer_id: bytes) -> bytes:
    h = hashlib.sha256()
    for text in (chain_id, indexer_id):
        h.update(len(text).to_bytes(8, "big"))
        h.update(text)
    return h.digest()


def postgres_python(dsn: str, table: str):
    import psycopg

    db = psycopg.connect(dsn, autocommit=True, prepare_threshold=0)
    t = f'"{table}"'
    key = " WHERE key = %b AND chain_id = %b AND indexer_id = %b"
    upsert = (f"INSERT INTO {t} AS cur (key, chain_id, indexer_id, block_number, block_hash, updated_at)"
              " VALUES (%b, %b, %b, %s::numeric, %b, %s) ON CONFLICT (key) DO UPDATE SET"
              " block_number = EXCLUDED.block_number, block_hash = EXCLUDED.block_hash,"
              " updated_at = EXCLUDED.updated_at"
              " WHERE cur.chain_id = EXCLUDED.chain_id AND cur.indexer_id = EXCLUDED.indexer_id")
    load = f"SELECT block_number::text, block_hash, updated_at FROM {t}{key}"
    delete = f"DELETE FROM {t}{key}"

    def save(cp=CP):
        c, i = cp.chain_id.encode(), cp.indexer_id.encode()
        db.execute(upsert, (pair_key(c, i), c, i, str(cp.block_number), cp.block_hash.encode(),
                            cp.updated_at), prepare=True)

    def load_checkpoint(chain_id="1", indexer_id="erc20-transfers"):
        c, i = chain_id.encode(), indexer_id.encode()
        r = db.execute(load, (pair_key(c, i), c, i), prepare=True).fetchone()
        return None if r is None else Checkpoint(chain_id, indexer_id, int(r[0]), bytes(r[1]).decode(), r[2])

    def delete_checkpoint(chain_id="1", indexer_id="erc20-transfers"):
        c, i = chain_id.encode(), indexer_id.encode()
        db.execute(delete, (pair_key(c, i), c, i), prepare=True)

    return save, load_checkpoint, delete_checkpoint


def native(storage):
    # The same thin wrappers as the Python side, so both pay one extra call.
    def save(cp=CP):
        storage.save_checkpoint(cp)

    def load_checkpoint(chain_id="1", indexer_id="erc20-transfers"):
        return storage.load_checkpoint(chain_id, indexer_id)

    def delete_checkpoint(chain_id="1", indexer_id="erc20-transfers"):
        storage.delete_checkpoint(chain_id, indexer_id)

    return save, load_checkpoint, delete_checkpoint


def operations(save, load, delete) -> dict:
    # Every save changes the row (a save of identical values may write nothing).
    versions = itertools.cycle([CP, Checkpoint(CP.chain_id, CP.indexer_id, CP.block_number + 1,
                                               CP.block_hash, CP.updated_at + 12)])

    def save_next():
        save(next(versions))

    def load_miss():
        load("1", "never-saved")

    def delete_then_save():
        delete()
        save()

    return {"save (upsert)": save_next, "load, hit": load, "load, miss": load_miss,
            "delete + save": delete_then_save}


def main() -> None:
    args = parse_args(__doc__.splitlines()[0])
    print_header("durable stores", args)
    repeats = 21 if args.quick else 201

    with tempfile.TemporaryDirectory() as tmp:
        for synchronous in (True, False):
            ours = SqliteStorage(f"{tmp}/native-{synchronous}.db", synchronous=synchronous)
            theirs = sqlite_python(f"{tmp}/python-{synchronous}.db", synchronous)
            # The Python side needs the table: the native store creates it.
            SqliteStorage(f"{tmp}/python-{synchronous}.db").close()
            level = "FULL" if synchronous else "NORMAL"
            for side in (ours.save_checkpoint, theirs[0]):
                side(CP)
            compare(f"SQLite, synchronous={level}", operations(*native(ours)),
                    operations(*theirs), repeats)
            ours.close()

    try:
        import psycopg  # noqa: F401
    except ImportError:
        print("PostgreSQL: skipped, psycopg is not installed (pip install 'psycopg[binary]')")
        return
    with pg_server() as dsn:
        ours = PostgresStorage(dsn, table="bench_native")
        theirs_table = "bench_python"
        PostgresStorage(dsn, table=theirs_table).close()
        theirs = postgres_python(dsn, theirs_table)
        ours.save_checkpoint(CP)
        theirs[0](CP)
        compare("PostgreSQL (fsync on)", operations(*native(ours)), operations(*theirs), repeats)
        ours.close()


if __name__ == "__main__":
    main()
