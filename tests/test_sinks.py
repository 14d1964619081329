"""Sinks: decoded events written into database tables in the transaction of
the checkpoint that covers them.

Records here are small stand-ins that follow the decoded-record contract:
a class per event with __event_name__, __event_signature__, __topic0__ and
__schema__, values by position, log fields as attributes."""
import hashlib
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest
from vorlane import Checkpoint
from vorlane_rpc import Log
from vorlane_stores import SqliteSink, SqliteStorage


def event(name, *args):
    signature = f"{name}({','.join(t for _, t, _ in args)})"
    return type(name, (tuple,), {
        "__event_name__": name, "__event_signature__": signature,
        "__topic0__": hashlib.sha256(signature.encode()).digest(),
        "__schema__": tuple(args), "__abi__": {}})


def record(cls, block, index, *values, orphan=False):
    r = cls(values)
    r.block_number = block
    r.block_hash = f"0x{block + (1 << 40) * orphan:064x}"
    r.log_index = index
    r.transaction_hash = f"0x{block * 1000 + index:064x}"
    r.transaction_index = None if index == 3 else index
    r.address = "0x" + "ab" * 20
    return r


def log_columns(r):
    return (r.block_number, r.block_hash, r.log_index, r.transaction_hash, r.transaction_index,
            r.address)


Transfer = event("Transfer", ("from", "address", True), ("to", "address", True),
                 ("value", "uint256", False))
Note = event("Note", ("text", "string", False), ("amounts", "int256[]", False))
EVENTS = [Transfer, Note]


def chain_events(block, orphan=False):
    """A deterministic block of events; an orphaned version differs in every row."""
    out = [record(Transfer, block, i, f"0x{i:040x}", f"0x{block:040x}", block * 10**60 + i + orphan,
                  orphan=orphan) for i in range(block % 3)]
    if block % 5 == 0:
        out.append(record(Note, block, 3, f"n\0{block}{'x' * orphan}", (-block, 2**255 - 1),
                          orphan=orphan))
    return out


def stored(connection, table):
    return connection.execute(f'SELECT * FROM "{table}" ORDER BY block_number, log_index').fetchall()


def expected(events, decimal=(), json=()):
    """Rows as SQLite gives them back: wide ints as decimal text, arrays as JSON."""
    def value(i, v):
        if i in decimal:
            return str(v)
        if i in json:
            return "[" + ",".join(map(str, v)) + "]"
        return v
    return [log_columns(r) + tuple(value(i, v) for i, v in enumerate(r)) for r in events]


@pytest.fixture
def path(tmp_path):
    return tmp_path / "events.db"


TYPES = [
    # (canonical type, indexed, value, stored value, declared column type)
    ("uint256", False, 2**256 - 1, str(2**256 - 1), "TEXT"),
    ("int256", False, -(2**255), str(-(2**255)), "TEXT"),
    ("uint64", False, 2**64 - 1, str(2**64 - 1), "TEXT"),
    ("int64", False, -(2**63), -(2**63), "INTEGER"),
    ("uint8", False, 255, 255, "INTEGER"),
    ("bool", False, True, 1, "INTEGER"),
    ("address", True, "0x" + "12" * 20, "0x" + "12" * 20, "TEXT"),
    ("bytes32", False, b"\0" * 31 + b"\1", b"\0" * 31 + b"\1", "BLOB"),
    ("bytes", False, b"", b"", "BLOB"),
    ("string", False, "a\0b ☃\n\"", "a\0b ☃\n\"", "TEXT"),
    ("string", True, b"\7" * 32, b"\7" * 32, "BLOB"),
    ("uint256[]", False, (), "[]", "TEXT"),
    ("(uint256,address)[2]", False, ((2**256 - 1, "0xab"), (0, "0xcd")),
     f'[[{2**256 - 1},"0xab"],[0,"0xcd"]]', "TEXT"),
    ("(string,bytes,bool)", False, ("\0\"\\", b"\1\xff", False), '["\\u0000\\"\\\\","0x01ff",false]',
     "TEXT"),
]


@pytest.mark.parametrize("type_, indexed, value, want, column", TYPES)
def test_values_round_trip(path, type_, indexed, value, want, column):
    Only = event("Only", ("v", type_, indexed))
    with SqliteSink(path, [Only]) as sink:
        sink.on_block(None, [record(Only, 7, 0, value)])
        sink.save_checkpoint(Checkpoint("1", "x", 7, "0x07"))
    db = sqlite3.connect(path)
    assert db.execute('SELECT v, typeof(v) FROM "only"').fetchone() == (
        want, {"TEXT": "text", "INTEGER": "integer", "BLOB": "blob"}[column])
    assert db.execute("SELECT type FROM pragma_table_info('only') WHERE name = 'v'").fetchone() == (
        column,)


def deliver(sink, blocks, orphan=False):
    for b in blocks:
        sink.on_block(None, chain_events(b, orphan))


def cp(block, orphan=False):
    return Checkpoint("1", "idx", block, f"0x{block + (1 << 40) * orphan:x}")


# Each scenario drives one sink object and ends with the canonical chain's
# events through `last` (a fresh sink resumes between steps where noted).
SCENARIOS = {
    "a reorg below the checkpoint deletes with the moved checkpoint": [
        ("deliver", range(1, 7), False), ("deliver", range(7, 13), True), ("save", 12, None),
        ("rollback", 6),
        ("save", 6, 12), ("deliver", range(7, 16), False), ("save", 15, 6)],
    "a rollback before the checkpoint drops buffered rows only": [
        ("deliver", range(1, 6), False), ("save", 5, None), ("deliver", range(6, 9), True),
        ("rollback", 5), ("deliver", range(6, 11), False), ("save", 10, 5)],
    "rows past the checkpoint wait for the next one": [
        ("deliver", range(1, 11), False), ("save", 7, None), ("save", 10, 7)],
    "a resumed run re-delivers above its checkpoint": [
        ("deliver", range(1, 11), False), ("save", 5, None), ("reopen",), ("rollback", 5),
        ("deliver", range(6, 16), False), ("save", 15, 5)],
    "a rollback under the first block deletes the checkpoint and every row": [
        ("deliver", range(1, 11), True), ("save", 10, None), ("rollback", 0), ("delete",),
        ("deliver", range(1, 21), False), ("save", 20, None)],
}


@pytest.mark.parametrize("steps", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_rollbacks_leave_exactly_the_canonical_rows(path, steps):
    sink = SqliteSink(path, EVENTS)
    last = None
    for step in steps:
        match step:
            case ("deliver", blocks, orphan):
                deliver(sink, blocks, orphan)
            case ("save", block, expected_block):
                sink.save_checkpoint_if(cp(block), expected_block)
                last = block
            case ("rollback", block):
                sink.on_rollback(block)
            case ("delete",):
                sink.delete_checkpoint("1", "idx")
            case ("reopen",):
                sink.close()
                sink = SqliteSink(path, EVENTS)
    sink.close()
    db = sqlite3.connect(path)
    canonical = [e for b in range(1, last + 1) for e in chain_events(b)]
    assert stored(db, "transfer") == expected([e for e in canonical if type(e) is Transfer],
                                              decimal={2})
    assert stored(db, "note") == expected([e for e in canonical if type(e) is Note], json={1})
    assert SqliteStorage(path).load_checkpoint("1", "idx").block_number == last


def test_second_writer_is_fenced_and_writes_nothing(path):
    first, second = SqliteSink(path, EVENTS), SqliteSink(path, EVENTS)
    deliver(first, range(1, 11))
    first.save_checkpoint_if(cp(10), None)
    deliver(second, range(1, 21), orphan=True)
    with pytest.raises(RuntimeError, match="^Checkpoint mismatch at block 10$"):
        second.save_checkpoint_if(cp(20, orphan=True), None)
    db = sqlite3.connect(path)
    assert len(stored(db, "transfer")) == sum(b % 3 for b in range(1, 11))
    assert all(row[1] == f"0x{row[0]:064x}" for row in stored(db, "transfer"))
    # Its rows are gone with the failed commit: it delivers again only after a rollback.
    with pytest.raises(RuntimeError, match="roll back to the stored checkpoint"):
        deliver(second, [21])
    second.on_rollback(10)
    deliver(second, range(11, 13))
    second.save_checkpoint_if(cp(12), 10)
    assert len(stored(db, "transfer")) == sum(b % 3 for b in range(1, 13))


def test_deleted_file_is_an_error_not_a_new_file(path):
    sink = SqliteSink(path, EVENTS)
    deliver(sink, range(1, 4))
    for suffix in ("", "-wal", "-shm"):
        Path(f"{path}{suffix}").unlink(missing_ok=True)
    with pytest.raises(RuntimeError, match=f"^Storage error: database file was deleted or replaced: {path}$"):
        sink.save_checkpoint(cp(3))
    assert not path.exists()


def test_logs_are_skipped_and_foreign_records_refused(path):
    sink = SqliteSink(path, [Transfer])
    log = Log(1, "0x01", "0x02", 0, "0x" + "ab" * 20, (), "0x")
    sink.on_block(None, [log, *chain_events(2)])
    with pytest.raises(ValueError, match=r"^event Note\(string,int256\[\]\) is not one of the sink's events$"):
        sink.on_block(None, chain_events(5))  # its Transfer rows are not kept either
    with pytest.raises(TypeError, match="expected decoded event records or Log objects, got 'int'"):
        sink.on_block(None, [1])
    sink.save_checkpoint(cp(5))
    assert len(stored(sqlite3.connect(path), "transfer")) == 2


def test_overloaded_events_get_one_table_each(path):
    a = event("Swap", ("amount", "uint256", False))
    b = event("Swap", ("amount", "int128", False), ("log_index", "uint8", False), ("", "bool", False))
    tables = SqliteSink(path, [a, b, a], prefix="dex_").tables()
    suffix = {cls: cls.__topic0__[:4].hex() for cls in (a, b)}
    assert tables == {a.__event_signature__: f"dex_swap_{suffix[a]}",
                      b.__event_signature__: f"dex_swap_{suffix[b]}"}
    columns = sqlite3.connect(path).execute(
        f"SELECT group_concat(name) FROM pragma_table_info('dex_swap_{suffix[b]}')").fetchone()[0]
    assert columns.endswith(",address,amount,log_index_,arg2")


NAME_ERRORS = [
    ("", event(""), 'invalid table name "" for event (): it is empty'),
    ("", event("x" * 64), f'invalid table name "{"x" * 64}" for event {"x" * 64}(): it is longer than 63 bytes'),
    ("SQLite_", event("T"), 'invalid table name "SQLite_t" for event T(): names starting with sqlite_ or pg_ are reserved'),
    ("pg_", event("T"), 'invalid table name "pg_t" for event T(): names starting'),
    ("vorlane_", event("Checkpoints"), 'invalid table name "vorlane_checkpoints" for event Checkpoints(): it is the checkpoint table'),
    ("", event("T", ("A", "uint8", False), ("a", "uint8", False)), 'event T(uint8,uint8) has two arguments named "a"'),
]


@pytest.mark.parametrize("prefix, cls, message", NAME_ERRORS)
def test_bad_names_are_refused_before_any_sql(path, prefix, cls, message):
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        SqliteSink(path, [cls], prefix=prefix)
    assert not path.exists()


@pytest.mark.parametrize("create, message", [
    ('CREATE TABLE "transfer" (block_number INTEGER, block_hash TEXT, log_index INTEGER,'
     ' transaction_hash TEXT, transaction_index INTEGER, address TEXT, "from" TEXT, "to" TEXT,'
     ' value INTEGER, PRIMARY KEY (block_number, log_index))',
     'column "value" is INTEGER, expected TEXT'),
    ('CREATE TABLE "transfer" (block_number INTEGER PRIMARY KEY)', 'column "block_hash" is missing'),
])
def test_a_table_of_another_shape_is_refused_untouched(path, create, message):
    db = sqlite3.connect(path)
    db.execute(create)
    db.commit()
    with pytest.raises(RuntimeError, match=f'^Storage error: table "transfer" exists with another shape: {message}'):
        SqliteSink(path, EVENTS)
    assert db.execute("SELECT sql FROM sqlite_master WHERE name = 'transfer'").fetchone() == (create,)


LAST = 3000
CHILD = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from test_sinks import EVENTS, chain_events, cp
from vorlane_stores import SqliteSink
sink = SqliteSink(sys.argv[1], EVENTS)
stored = sink.load_checkpoint("1", "idx")
last = stored.block_number if stored else None
sink.on_rollback(last or 0)
b = (last or 0) + 1
reorged = set()
while b <= {LAST}:
    if b % 50 == 0 and b not in reorged:  # an orphaned branch, committed, then rolled back
        reorged.add(b)
        for x in range(b, b + 3):
            sink.on_block(None, chain_events(x, orphan=True))
        sink.save_checkpoint_if(cp(b + 2, orphan=True), last)
        sink.on_rollback(b - 1)
        sink.save_checkpoint_if(cp(b - 1), b + 2)
        last = b - 1
        continue
    sink.on_block(None, chain_events(b))
    if b % 7 == 0 or b == {LAST}:
        sink.save_checkpoint_if(cp(b), last)
        last = b
    b += 1
"""


def test_kills_at_random_moments_leave_tables_and_checkpoint_in_step(path):
    rng = random.Random(5)
    for _ in range(10):
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(path)])
        time.sleep(rng.uniform(0.6, 1.0))
        child.send_signal(signal.SIGKILL)
        child.wait()
        if path.exists():  # whatever is committed is in step with its checkpoint
            db = sqlite3.connect(path)
            saved = SqliteStorage(path).load_checkpoint("1", "idx")
            through = saved.block_number if saved else 0
            if saved and saved.block_hash == cp(through).block_hash:
                assert stored(db, "transfer")[-1:] == expected(
                    [e for b in range(through + 1) for e in chain_events(b) if type(e) is Transfer][-1:],
                    decimal={2})
    subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True, timeout=120)
    db = sqlite3.connect(path)
    canonical = [e for b in range(1, LAST + 1) for e in chain_events(b)]
    assert stored(db, "transfer") == expected([e for e in canonical if type(e) is Transfer], decimal={2})
    assert stored(db, "note") == expected([e for e in canonical if type(e) is Note], json={1})
