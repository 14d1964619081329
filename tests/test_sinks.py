"""Sinks: decoded events written into database tables in the transaction of
the checkpoint that covers them.

Records here are small stand-ins that follow the decoded-record contract:
a class per event with __event_name__, __event_signature__, __topic0__ and
__schema__, values by position, log fields as attributes."""
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from decimal import Decimal
from pathlib import Path

import psycopg
import pytest
from optional_modules import importable
from vorlane import Checkpoint
from vorlane_rpc import Log
from vorlane_stores import PostgresSink, PostgresStorage, SqliteSink, SqliteStorage


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


def sqlite_form(value):
    """A PostgreSQL value as SQLite holds it: numbers and JSON as text, strings decoded."""
    if isinstance(value, Decimal):
        return str(int(value))
    if isinstance(value, list):
        return json.dumps(value, separators=(",", ":"))
    return value


class Sqlite:
    def __init__(self, tmp_path):
        self.path = tmp_path / "events.db"
        self.target = str(self.path)

    def sink(self, events, **kwargs):
        return SqliteSink(self.path, events, **kwargs)

    def checkpoint(self):
        return SqliteStorage(self.path).load_checkpoint("1", "idx")

    def rows(self, table):
        with importable("sqlite3").connect(self.path) as db:
            return db.execute(f'SELECT * FROM "{table}" ORDER BY block_number, log_index').fetchall()

    def execute(self, sql):
        with importable("sqlite3").connect(self.path) as db:
            return db.execute(sql).fetchall()

    def settle(self):
        pass


class Postgres:
    def __init__(self, dsn):
        self.target = dsn
        with psycopg.connect(dsn, autocommit=True) as db:
            for (table,) in db.execute("SELECT tablename FROM pg_tables WHERE schemaname = 'public'"):
                db.execute(f'DROP TABLE "{table}"')

    def sink(self, events, **kwargs):
        return PostgresSink(self.target, events, **kwargs)

    def checkpoint(self):
        return PostgresStorage(self.target).load_checkpoint("1", "idx")

    def rows(self, table):
        with psycopg.connect(self.target) as db:
            rows = db.execute(f'SELECT * FROM "{table}" ORDER BY block_number, log_index').fetchall()
        return [tuple(v.decode() if isinstance(v, bytes) and table == "note" else sqlite_form(v)
                      for v in row) for row in rows]

    def execute(self, sql):
        with psycopg.connect(self.target, autocommit=True) as db:
            cursor = db.execute(sql)
            return cursor.fetchall() if cursor.description else None

    def settle(self):
        """Waits for the sessions of killed clients to end: one may still
        commit what its client sent before it died."""
        deadline = time.monotonic() + 10
        while self.execute("SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'"
                           " AND state <> 'idle' AND pid <> pg_backend_pid()")[0][0]:
            assert time.monotonic() < deadline
            time.sleep(0.01)


@pytest.fixture(params=["sqlite", "postgres"])
def backend(request, tmp_path):
    if request.param == "sqlite":
        return Sqlite(tmp_path)
    return Postgres(request.getfixturevalue("pg_server").dsn)


def expected(events, decimal=(), json=()):
    """Rows as SQLite gives them back: wide ints as decimal text, arrays as JSON."""
    def value(i, v):
        if i in decimal:
            return str(v)
        if i in json:
            return "[" + ",".join(map(str, v)) + "]"
        return v
    return [log_columns(r) + tuple(value(i, v) for i, v in enumerate(r)) for r in events]


TYPES = [
    # (canonical type, indexed, value, SQLite: stored, column; PostgreSQL: read back, column)
    ("uint256", False, 2**256 - 1, str(2**256 - 1), "TEXT", Decimal(2**256 - 1), "numeric(78,0)"),
    ("int256", False, -(2**255), str(-(2**255)), "TEXT", Decimal(-(2**255)), "numeric(78,0)"),
    ("uint64", False, 2**64 - 1, str(2**64 - 1), "TEXT", Decimal(2**64 - 1), "numeric(78,0)"),
    ("int64", False, -(2**63), -(2**63), "INTEGER", -(2**63), "bigint"),
    ("uint8", False, 255, 255, "INTEGER", 255, "bigint"),
    ("bool", False, True, 1, "INTEGER", True, "boolean"),
    ("address", True, "0x" + "12" * 20, "0x" + "12" * 20, "TEXT", "0x" + "12" * 20, "text"),
    ("bytes32", False, b"\0" * 31 + b"\1", b"\0" * 31 + b"\1", "BLOB", b"\0" * 31 + b"\1", "bytea"),
    ("bytes", False, b"", b"", "BLOB", b"", "bytea"),
    ("string", False, "a\0b ☃\n\"", "a\0b ☃\n\"", "TEXT", "a\0b ☃\n\"".encode(), "bytea"),
    ("string", True, b"\7" * 32, b"\7" * 32, "BLOB", b"\7" * 32, "bytea"),
    ("uint256[]", False, (), "[]", "TEXT", [], "jsonb"),
    ("(uint256,address)[2]", False, ((2**256 - 1, "0xab"), (0, "0xcd")),
     f'[[{2**256 - 1},"0xab"],[0,"0xcd"]]', "TEXT", [[2**256 - 1, "0xab"], [0, "0xcd"]], "jsonb"),
    ("(string,bytes,bool)", False, ("\0\"\\", b"\1\xff", False), '["\\u0000\\"\\\\","0x01ff",false]',
     "TEXT", [{"utf8": "0x00225c"}, "0x01ff", False], "jsonb"),
]


@pytest.mark.parametrize("type_, indexed, value, lite, lite_column, pg, pg_column", TYPES)
def test_values_round_trip(backend, type_, indexed, value, lite, lite_column, pg, pg_column):
    Only = event("Only", ("v", type_, indexed))
    with backend.sink([Only]) as sink:
        sink.on_block(None, [record(Only, 7, 0, value)])
        sink.save_checkpoint(Checkpoint("1", "x", 7, "0x07"))
    if isinstance(backend, Sqlite):
        assert backend.execute('SELECT v, typeof(v) FROM "only"') == [
            (lite, {"TEXT": "text", "INTEGER": "integer", "BLOB": "blob"}[lite_column])]
        assert backend.execute("SELECT type FROM pragma_table_info('only') WHERE name = 'v'") == [
            (lite_column,)]
    else:
        assert backend.execute('SELECT v, format_type(atttypid, atttypmod) FROM "only",'
                               " pg_attribute WHERE attrelid = 'only'::regclass AND attname = 'v'"
                               ) == [(pg, pg_column)]


def deliver(sink, blocks, orphan=False):
    for b in blocks:
        sink.on_block(None, chain_events(b, orphan))


def cp(block, orphan=False):
    return Checkpoint("1", "idx", block, f"0x{block + (1 << 40) * orphan:x}")


def assert_canonical(backend, last):
    canonical = [e for b in range(1, last + 1) for e in chain_events(b)]
    assert backend.rows("transfer") == expected([e for e in canonical if type(e) is Transfer],
                                                decimal={2})
    assert backend.rows("note") == expected([e for e in canonical if type(e) is Note], json={1})


# Each scenario drives one sink object and ends with the canonical chain's
# events through the last checkpoint.
SCENARIOS = {
    "a reorg below the checkpoint deletes with the moved checkpoint": [
        ("deliver", range(1, 7), False), ("deliver", range(7, 13), True), ("save", 12, None),
        ("rollback", 6), ("save", 6, 12), ("deliver", range(7, 16), False), ("save", 15, 6)],
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
def test_rollbacks_leave_exactly_the_canonical_rows(backend, steps):
    sink = backend.sink(EVENTS)
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
                sink = backend.sink(EVENTS)
    sink.close()
    assert_canonical(backend, last)
    assert backend.checkpoint().block_number == last


def test_second_writer_is_fenced_and_writes_nothing(backend):
    first, second = backend.sink(EVENTS), backend.sink(EVENTS)
    deliver(first, range(1, 11))
    first.save_checkpoint_if(cp(10), None)
    deliver(second, range(1, 21), orphan=True)
    with pytest.raises(RuntimeError, match="^Checkpoint mismatch at block 10$"):
        second.save_checkpoint_if(cp(20, orphan=True), None)
    assert_canonical(backend, 10)
    # Its rows are gone with the failed commit: it delivers again only after a rollback.
    with pytest.raises(RuntimeError, match="roll back to the stored checkpoint"):
        deliver(second, [21])
    second.on_rollback(10)
    deliver(second, range(11, 13))
    second.save_checkpoint_if(cp(12), 10)
    assert_canonical(backend, 12)


def test_sqlite_file_deleted_is_an_error_not_a_new_file(tmp_path):
    path = tmp_path / "events.db"
    sink = SqliteSink(path, EVENTS)
    deliver(sink, range(1, 4))
    for suffix in ("", "-wal", "-shm"):
        Path(f"{path}{suffix}").unlink(missing_ok=True)
    with pytest.raises(RuntimeError, match=f"^Storage error: database file was deleted or replaced: {path}$"):
        sink.save_checkpoint(cp(3))
    assert not path.exists()


def test_postgres_restart_during_a_write_leaves_the_last_commit(pg_server):
    if not pg_server.directory:
        pytest.skip("the server named by VORLANE_TEST_PG_DSN cannot be restarted by the tests")
    backend = Postgres(pg_server.dsn)
    sink = backend.sink(EVENTS)
    deliver(sink, range(1, 6))
    sink.save_checkpoint_if(cp(5), None)
    deliver(sink, range(6, 20001))  # a commit long enough to be cut by the restart
    restart = threading.Thread(target=pg_server.restart)
    restart.start()
    time.sleep(0.2)
    try:
        sink.save_checkpoint_if(cp(20000), 5)
    except RuntimeError as e:
        assert str(e).startswith("Storage error: ")
    restart.join()
    committed = backend.checkpoint().block_number
    assert committed in (5, 20000)
    assert_canonical(backend, committed)
    sink.on_rollback(committed)  # as a resumed run starts
    deliver(sink, range(committed + 1, 20011))
    sink.save_checkpoint_if(cp(20010), committed)
    assert_canonical(backend, 20010)


def test_logs_are_skipped_and_foreign_records_refused(backend):
    sink = backend.sink([Transfer])
    log = Log(1, "0x01", "0x02", 0, "0x" + "ab" * 20, (), "0x")
    sink.on_block(None, [log, *chain_events(2)])
    with pytest.raises(ValueError, match=r"^event Note\(string,int256\[\]\) is not one of the sink's events$"):
        sink.on_block(None, chain_events(5))  # its Transfer rows are not kept either
    with pytest.raises(TypeError, match="expected decoded event records or Log objects, got 'int'"):
        sink.on_block(None, [1])
    sink.save_checkpoint(cp(5))
    assert len(backend.rows("transfer")) == 2


def test_overloaded_events_get_one_table_each(backend):
    a = event("Swap", ("amount", "uint256", False))
    b = event("Swap", ("amount", "int128", False), ("log_index", "uint8", False), ("", "bool", False))
    tables = backend.sink([a, b, a], prefix="dex_").tables()
    suffix = {cls: cls.__topic0__[:4].hex() for cls in (a, b)}
    assert tables == {a.__event_signature__: f"dex_swap_{suffix[a]}",
                      b.__event_signature__: f"dex_swap_{suffix[b]}"}
    assert len(backend.rows(f"dex_swap_{suffix[b]}")) == 0


NAME_ERRORS = [
    ("", event(""), 'invalid table name "" for event (): it is empty'),
    ("", event("x" * 64), f'invalid table name "{"x" * 64}" for event {"x" * 64}(): it is longer than 63 bytes'),
    ("SQLite_", event("T"), 'invalid table name "SQLite_t" for event T(): names starting with sqlite_ or pg_ are reserved'),
    ("pg_", event("T"), 'invalid table name "pg_t" for event T(): names starting'),
    ("vorlane_", event("Checkpoints"), 'invalid table name "vorlane_checkpoints" for event Checkpoints(): it is the checkpoint table'),
    ("", event("T", ("A", "uint8", False), ("a", "uint8", False)), 'event T(uint8,uint8) has two arguments named "a"'),
]


@pytest.mark.parametrize("prefix, cls, message", NAME_ERRORS)
def test_bad_names_are_refused_before_any_sql(tmp_path, prefix, cls, message):
    path = tmp_path / "events.db"
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        SqliteSink(path, [cls], prefix=prefix)
    assert not path.exists()


SHAPES = {
    "sqlite": [('CREATE TABLE "transfer" (block_number INTEGER, block_hash TEXT, log_index INTEGER,'
                ' transaction_hash TEXT, transaction_index INTEGER, address TEXT, "from" TEXT,'
                ' "to" TEXT, value INTEGER, PRIMARY KEY (block_number, log_index))',
                'column "value" is INTEGER, expected TEXT'),
               ('CREATE TABLE "transfer" (block_number INTEGER, log_index INTEGER, value TEXT)',
                'column "block_number" is INTEGER, expected INTEGER in the primary key')],
    "postgres": [('CREATE TABLE "transfer" (block_number bigint, block_hash text, log_index bigint,'
                  ' transaction_hash text, transaction_index bigint, address text, "from" text,'
                  ' "to" text, value bigint)', 'column "value" is bigint, expected numeric\\(78,0\\)'),
                 ('CREATE TABLE "transfer" (block_number bigint, block_hash text, log_index bigint)',
                  'column "transaction_hash" is missing')],
}


@pytest.mark.parametrize("case", [0, 1])
def test_a_table_of_another_shape_is_refused_untouched(backend, case):
    create, message = SHAPES["sqlite" if isinstance(backend, Sqlite) else "postgres"][case]
    backend.execute(create)
    backend.execute('INSERT INTO "transfer" (block_number, log_index) VALUES (1, 2)')
    with pytest.raises(RuntimeError, match=f'^Storage error: table "transfer" exists with another shape: {message}'):
        backend.sink(EVENTS)
    assert backend.execute('SELECT block_number, log_index FROM "transfer"') == [(1, 2)]


LAST = 3000
CHILD = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from test_sinks import EVENTS, chain_events, cp
import vorlane_stores
sink = getattr(vorlane_stores, sys.argv[1])(sys.argv[2], EVENTS)
stored = sink.load_checkpoint("1", "idx")
last = stored.block_number if stored else None
sink.on_rollback(last or 0)
if stored and stored.block_hash != cp(last).block_hash:  # found on the orphaned branch
    sink.on_rollback(last - 3)
    sink.save_checkpoint_if(cp(last - 3), last)
    last -= 3
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


# Ten kills on the full run (3.11, the tree's build), three in the others.
KILLS = 10 if (sys.version_info[:2] == (3, 11) and not os.environ.get("VORLANE_SANITIZED")
               and not os.environ.get("VORLANE_SKIP_SLOW")) else 3


def test_kills_at_random_moments_leave_tables_and_checkpoint_in_step(backend):
    kind = "SqliteSink" if isinstance(backend, Sqlite) else "PostgresSink"
    rng = random.Random(5)
    for _ in range(KILLS):
        child = subprocess.Popen([sys.executable, "-c", CHILD, kind, backend.target])
        time.sleep(rng.uniform(0.6, 1.0))
        child.send_signal(signal.SIGKILL)
        child.wait()
        backend.settle()
        saved = backend.checkpoint() if kind == "PostgresSink" or backend.path.exists() else None
        if saved and saved.block_hash == cp(saved.block_number).block_hash:
            assert_canonical(backend, saved.block_number)
    subprocess.run([sys.executable, "-c", CHILD, kind, backend.target], check=True, timeout=120)
    assert_canonical(backend, LAST)


TRANSFER_ABI = {"type": "event", "name": "Transfer", "anonymous": False, "inputs": [
    {"name": "from", "type": "address", "indexed": True},
    {"name": "to", "type": "address", "indexed": True},
    {"name": "value", "type": "uint256", "indexed": False}]}


@pytest.mark.parametrize("depth, rollback_depths", [(2, []), (4, []), (7, [3])])
def test_follower_through_a_reorganisation_writes_the_canonical_transfers(backend, dev_node, demo_chain,
                                                                          depth, rollback_depths):
    from follow_support import make_follower, run
    from vorlane_rpc import EventDecoder

    from vorlane_follow.sinks import SinkHandler
    decoder = EventDecoder([(TRANSFER_ABI, bytes.fromhex(demo_chain.transfer_topic0[2:]))])
    sink = backend.sink(decoder.types)
    seen = []

    class Mine:  # the user's own handler, beside the sink
        def on_block(self, block, events):
            seen.extend(e for e in events if e.block_number == block.number)
            if block.number == confirmed and demo_chain.head < last + 4:
                demo_chain.reorg(depth, new_blocks=depth + 6)

        def on_rollback(self, block_number):
            seen[:] = [e for e in seen if e.block_number <= block_number]

    confirmed = demo_chain.head - 4  # shallower than, as deep as, deeper than the confirmations
    last = demo_chain.head + 6 - 4
    both = SinkHandler(sink, decoder, Mine())
    counters = run(make_follower("sync", dev_node, demo_chain, both, store=both, confirmation_depth=4,
                                 to_block=last))
    assert counters.rollback_depths == rollback_depths
    logs = demo_chain.canonical_logs(0, last, [demo_chain.token], [demo_chain.transfer_topic0])
    assert len(logs) > 20
    want = [(x["block_number"], x["block_hash"], x["log_index"], x["transaction_hash"], x["address"],
             "0x" + x["topics"][1][-40:], "0x" + x["topics"][2][-40:], str(int(x["data"], 16)))
            for x in logs]
    assert [r[:4] + r[5:] for r in backend.rows("transfer")] == want
    assert [(e.block_number, e.log_index) for e in seen] == [(w[0], w[2]) for w in want]
