"""ParquetSink: decoded events in Parquet files per block range, the files
being the checkpoint."""
import random
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

pq = pytest.importorskip("pyarrow.parquet")
from test_sinks import EVENTS, KILLS, Note, Transfer, chain_events, cp, event, record  # noqa: E402
from vorlane_follow.parquet import ParquetSink  # noqa: E402


def block(b, orphan=False):
    return SimpleNamespace(number=b, hash=cp(b, orphan).block_hash)


def deliver(sink, blocks, orphan=False):
    for b in blocks:
        sink.on_block(block(b, orphan), chain_events(b, orphan))


def read(folder, name):
    files = sorted(Path(folder, name).glob("*.parquet"))
    rows = [r for f in files for r in pq.read_table(f).to_pylist()]
    return [tuple(r.values()) for r in rows]


def assert_canonical(folder, last):
    canonical = [e for b in range(1, last + 1) for e in chain_events(b)]
    log = lambda r: (r.block_number, r.block_hash, r.log_index, r.transaction_hash,  # noqa: E731
                     r.transaction_index, r.address)
    assert read(folder, "Transfer") == [log(r) + (r[0], r[1], str(r[2])) for r in canonical
                                        if type(r) is Transfer]
    assert read(folder, "Note") == [log(r) + (r[0], [str(x) for x in r[1]]) for r in canonical
                                    if type(r) is Note]
    assert not list(Path(folder).rglob(".*.tmp"))


TYPES = [
    ("uint256", "string", 2**256 - 1, str(2**256 - 1), "string"),
    ("int256", "string", -(2**255), str(-(2**255)), "string"),
    ("int256", "binary", -1, b"\xff" * 32, "fixed_size_binary[32]"),
    ("uint256", "float", 2**200, 2.0**200, "double"),
    ("int64", "string", -(2**63), -(2**63), "int64"),
    ("uint64", "string", 2**64 - 1, 2**64 - 1, "uint64"),
    ("string", "string", "a\0b ☃", "a\0b ☃", "string"),
    ("bytes", "string", b"\0\1", b"\0\1", "binary"),
    ("(int256,string)[]", "string", ((-5, "x"),), [{"f0": "-5", "f1": "x"}],
     "list<element: struct<f0: string, f1: string>>"),
]


@pytest.mark.parametrize("type_, wide, value, stored, column", TYPES)
def test_values_round_trip(tmp_path, type_, wide, value, stored, column):
    Only = event("Only", ("v", type_, False))
    with ParquetSink(tmp_path, [Only], chunk_blocks=10, wide_ints=wide) as sink:
        sink.on_block(block(7), [record(Only, 7, 0, value)])
        sink.save_checkpoint(cp(9))
    table = pq.read_table(tmp_path / "Only" / "000000000000-000000000009.parquet")
    assert (table.column("v").to_pylist(), str(table.schema.field("v").type)) == ([stored], column)


# Each save states the checkpoint the files then hold: the end of the last
# complete range, or the save itself when it cuts a range short after a
# rollback below the files.
SCENARIOS = {
    "rows of an incomplete range wait in memory": [
        ("deliver", range(1, 26), False), ("save", 25, None, 19), ("reopen",), ("rollback", 19),
        ("deliver", range(20, 31), False), ("save", 30, 19, 29)],
    "a reorg below the files cuts the range it lands in": [
        ("deliver", range(1, 21), False), ("deliver", range(21, 36), True), ("save", 35, None, 29),
        ("rollback", 20), ("save", 20, 35, 20), ("reopen",), ("rollback", 20),
        ("deliver", range(21, 41), False), ("save", 40, 20, 39)],
    "a second rollback before the save keeps the rows delivered since the first": [
        ("deliver", range(1, 21), False), ("deliver", range(21, 36), True), ("save", 35, None, 29),
        ("rollback", 20), ("deliver", range(21, 31), False), ("rollback", 25),
        ("deliver", range(26, 41), False), ("save", 40, 35, 40)],
    "a reorg to a range's end removes the ranges above": [
        ("deliver", range(1, 10), False), ("deliver", range(10, 31), True), ("save", 30, None, 29),
        ("rollback", 9), ("deliver", range(10, 22), False), ("save", 21, 30, 21)],
    "a rollback under the first block removes every file": [
        ("deliver", range(1, 21), True), ("save", 20, None, 19), ("rollback", 0), ("delete",),
        ("deliver", range(1, 21), False), ("save", 20, None, 19)],
}


@pytest.mark.parametrize("steps", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_rollbacks_leave_exactly_the_canonical_rows(tmp_path, steps):
    sink = ParquetSink(tmp_path / "new", EVENTS, chunk_blocks=10)
    durable = None
    for step in steps:
        match step:
            case ("deliver", blocks, orphan):
                deliver(sink, blocks, orphan)
            case ("save", b, expected, durable):
                sink.save_checkpoint_if(cp(b), expected)
            case ("rollback", b):
                sink.on_rollback(b)
            case ("delete",):
                sink.delete_checkpoint("1", "idx")
            case ("reopen",):
                sink.close()
                sink = ParquetSink(tmp_path / "new", EVENTS, chunk_blocks=10)
    sink.close()
    assert_canonical(tmp_path / "new", durable)
    with ParquetSink(tmp_path / "new", EVENTS, chunk_blocks=10) as again:
        saved = again.load_checkpoint("1", "idx")
        assert (saved.block_number, saved.block_hash) == (durable, cp(durable).block_hash)


# (files written before the crash, the checkpoint found): the state before
# the save is on the abandoned branch (the follower rolls back from it); a
# range whose files come from two saves ends the stored ones.
CRASHES = [(0, cp(29, orphan=True)), (1, cp(19)), (2, cp(29)), (3, cp(29)), (4, cp(39))]


@pytest.mark.parametrize("writes, found", CRASHES)
def test_a_crash_while_files_are_replaced_leaves_one_consistent_state(tmp_path, monkeypatch, writes, found):
    sink = ParquetSink(tmp_path, EVENTS, chunk_blocks=10)
    deliver(sink, range(1, 21))
    deliver(sink, range(21, 36), orphan=True)
    sink.save_checkpoint_if(cp(35, orphan=True), None)
    sink.on_rollback(20)
    deliver(sink, range(21, 46))
    real, calls = ParquetSink._write, []

    def write(*args):
        if len(calls) == writes:
            raise OSError("crash")
        calls.append(real(*args))
    monkeypatch.setattr(ParquetSink, "_write", write)
    with pytest.raises(OSError, match="crash"):
        sink.save_checkpoint_if(cp(45), 35)
    monkeypatch.undo()
    with pytest.raises(RuntimeError, match="^a checkpoint save failed: roll back"):
        deliver(sink, [46])
    sink.on_rollback(45)  # as a run starts: the sink reads its files again
    sink.close()
    with ParquetSink(tmp_path, EVENTS, chunk_blocks=10) as again:
        assert {(s.block_number, s.block_hash) for s in (sink.load_checkpoint("1", "idx"),
                                                         again.load_checkpoint("1", "idx"))} == {
            (found.block_number, found.block_hash)}
    if writes:
        assert_canonical(tmp_path, found.block_number)


def test_resume_rewrites_nothing_and_a_second_writer_is_refused(tmp_path):
    sink = ParquetSink(tmp_path, EVENTS, chunk_blocks=10)
    with pytest.raises(RuntimeError, match=f"^Parquet folder {tmp_path} is open by another writer$"):
        ParquetSink(tmp_path, EVENTS)
    deliver(sink, range(1, 35))
    sink.save_checkpoint_if(cp(34), None)
    sink.close()
    files = {p: (p.stat().st_ino, p.stat().st_mtime_ns) for p in tmp_path.rglob("*.parquet")}
    assert len(files) == 6
    with ParquetSink(tmp_path, EVENTS, chunk_blocks=10) as again:
        assert again.load_checkpoint("1", "idx").block_number == 29
        with pytest.raises(ValueError, match=f"^Parquet folder {tmp_path} holds the events of chain '1', "
                                             "indexer 'idx', not of chain '1', indexer 'other'$"):
            again.load_checkpoint("1", "other")
    assert {p: (p.stat().st_ino, p.stat().st_mtime_ns) for p in tmp_path.rglob("*.parquet")} == files


def polars_rows(glob):
    return pytest.importorskip("polars").read_parquet(glob).rows()


def duckdb_rows(glob):
    return pytest.importorskip("duckdb").sql(f"SELECT * FROM '{glob}' ORDER BY block_number, log_index").fetchall()


@pytest.mark.parametrize("reader", [polars_rows, duckdb_rows])
def test_the_files_open_in_other_readers(tmp_path, reader):
    with ParquetSink(tmp_path, EVENTS, chunk_blocks=10) as sink:
        deliver(sink, range(1, 35))
        sink.save_checkpoint_if(cp(34), None)
    for name in ("Transfer", "Note"):
        assert reader(f"{tmp_path}/{name}/*.parquet") == read(tmp_path, name)
    assert len(read(tmp_path, "Transfer")) == sum(b % 3 for b in range(1, 30))


def test_without_pyarrow_the_error_names_the_extra(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"^ParquetSink needs pyarrow, the extra \[parquet\]: pip install '\.\[parquet\]'$"):
        ParquetSink(tmp_path / "x", EVENTS)
    assert not (tmp_path / "x").exists()


LAST = 1499
CHILD = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from test_sink_parquet import deliver, cp
from test_sinks import EVENTS
from vorlane_follow.parquet import ParquetSink
sink = ParquetSink(sys.argv[1], EVENTS, chunk_blocks=20)
stored = sink.load_checkpoint("1", "idx")
last = stored.block_number if stored else None
b = (last or 0) + 1
while b <= {LAST}:
    if b % 50 == 0 and b > (last or 0) + 30:  # an orphaned branch, saved, then rolled back
        deliver(sink, range(b, b + 3), orphan=True)
        sink.save_checkpoint_if(cp(b + 2, orphan=True), last)
        sink.on_rollback(b - 25)
        sink.save_checkpoint_if(cp(b - 25), b + 2)
        last = b - 25
        b = last + 1
    deliver(sink, [b])
    if b % 7 == 0 or b == {LAST}:
        sink.save_checkpoint_if(cp(b), last)
        last = b
    b += 1
"""


def test_kills_at_random_moments_leave_the_canonical_rows(tmp_path):
    rng = random.Random(5)
    for _ in range(KILLS // 2):
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(tmp_path)])
        time.sleep(rng.uniform(0.8, 1.5))
        child.send_signal(signal.SIGKILL)
        child.wait()
    subprocess.run([sys.executable, "-c", CHILD, str(tmp_path)], check=True, timeout=120)
    assert_canonical(tmp_path, LAST)


@pytest.mark.parametrize("depth, rollback_depths", [(2, []), (7, [3])])
def test_follower_through_a_reorganisation_writes_the_canonical_transfers(tmp_path, dev_node, demo_chain,
                                                                          depth, rollback_depths):
    from follow_support import make_follower, run
    from test_sinks import TRANSFER_ABI
    from vorlane_rpc import EventDecoder

    from vorlane_follow.sinks import SinkHandler
    decoder = EventDecoder([(TRANSFER_ABI, bytes.fromhex(demo_chain.transfer_topic0[2:]))])
    sink = ParquetSink(tmp_path, decoder.types, chunk_blocks=3)

    class Reorg:
        def on_block(self, block, events):
            if block.number == confirmed and demo_chain.head < last + 4:
                demo_chain.reorg(depth, new_blocks=depth + 6)

        def on_rollback(self, block_number):
            pass

    confirmed = demo_chain.head - 4
    last = demo_chain.head + 6 - 4
    both = SinkHandler(sink, decoder, Reorg())
    counters = run(make_follower("sync", dev_node, demo_chain, both, store=both, confirmation_depth=4,
                                 to_block=last))
    assert counters.rollback_depths == rollback_depths
    durable = sink.load_checkpoint(str(demo_chain.chain_id), "default").block_number
    assert durable == last - (last + 1) % 3
    logs = demo_chain.canonical_logs(0, durable, [demo_chain.token], [demo_chain.transfer_topic0])
    assert len(logs) > 20
    assert [(r[0], r[1], r[2], r[3], r[5], r[6], r[7], r[8]) for r in read(tmp_path, "Transfer")] == [
        (x["block_number"], x["block_hash"], x["log_index"], x["transaction_hash"], x["address"],
         "0x" + x["topics"][1][-40:], "0x" + x["topics"][2][-40:], str(int(x["data"], 16))) for x in logs]
