"""Node to committed rows: the follower writing decoded Transfers into a
database with its checkpoint, beside the loop a user writes for it today.

The node, the delay proxy and the workers are bench_follow.py's: a
mainnet-shaped chain (150 transaction hashes a header) whose blocks carry 5
ERC-20 Transfers of one token each, served straight (+0 ms) or through the
proxy with 100 ms of round trip added. Every row catches up the same block
range, in a worker process of its own:

- `Follower`: no ABI, `InMemoryStorage`, a handler that counts: the rate
  the sink rows are held against;
- `Follower decoded`: the same with `abi=` (typed Transfer records): what
  decoding alone takes of it;
- `Follower -> SqliteSink`, `Follower -> PostgresSink`: `Follower(...,
  abi=TRANSFER_ABI)` with the sink as its handler and its checkpoint store,
  into a fresh SQLite file (WAL, `synchronous` as the sink sets it by
  default: FULL) or fresh PostgreSQL tables; the follower's defaults, so a
  commit of rows and checkpoint every 100 blocks (`--checkpoint-interval`);
- `web3 loop -> sqlite3`, `web3 loop -> psycopg`: web3.py as bench_follow's
  web3.py loop uses it (one batch of `get_block` and one `get_logs` a batch,
  sequential), each log decoded with eth-abi (`eth_abi.decode` of the
  indexed addresses from the topics and of the value from the data; the
  faster of eth-abi and web3.py's `process_log`, see bench_abi_decode.py),
  then per batch one transaction: sqlite3 `executemany` of the rows (WAL,
  synchronous=FULL, as the sink) or psycopg 3 `copy` (binary) with
  `write_row`, and an upsert of the checkpoint at the batch's last block.
  These loops stop at the first batch end past `--seconds`, so they may
  cover fewer blocks: the figures are rates;
- `web3.py loop`: bench_follow's, the same requests with neither decoding
  nor writing: what of the two loops above is web3.py's alone.

The loops write into the table the sink makes (created, not timed, before
each run), so both sides fill tables of one shape; after each run its rows
are counted and those of the first batch compared across rows (a digest).
PostgreSQL: the server named by VORLANE_TEST_PG_DSN, else a throwaway one
from scripts/pg.sh. Printed: blocks/s and committed rows/s of each row
(the best of `--repeats`, the rows taking turns), each sink row's ratio to
its loop and to the `Follower` of the same run, and CPU per block: the
client's (the worker's process time, SQLite's work included) and, in
`server`, the PostgreSQL server's (its processes' CPU from /proc, when it
is scripts/pg.sh's on this machine); `commit`: the share of the wall
time spent in the commits of rows and checkpoint (the sink's
`save_checkpoint_if`, timed through a thin store object around the sink,
which stays the handler; the loops' transactions), which hold up the
delivery of the blocks after them.
"""

from __future__ import annotations

import hashlib
import os
import re
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_follow as bf  # noqa: E402

LOGS = 5
ROWS = ("follower", "decoded", "sqlite-sink", "postgres-sink", "web3", "web3-sqlite", "web3-psycopg")
LABELS = {"follower": "Follower", "decoded": "Follower decoded",
          "sqlite-sink": "Follower -> SqliteSink", "postgres-sink": "Follower -> PostgresSink",
          "web3": "web3.py loop", "web3-sqlite": "web3 loop -> sqlite3",
          "web3-psycopg": "web3 loop -> psycopg"}
# Each sink row beside the hand-written loop that writes the same rows.
LOOP = {"sqlite-sink": "web3-sqlite", "postgres-sink": "web3-psycopg"}
GOAL_LOOP, GOAL_FOLLOWER = 20.0, 0.5
COLUMNS = ("block_number", "block_hash", "log_index", "transaction_hash", "transaction_index",
           "address", '"from"', '"to"', "value")
# The loops' checkpoint table: theirs, beside the sink's event table.
LOOP_CHECKPOINT = ("CREATE TABLE loop_checkpoint (chain_id TEXT NOT NULL, indexer_id TEXT NOT NULL,"
                   " block_number BIGINT NOT NULL, block_hash TEXT NOT NULL,"
                   " PRIMARY KEY (chain_id, indexer_id))")
UPSERT = ("INSERT INTO loop_checkpoint VALUES ({0}, {0}, {0}, {0}) ON CONFLICT (chain_id, indexer_id)"
          " DO UPDATE SET block_number = excluded.block_number, block_hash = excluded.block_hash")


# ---------------------------------------------------------------------------
# The databases: fresh tables before each run, what a run left after it.
# ---------------------------------------------------------------------------

def _classes():
    """Record classes of the Transfer the follower decodes with abi=TRANSFER_ABI
    (the sink tells events by signature, so these fit the follower's records)."""
    from vorlane_follow import abi

    return abi.decoder(abi.read_events(bf.TRANSFER_ABI)).types


def server_cpu(dsn: str) -> float | None:
    """CPU seconds of the PostgreSQL server behind `dsn` so far: the postmaster,
    its children (backends, writers) and the children it has reaped; None for a
    server that is not one of scripts/pg.sh's on this machine."""
    host = re.search(r"host=(\S+)", dsn)
    try:
        pid = int(Path(host.group(1), "data", "postmaster.pid").read_text().split()[0])
    except (AttributeError, OSError, ValueError, IndexError):
        return None
    ticks = 0
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rpartition(")")[2].split()
        except OSError:  # a process that ended meanwhile
            continue
        if stat.parent.name == str(pid):
            ticks += sum(int(f) for f in fields[11:15])  # utime, stime, cutime, cstime
        elif fields[1] == str(pid):
            ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


class SqliteTarget:
    def __init__(self, job: dict) -> None:
        self.path = Path(job["folder"], f"{job['kind']}-{job['run']}.db")
        self.close()

    def server_cpu(self) -> None:
        return None  # SQLite works in the client: its CPU is the row's own

    def sink(self):
        from vorlane_stores import SqliteSink

        return SqliteSink(self.path, _classes())

    def connect(self):
        import sqlite3

        self.sink().close()  # the event table, as the sink makes it
        db = sqlite3.connect(self.path, isolation_level=None)
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        db.execute(LOOP_CHECKPOINT)
        return db

    def query(self, sql: str, *params) -> list[tuple]:
        import sqlite3

        with sqlite3.connect(self.path) as db:
            return db.execute(sql.replace("%s", "?"), params).fetchall()

    def close(self) -> None:
        """Removes the file and the ones SQLite and the sink keep beside it."""
        for suffix in ("", "-wal", "-shm", "-lock"):
            Path(f"{self.path}{suffix}").unlink(missing_ok=True)


class PostgresTarget:
    def __init__(self, job: dict) -> None:
        import psycopg

        self.dsn = job["dsn"]
        with psycopg.connect(self.dsn, autocommit=True) as db:
            db.execute('DROP TABLE IF EXISTS "transfer", vorlane_checkpoints, loop_checkpoint')

    def server_cpu(self) -> float | None:
        return server_cpu(self.dsn)

    def sink(self):
        from vorlane_stores import PostgresSink

        return PostgresSink(self.dsn, _classes())

    def connect(self):
        import psycopg

        self.sink().close()
        db = psycopg.connect(self.dsn)
        db.execute(LOOP_CHECKPOINT)
        db.commit()
        return db

    def query(self, sql: str, *params) -> list[tuple]:
        import psycopg

        with psycopg.connect(self.dsn) as db:
            return db.execute(sql, params).fetchall()

    def close(self) -> None:
        pass


def _committed(target, job: dict, server: float | None, checkpoints: str) -> dict:
    """The run's committed rows and checkpoint (the last block in the table
    `checkpoints`), a digest of the first batch's rows (the same text from
    either database) to compare the rows by, and the server's CPU seconds
    during the run."""
    (rows,), = target.query('SELECT count(*) FROM "transfer"')
    (checkpoint,), = target.query(f"SELECT max(block_number) FROM {checkpoints}")
    first = target.query(f'SELECT {", ".join(COLUMNS)} FROM "transfer" WHERE block_number < %s'
                         " ORDER BY block_number, log_index", job["first"] + job["batch"])
    text = "\n".join("|".join(map(str, row)) for row in first)
    return {"rows": rows, "digest": hashlib.sha256(text.encode()).hexdigest()[:12],
            "server_cpu": server, "checkpoint": None if checkpoint is None else int(checkpoint)}


# ---------------------------------------------------------------------------
# The runs.
# ---------------------------------------------------------------------------

class TimedStore:
    """The sink's store methods, with the time spent committing (the
    checkpoint saves, which carry the rows) added up. The sink itself is
    the follower's handler."""

    def __init__(self, sink) -> None:
        self.sink = sink
        self.seconds = 0.0
        self.load_checkpoint = sink.load_checkpoint
        self.delete_checkpoint = sink.delete_checkpoint

    def save_checkpoint_if(self, checkpoint, expected) -> None:
        start = time.perf_counter()
        try:
            self.sink.save_checkpoint_if(checkpoint, expected)
        finally:
            self.seconds += time.perf_counter() - start

    def save_checkpoint(self, checkpoint) -> None:
        self.save_checkpoint_if(checkpoint, None)


def run_follower_sink(job: dict, target):
    from vorlane import IndexerConfig
    from web3 import HTTPProvider, Web3

    from vorlane_follow import Follower

    sink = target.sink()
    store = TimedStore(sink)
    interval = job["checkpoint_interval"]
    config = IndexerConfig(chain=str(job["chain_id"]), from_block=job["first"], to_block=job["last"],
                           batch_size=job["batch"],
                           **({"checkpoint_interval": interval} if interval else {}))
    follower = Follower(Web3(HTTPProvider(job["url"])), config, bf._filter(job), store,
                        sink, abi=bf.TRANSFER_ABI, **bf._options(job))
    server, wall, cpu = target.server_cpu(), time.perf_counter(), time.process_time()
    counters = follower.run()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    server = _less(target.server_cpu(), server)
    sink.close()
    try:
        return (wall, cpu, counters.blocks, counters.logs, counters.round_trips,
                {**_committed(target, job, server, "vorlane_checkpoints"),
                 "commit": store.seconds, "last": job["first"] + counters.blocks - 1})
    finally:
        target.close()


def sqlite_writer(db):
    insert = f'INSERT INTO "transfer" ({", ".join(COLUMNS)}) VALUES ({", ".join("?" * len(COLUMNS))})'
    upsert = UPSERT.format("?")

    def write(rows, chain_id, number, block_hash):
        db.execute("BEGIN IMMEDIATE")
        db.executemany(insert, rows)
        db.execute(upsert, (chain_id, "default", number, block_hash))
        db.execute("COMMIT")

    return write, str  # SQLite: wide integers as decimal text, as the sink keeps them


def psycopg_writer(db):
    copy = f'COPY "transfer" ({", ".join(COLUMNS)}) FROM STDIN (FORMAT binary)'
    types = ["int8", "text", "int8", "text", "int8", "text", "text", "text", "numeric"]
    upsert = UPSERT.format("%s")

    def write(rows, chain_id, number, block_hash):
        with db.transaction():
            with db.cursor().copy(copy) as writer:
                writer.set_types(types)
                for row in rows:
                    writer.write_row(row)
            db.execute(upsert, (chain_id, "default", number, block_hash))

    return write, int


def run_web3_into(job: dict, target, writer):
    """The loop: headers and logs by batch, eth-abi decoding, one transaction a batch."""
    from eth_abi import decode
    from web3 import HTTPProvider, Web3

    db = target.connect()
    write, wide = writer(db)
    committing = 0.0
    w3 = Web3(HTTPProvider(job["url"]))
    token = Web3.to_checksum_address(job["token"])
    chain_id = str(job["chain_id"])
    blocks = logs = 0
    server, wall, cpu = target.server_cpu(), time.perf_counter(), time.process_time()
    w3.eth.block_number
    for first in range(job["first"], job["last"] + 1, job["batch"]):
        top = min(job["last"], first + job["batch"] - 1)
        with w3.batch_requests() as b:
            for n in range(first, top + 1):
                b.add(w3.eth.get_block(n))
            headers = b.execute()
        rows = []
        for log in w3.eth.get_logs({"fromBlock": first, "toBlock": top, "address": [token],
                                    "topics": [[job["topic0"]]]}):
            topics = log["topics"]
            sender, receiver = decode(["address", "address"], topics[1] + topics[2])
            (value,) = decode(["uint256"], log["data"])
            rows.append((log["blockNumber"], log["blockHash"].to_0x_hex(), log["logIndex"],
                         log["transactionHash"].to_0x_hex(), log["transactionIndex"],
                         log["address"].lower(), sender.lower(), receiver.lower(), wide(value)))
        start = time.perf_counter()
        write(rows, chain_id, top, headers[-1]["hash"].to_0x_hex())
        committing += time.perf_counter() - start
        blocks += len(headers)
        logs += len(rows)
        if job["budget"] and time.perf_counter() - wall > job["budget"]:
            break
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    server = _less(target.server_cpu(), server)
    db.close()
    try:
        return wall, cpu, blocks, logs, None, {**_committed(target, job, server, "loop_checkpoint"),
                                               "commit": committing, "last": job["first"] + blocks - 1}
    finally:
        target.close()


def _less(a, b):
    return None if a is None or b is None else a - b


RUNNERS = {
    "follower": bf.RUNNERS["follower"],
    "decoded": bf.RUNNERS["decoded"],
    "web3": bf.RUNNERS["web3"],
    "sqlite-sink": lambda job: run_follower_sink(job, SqliteTarget(job)),
    "postgres-sink": lambda job: run_follower_sink(job, PostgresTarget(job)),
    "web3-sqlite": lambda job: run_web3_into(job, SqliteTarget(job), sqlite_writer),
    "web3-psycopg": lambda job: run_web3_into(job, PostgresTarget(job), psycopg_writer),
}


# ---------------------------------------------------------------------------
# The benchmark.
# ---------------------------------------------------------------------------

def rate(results, rtt, kind, key="n"):
    r = results.get((rtt, kind))
    return None if r is None or "error" in r else r[key] / r["wall"]


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        bf.worker_main(sys.argv[2], RUNNERS)
        return

    from _common import parse_args, pg_server, print_header

    args = parse_args(__doc__.splitlines()[0], lambda p: (
        p.add_argument("--blocks", type=int, default=None,
                       help="blocks per run (default 10000; quick 200)"),
        p.add_argument("--batch", type=int, default=None,
                       help="blocks per batch (default 1000, the follower's default; quick 50)"),
        p.add_argument("--seconds", type=float, default=None,
                       help="the web3 loops stop at the first batch end past this many seconds "
                            "(default 2; quick: none)"),
        p.add_argument("--repeats", type=int, default=None,
                       help="runs of each row, the best kept (default 2; quick 1)"),
        p.add_argument("--checkpoint-interval", type=int, default=None,
                       help="the sink rows' checkpoint_interval, blocks (default: the "
                            "follower's, 100)"),
        p.add_argument("--max-in-flight", type=int, default=None,
                       help="the followers' max_in_flight (default: theirs)"),
        p.add_argument("--rtt", default="0,100", help="round trips to add, ms")))
    print_header("vorlane_follow: node to committed rows, beside the loop users write", args)
    blocks = args.blocks or (200 if args.quick else 10_000)
    batch = args.batch or (50 if args.quick else 1000)
    budget = args.seconds if args.seconds is not None else (0.0 if args.quick else 2.0)
    repeats = args.repeats or (1 if args.quick else 2)
    rtts = [int(x) for x in args.rtt.split(",")]

    started = time.monotonic()
    node = bf.NodeProcess(blocks)
    proxy = bf.ProxyProcess(node.port, [r for r in rtts if r > 0]) if any(rtts) else None
    workers = {kind: bf.Worker(kind, __file__) for kind in ROWS}
    folder = tempfile.TemporaryDirectory(prefix="bench-follow-sinks-")
    info = node.info
    print(f"node {node.url}: {info['transactions']} transactions per block, {LOGS} Transfers per "
          f"block, built in {time.monotonic() - started:.1f} s")
    print(f"{blocks} blocks per run, batch {batch}, the sinks' checkpoint interval "
          f"{args.checkpoint_interval or 'the default'}, best of {repeats}, SQLite files in "
          f"{folder.name}, " + (f"the web3 loops stop at the first batch end past {budget:g} s"
                                if budget else "no time budget"))
    try:
        with pg_server() as dsn:
            print(f"PostgreSQL: {dsn}")
            runs = 0

            def job_for(rtt: int, count: int) -> dict:
                nonlocal runs
                runs += 1
                first = info["segments"][str(LOGS)][0]
                url = node.url if rtt == 0 else f"http://127.0.0.1:{proxy.ports[rtt]}"
                return {"url": url, "first": first, "last": first + count - 1, "batch": batch,
                        "token": info["token"], "topic0": info["transfer_topic0"],
                        "chain_id": info["chain_id"], "budget": budget,
                        "max_in_flight": args.max_in_flight, "folder": folder.name, "dsn": dsn,
                        "run": runs, "checkpoint_interval": args.checkpoint_interval}

            # Warm-up: each worker's first run pays for imports and first-use setup.
            for kind, worker in workers.items():
                warm = worker.run({**job_for(0, min(blocks, batch)), "kind": kind})
                if "error" in warm:
                    print(f"{LABELS[kind]}: warm-up failed: {warm['error']}")

            results: dict[tuple[int, str], dict] = {}
            for rtt in rtts:
                for _ in range(repeats):
                    for kind in ROWS:
                        result = workers[kind].run({**job_for(rtt, blocks), "kind": kind})
                        if "error" not in result:
                            result["n"] = result["blocks"]
                        best = results.get((rtt, kind))
                        if best is None or "error" in best or (
                                "error" not in result and result["n"] / result["wall"]
                                > best["n"] / best["wall"]):
                            results[rtt, kind] = result
                print_table(results, rtt)
                sys.stdout.flush()
        print_goals(results, rtts)
        print(f"\nwhole run: {time.monotonic() - started:.0f} s")
    finally:
        for worker in workers.values():
            worker.close()
        for process in (node.process, proxy.process if proxy else None):
            if process is not None:
                process.terminate()
                process.wait(30)
        folder.cleanup()


def print_table(results, rtt) -> None:
    fmt = bf.fmt
    print(f"\n== round trip +{rtt} ms, {LOGS} Transfers per block ==")
    print(f"{'row':<25} {'blocks':>6} {'blocks/s':>9} {'rows/s':>9} {'/loop':>6} {'/Follower':>9} "
          f"{'CPU us/blk':>10} {'server':>7} {'commit':>6} {'rows':>7} {'1st batch':>12}")
    digests = {r["digest"] for k in ROWS if "digest" in (r := results[rtt, k])}
    for kind in ROWS:
        r = results[rtt, kind]
        label = LABELS[kind]
        if "error" in r:
            print(f"{label:<25} failed: {r['error']}")
            continue
        bps = rate(results, rtt, kind)
        rows = r.get("rows")
        server = None if r.get("server_cpu") is None else r["server_cpu"] / r["n"] * 1e6
        check = ""
        if r["logs"] != LOGS * r["n"] or (rows is not None and rows != r["logs"]):
            check += f"  MISMATCH: {r['logs']} logs, {rows} rows (expected {LOGS * r['n']})"
        if len(digests) > 1 and "digest" in r:
            check += "  ROWS DIFFER"
        if "last" in r and r["checkpoint"] != r["last"]:
            check += f"  CHECKPOINT AT {r['checkpoint']} (expected {r['last']})"
        commit = r["commit"] / r["wall"] if "commit" in r else None
        loop = bf._ratio(bps, rate(results, rtt, LOOP[kind])) if kind in LOOP else None
        print(f"{label:<25} {r['n']:6d} {bps:9.0f} "
              f"{fmt(rate(results, rtt, kind, 'rows') if rows is not None else None, '.0f', 9)} "
              f"{fmt(loop, '.1f', 6)} "
              f"{fmt(bf._ratio(bps, rate(results, rtt, 'follower')), '.2f', 9)} "
              f"{r['cpu'] / r['n'] * 1e6:10.1f} {fmt(server, '.1f', 7)} "
              f"{fmt(commit, '.0%', 6)} {fmt(rows, 'd', 7)} {r.get('digest', '-'):>12}{check}")


def print_goals(results, rtts) -> None:
    """The goals as ratios measured in this run; printed, not asserted."""
    print("\ngoals (blocks/s ratios from this run)")
    for kind, loop in LOOP.items():
        print(f"  {LABELS[kind]}:")
        for rtt in rtts:
            bps = rate(results, rtt, kind)
            for text, base, goal in ((f"/ {LABELS[loop]}", loop, GOAL_LOOP),
                                     ("/ Follower", "follower", GOAL_FOLLOWER)):
                value = bf._ratio(bps, rate(results, rtt, base))
                verdict = "n/a" if value is None else ("met" if value >= goal else "NOT met")
                print(f"    {text + f' at +{rtt} ms':<40} {bf.fmt(value, '.2f', 8)}   "
                      f"goal >= {goal:<5g} {verdict}")


if __name__ == "__main__":
    main()
