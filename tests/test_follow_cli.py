"""The vorlane-follow command against the dev node: options, exit statuses,
JSON Lines that fold to the canonical logs whatever happens to the process."""

import http.server
import json
import os
import sqlite3
import random
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

from follow_support import ROOT, SLOW, TRANSFER_ABI, canonical, fold, kill_during_log_requests

pytest.importorskip("web3")

ENV = {**os.environ, "PYTHONPATH": str(ROOT / "python")}


def command(*args, launcher=(sys.executable, "-m", "vorlane_follow"), **kwargs):
    return subprocess.Popen([*launcher, *map(str, args)],
                            **{"env": ENV, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True,
                               **kwargs})


def finish(process, timeout=120):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def token_args(chain):
    return ["--address", chain.token, "--topic0", chain.transfer_topic0]


def read_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


@pytest.fixture(scope="module")
def abi_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("abi") / "transfer.abi"
    path.write_text(TRANSFER_ABI)
    return path


def sink_rows(sink, prefix=""):
    """The Transfer rows of a sink as (block, block hash, log index,
    transaction hash, address, from, to, value); none while it has no table."""
    kind, _, where = sink.partition(":")
    if kind == "parquet":
        import pyarrow.parquet

        folder = Path(where) / "Transfer"
        table = pyarrow.parquet.read_table(folder).to_pylist() if folder.exists() else []
        return sorted(tuple(r[c] for c in ("block_number", "block_hash", "log_index", "transaction_hash",
                                           "address", "from", "to", "value")) for r in table)
    query = (f'SELECT block_number, block_hash, log_index, transaction_hash, address, "from", "to", value '
             f"FROM {prefix}transfer ORDER BY block_number, log_index")
    if kind == "sqlite":
        try:
            with sqlite3.connect(where, timeout=5) as db:
                return db.execute(query).fetchall()
        except sqlite3.OperationalError:
            return []
    import psycopg

    with psycopg.connect(where) as db:
        return [(*row[:7], str(row[7])) for row in db.execute(query)]


def canonical_rows(chain, last):
    return [(x["block_number"], x["block_hash"], x["log_index"], x["transaction_hash"], x["address"],
             "0x" + x["topics"][1][-40:], "0x" + x["topics"][2][-40:], str(int(x["data"], 16)))
            for x in canonical(chain, 0, last)]


def test_help_imports_nothing_heavy():
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "vorlane_follow", "--help"],
                          env=ENV, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith("usage: vorlane-follow [-h] --rpc URL")
    imported = {line.split("|")[-1].strip() for line in done.stderr.splitlines()}
    assert "vorlane" in imported and not any(m.split(".")[0] in ("web3", "aiohttp", "requests") for m in imported)


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: --rpc"),
    (["--rpc", "ftp://node"], "argument --rpc: expected an http(s):// or ws(s):// URL, got 'ftp://node'"),
    (["--rpc", "http://127.0.0.1:1", "--batch-size", "0"], "argument --batch-size: must be at least 1"),
    (["--rpc", "http://127.0.0.1:1", "--from-block", "-3"], "argument --from-block: not a block number: '-3'"),
    (["--rpc", "http://127.0.0.1:1", "--from-block", "9", "--to-block", "3"], "--to-block 3 is below --from-block 9"),
    (["--rpc", "http://127.0.0.1:1", "--store", "redis:x"],
     "argument --store: expected sqlite:PATH, postgres:DSN or memory, got 'redis:x'"),
    (["--rpc", "http://127.0.0.1:1", "--store", "sqlite:"],
     "argument --store: sqlite: needs a file path after the colon, got 'sqlite:'"),
    (["--rpc", "http://127.0.0.1:1", "--store", "postgres:"],
     "argument --store: postgres: needs a DSN after the colon, got 'postgres:'"),
    (["--rpc", "http://127.0.0.1:1", "--address", "hello"],
     "argument --address: expected 0x and 40 hex digits (20 bytes), got 'hello'"),
    (["--rpc", "http://127.0.0.1:1", "--address", "0xF2E2"],
     "argument --address: expected 0x and 40 hex digits (20 bytes), got '0xF2E2'"),
    (["--rpc", "http://127.0.0.1:1", "--address", "0x" + "ab" * 20 + "0"],
     f"argument --address: expected 0x and 40 hex digits (20 bytes), got '0x{'ab' * 20}0'"),
    (["--rpc", "http://127.0.0.1:1", "--topic0", "0xddf2"],
     "argument --topic0: expected 0x and 64 hex digits (32 bytes), got '0xddf2'"),
    (["--rpc", "http://127.0.0.1:1", "--topic0", "ab" * 32],
     f"argument --topic0: expected 0x and 64 hex digits (32 bytes), got '{'ab' * 32}'"),
    (["--rpc", "http://127.0.0.1:1", "--request-timeout", "0"],
     "argument --request-timeout: expected a positive number of seconds, got '0'"),
    (["--rpc", "http://127.0.0.1:1", "--request-timeout", "nan"],
     "argument --request-timeout: expected a positive number of seconds, got 'nan'"),
    (["--rpc", "http://127.0.0.1:1", "--event", "Transfer"],
     "argument --event: names events of an ABI: give --abi too"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "/nonexistent.json"],
     "argument --abi: /nonexistent.json: No such file or directory"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "/dev/null"], "argument --abi: /dev/null: the ABI has no events"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "/dev/null", "--event", "Transfer"],
     "argument --abi: /dev/null: no event 'Transfer' in the ABI; it has: no events"),
    (["--rpc", "http://127.0.0.1:1", "--abi", str(ROOT / "pyproject.toml")],
     f"argument --abi: {ROOT / 'pyproject.toml'}: the ABI is not valid JSON: Expecting value: line 1 column 2 (char 1)"),
    (["--rpc", "http://127.0.0.1:1", "--startup-timeout", "-1"],
     "argument --startup-timeout: expected 0 or more seconds, got '-1'"),
    (["--rpc", "http://127.0.0.1:1", "--sink", "sqlite:{tmp}/ev.db"],
     "argument --sink: writes decoded events: give --abi too"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "{abi}", "--sink", "sqlite:"],
     "argument --sink: sqlite: needs a file path after the colon, got 'sqlite:'"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "{abi}", "--sink", "mysql:{tmp}/ev"],
     "argument --sink: expected sqlite:PATH, postgres:DSN or parquet:DIR, got 'mysql:{tmp}/ev'"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "{abi}", "--sink", "parquet:{tmp}/ev", "--chunk-blocks", "10",
      "--to-block", "25"],
     "--to-block 25 does not end a range of 10 blocks, so its range's events would not be written: give 19 or 29"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "{abi}", "--sink", "parquet:{tmp}/ev", "--table-prefix", "x_"],
     "argument --table-prefix: names the tables of an sqlite: or postgres: --sink"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "{abi}", "--sink", "sqlite:{tmp}/ev.db", "--chunk-blocks", "10"],
     "argument --chunk-blocks: sizes the files of a parquet: --sink"),
    (["--rpc", "http://127.0.0.1:1", "--abi", "{abi}", "--sink", "sqlite:{tmp}/ev.db", "--table-prefix", "pg_"],
     'argument --table-prefix: invalid table name "pg_transfer" for event Transfer(address,address,uint256): '
     "names starting with sqlite_ or pg_ are reserved for the databases' catalogs"),
])
def test_bad_options_exit_2_before_any_file_is_created(tmp_path, abi_file, args, message):
    args, message = [a.format(tmp=tmp_path, abi=abi_file) for a in args], message.format(tmp=tmp_path)
    output, store = tmp_path / "out.jsonl", tmp_path / "cp.db"
    code, out, err = finish(command("--output", output, "--store", f"sqlite:{store}", *args))
    assert (code, out, err.splitlines()[-1]) == (2, "", f"vorlane-follow: error: {message}")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("store", ["sqlite", "postgres", "memory"])
def test_follows_to_the_last_block_and_exits_0(dev_node, demo_chain, tmp_path, store, request):
    store_text = {"sqlite": lambda: f"sqlite:{tmp_path / 'cp.db'}", "memory": lambda: "memory",
                  "postgres": lambda: f"postgres:{request.getfixturevalue('pg_server').dsn}"}[store]()
    last = demo_chain.head - 5
    code, out, err = finish(command("--rpc", dev_node.url, *token_args(demo_chain), "--to-block", last,
                                    "--confirmations", 5, "--batch-size", 7, "--store", store_text,
                                    "--id", f"{tmp_path.name}-{uuid.uuid4().hex}"))
    lines = [json.loads(line) for line in out.splitlines()]
    assert (code, err) == (0, "")
    assert lines[0] == {"type": "rollback", "to_block": -1}
    assert fold(lines) == canonical(demo_chain, 0, last)
    # Exactly the documented key order and lower-case hex.
    assert out.splitlines()[1] == json.dumps(lines[1]) and out == out.lower()


@pytest.mark.parametrize("extra, message", [
    (["--chain", "5", "--store", "memory"], "config.chain is 5 but the node's eth_chainId is {chain_id}"),
    (["--store", "sqlite:{tmp}/missing/cp.db"], "Storage error: unable to open database file: {tmp}/missing/cp.db"),
    (["--abi", "{abi}", "--sink", "sqlite:{tmp}/missing/ev.db"],
     "Storage error: unable to open database file: {tmp}/missing/ev.db"),
])
def test_unfixable_errors_exit_1_with_one_line(dev_node, demo_chain, tmp_path, abi_file, extra, message):
    extra = [x.format(tmp=tmp_path, abi=abi_file) for x in extra]
    code, out, err = finish(command("--rpc", dev_node.url, "--to-block", 10, *extra))
    assert (code, out) == (1, "")
    assert err == f"vorlane-follow: error: {message.format(chain_id=demo_chain.chain_id, tmp=tmp_path)}\n"


def answering(status, body):
    """An HTTP server answering every POST with `status` and `body`, or a closed port when `status` is None."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            self.send_response(status)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if status is not None:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    else:
        server.server_close()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


HTML = '{url}: eth_chainId was answered with an HTML page: "<html><body>Starting</body></html>"'


def test_a_parquet_sink_without_pyarrow_exits_2_naming_the_extra(tmp_path, abi_file):
    hidden = "import sys; sys.modules['pyarrow'] = None; from vorlane_follow import cli; sys.exit(cli.main())"
    code, out, err = finish(command("--rpc", "http://127.0.0.1:1", "--abi", abi_file, "--sink", f"parquet:{tmp_path}/ev",
                                    launcher=[sys.executable, "-c", hidden]))
    assert (code, out, err.splitlines()[-1], list(tmp_path.iterdir())) == (2, "", (
        "vorlane-follow: error: argument --sink: ParquetSink needs pyarrow, the extra [parquet]: "
        "pip install '.[parquet]'"), [])


@pytest.mark.parametrize("status, body, lines", [
    # No wait can change these: one line at once.
    (501, b"", ["error: {url} is not a JSON-RPC endpoint: HTTP 501 to a POST"]),
    (404, b"Not Found", ["error: {url} is not a JSON-RPC endpoint: HTTP 404 to a POST"]),
    # A node that may still be starting is waited for, as long as the warning says.
    (200, b"<html><body>Starting</body></html>", [HTML + "; retrying for up to 1 s", "error: " + HTML]),
    (None, b"", ["cannot reach {url}: connection refused; retrying for up to 1 s",
                 "error: cannot reach {url}: connection refused (retried for 1 s)"]),
])
def test_a_failed_start_up_exits_1_and_leaves_no_file(tmp_path, status, body, lines):
    server, url = answering(status, body)
    try:
        code, out, err = finish(command("--rpc", url, "--output", "out.jsonl", "--startup-timeout", 1, cwd=tmp_path))
    finally:
        server.shutdown() if status is not None else None
        server.server_close()
    assert (code, out, err.splitlines()) == (1, "", [f"vorlane-follow: {line.format(url=url)}" for line in lines])
    assert list(tmp_path.iterdir()) == []


# The console script as pip installs it (run by a relative path), and `python -m`.
PYTHON = os.path.abspath(sys.executable)
SCRIPT = Path(PYTHON).parent / "vorlane-follow"


@pytest.mark.parametrize("launcher, paths, resumed", [
    ("script", ["--out=out.jsonl", "--store", "sqlite:cp.db"], ["--out={here}/out.jsonl", "--store", "sqlite:{here}/cp.db"]),
    ("module", ["--output", "out.jsonl"], ["--output", "{here}/out.jsonl", "--store", "sqlite:{here}/vorlane-follow.db"]),
])
def test_sigint_saves_a_checkpoint_and_prints_a_resume_line_that_works_from_anywhere(dev_node, demo_chain, tmp_path,
                                                                                     launcher, paths, resumed):
    if launcher == "script" and not SCRIPT.is_file():
        pytest.skip(f"no console script at {SCRIPT}")
    here, elsewhere = tmp_path / "here", tmp_path / "elsewhere"
    here.mkdir()
    elsewhere.mkdir()
    launcher, resumer = {"script": ([os.path.relpath(SCRIPT, here)], [str(SCRIPT)]),
                         "module": ([sys.executable, "-m", "vorlane_follow"], [PYTHON, "-m", "vorlane_follow"])}[launcher]
    output = here / "out.jsonl"
    last = demo_chain.head + 4 - 3
    args = ["--rpc", dev_node.url, *token_args(demo_chain), "--confirmations", 3, "--to-block", last,
            "--poll-interval-ms", 50]
    process = command(*args, *paths, launcher=launcher, cwd=here)
    deadline = time.monotonic() + 60
    while not (output.exists() and len(output.read_text().splitlines()) > 5) and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    code, out, err = finish(process)
    summary, resume = err.splitlines()
    stopped_at = int(re.fullmatch(r"vorlane-follow: stopped; last block (\d+), \d+ blocks, \d+ logs, "
                                  r"0 rollbacks \(depths: none\), 0 retries, \d+ round trips", summary)[1])
    words = [*resumer, *map(str, args), *(word.format(here=here) for word in resumed)]
    assert code == 130 and resume == f"vorlane-follow: resume with: {shlex.join(words)}"

    demo_chain.mine(4)
    # Pasted into a shell in another folder: it goes on from the checkpoint, into the same file.
    code, _, err = finish(command(resume.split(": ", 2)[2], launcher=["bash", "-c"], cwd=elsewhere))
    lines = read_lines(output)
    assert (code, err, list(elsewhere.iterdir())) == (0, "", [])
    assert lines.count({"type": "rollback", "to_block": -1}) == 1 and {"type": "rollback", "to_block": stopped_at} in lines
    assert fold(lines) == canonical(demo_chain, 0, last)


def test_a_sink_resume_line_pasted_elsewhere_goes_on_into_the_same_sink(dev_node, demo_chain, tmp_path,
                                                                        abi_file):
    here, elsewhere = tmp_path / "here", tmp_path / "elsewhere"
    here.mkdir()
    elsewhere.mkdir()
    (here / "transfer.abi").write_text(abi_file.read_text())
    last = demo_chain.head + 4 - 3
    args = ["--rpc", dev_node.url, "--address", demo_chain.token, "--confirmations", 3, "--to-block", last,
            "--checkpoint-interval", 2, "--poll-interval-ms", 50]
    process = command(*args, "--abi", "transfer.abi", "--sink", "sqlite:ev.db", cwd=here)
    deadline = time.monotonic() + 60
    while len(sink_rows(f"sqlite:{here / 'ev.db'}")) < 5 and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    code, _, err = finish(process)
    words = [PYTHON, "-m", "vorlane_follow", *map(str, args), "--abi", str(here / "transfer.abi"),
             "--sink", f"sqlite:{here / 'ev.db'}"]
    assert (code, err.splitlines()[-1]) == (130, f"vorlane-follow: resume with: {shlex.join(words)}")

    demo_chain.mine(4)
    code, out, err = finish(command(err.splitlines()[-1].split(": ", 2)[2], launcher=["bash", "-c"], cwd=elsewhere))
    assert (code, out, err, list(elsewhere.iterdir())) == (0, "", "", [])
    assert sink_rows(f"sqlite:{here / 'ev.db'}") == canonical_rows(demo_chain, last)


# The command with a SIGINT sent to itself as the block numbered SIGINT_AT is delivered.
SIGINT_AT = """
import os, signal, sys
from vorlane_follow import cli
on_block = cli.JsonLines.on_block
def on_block_then_sigint(self, block, logs):
    on_block(self, block, logs)
    if block.number == int(os.environ["SIGINT_AT"]):
        os.kill(os.getpid(), signal.SIGINT)
cli.JsonLines.on_block = on_block_then_sigint
sys.exit(cli.main())
"""


@pytest.mark.parametrize("before_last, code, stopped", [(0, 0, False), (1, 130, True)])
def test_a_sigint_as_the_last_block_is_delivered_ends_a_complete_run(dev_node, demo_chain, tmp_path, before_last,
                                                                     code, stopped):
    last = demo_chain.head - 3
    process = command("--rpc", dev_node.url, "--confirmations", 3, "--to-block", last, "--store",
                      f"sqlite:{tmp_path / 'cp.db'}", launcher=[sys.executable, "-c", SIGINT_AT],
                      env={**ENV, "SIGINT_AT": str(last - before_last)})
    ended, _, err = finish(process)
    assert (ended, err.startswith(f"vorlane-follow: stopped; last block {last - before_last},")) == (code, stopped)
    assert stopped or err == ""


def test_the_progress_bar_moves_on_while_the_head_is_awaited(dev_node, demo_chain, tmp_path):
    import fcntl
    import pty
    import select
    import struct
    import termios

    terminal, side = pty.openpty()
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("4H", 24, 100, 0, 0))  # rows, columns
    process = command("--rpc", dev_node.url, "--confirmations", 2, "--poll-interval-ms", 50, "--store", "memory",
                      "--output", tmp_path / "out.jsonl", stderr=side)
    os.close(side)
    shown = b""
    try:
        deadline = time.monotonic() + 5
        while (left := deadline - time.monotonic()) > 0:
            if select.select([terminal], [], [], left)[0]:
                shown += os.read(terminal, 1 << 16)
    finally:
        process.send_signal(signal.SIGINT)
        assert finish(process, 10)[0] == 130
        os.close(terminal)
    # Frames of the bar: blocks delivered and the time elapsed. All blocks are
    # delivered within the first seconds; the clock goes on.
    frames = re.findall(rb"(\d+) blocks \[(\d\d:\d\d)", shown)
    delivered = demo_chain.head - 2 + 1
    assert len({elapsed for blocks, elapsed in frames if int(blocks) == delivered}) >= 3, shown[-300:]


@SLOW
def test_kill_9_at_random_moments_then_resume_folds_exactly(dev_node, demo_chain, tmp_path):
    rng = random.Random(14)
    demo_chain.mine(40)
    last = demo_chain.head - 3
    output, abi = tmp_path / "out.jsonl", tmp_path / "transfer.abi"
    output.touch()
    abi.write_text(TRANSFER_ABI)
    args = ["--rpc", dev_node.url, *token_args(demo_chain), "--confirmations", 3, "--batch-size", 3,
            "--checkpoint-interval", 2, "--to-block", last, "--store", f"sqlite:{tmp_path / 'cp.db'}",
            "--output", output, "--abi", abi]
    dev_node.faults.delay = 0.03
    # A share of the log requests lands on a backend 30 blocks behind.
    dev_node.faults.logs_lag, dev_node.faults.logs_lag_share = 30, 0.3
    cycles = 5
    for cycle in range(cycles):
        # The whole run needs about 30 log requests.
        kill_during_log_requests(dev_node, lambda: command(*args), rng, 5, cycle)
        if cycle == 2:  # the chain moves under the checkpoint while nothing runs
            demo_chain.reorg(8, new_blocks=9)
    code, _, err = finish(command(*args))
    lines = read_lines(output)
    for line in lines[1:]:  # decoded: the arguments agree with the log's own text
        if line["type"] == "log":
            assert (line.pop("event"), line.pop("args")) == ("Transfer", {
                "from": "0x" + line["topics"][1][-40:], "to": "0x" + line["topics"][2][-40:],
                "value": str(int(line["data"], 16))})
    # Warnings about the lagging backend, nothing else.
    assert code == 0 and all("left out its logs" in line or "retrying" in line for line in err.splitlines())
    assert sum(line["type"] == "rollback" for line in lines) >= cycles + 1
    assert fold(lines) == canonical(demo_chain, 0, last)


STORE_APART = ("vorlane-follow: --store keeps the checkpoint apart from the sink's rows: exactly once holds only "
               "with the sink as the store (no --store)\n")


# With a store of its own, rows committed before a kill above its checkpoint
# are deleted by the next start's rollback.
@SLOW
@pytest.mark.parametrize("kind, store", [("sqlite", False), ("postgres", False), ("parquet", False),
                                         ("sqlite", True)])
def test_a_sink_killed_at_random_moments_ends_equal_to_the_canonical_transfers(dev_node, demo_chain, tmp_path,
                                                                               abi_file, kind, store, request):
    rng = random.Random(25)
    demo_chain.mine(30)
    last = (demo_chain.head - 2) // 5 * 5 - 1  # ends a Parquet file's range
    sink = {"sqlite": lambda: f"sqlite:{tmp_path / 'ev.db'}", "parquet": lambda: f"parquet:{tmp_path / 'ev'}",
            "postgres": lambda: f"postgres:{request.getfixturevalue('pg_server').dsn}"}[kind]()
    prefix = "" if kind == "parquet" else f"t{uuid.uuid4().hex[:12]}_"
    naming = ["--chunk-blocks", 5] if kind == "parquet" else ["--table-prefix", prefix]
    args = ["--rpc", dev_node.url, "--address", demo_chain.token, "--abi", abi_file, "--sink", sink, *naming,
            "--id", f"t{uuid.uuid4().hex}", "--confirmations", 3, "--batch-size", 3,
            "--checkpoint-interval", 2, "--to-block", last, *["--store", f"sqlite:{tmp_path / 'cp.db'}"] * store]
    dev_node.faults.delay = 0.03
    for cycle in range(3):
        kill_during_log_requests(dev_node, lambda: command(*args), rng, 5, cycle)
        if cycle == 1:  # the chain moves under the committed rows while nothing runs
            committed = max([row[0] for row in sink_rows(sink, prefix)], default=0)
            depth = demo_chain.head - max(committed, demo_chain.setup_blocks + 2) + 2
            demo_chain.reorg(depth, new_blocks=depth + 1)
    code, out, err = finish(command(*args))
    assert (code, out, err) == (0, "", STORE_APART * store)
    assert sink_rows(sink, prefix) == canonical_rows(demo_chain, last)


@SLOW
def test_held_lines_go_out_once_caught_up_on_a_chain_that_stops_growing(dev_node, demo_chain, tmp_path):
    # The last block with logs, followed by two without: confirmed so that it
    # is further below the head than the command writes block by block.
    blocks = {line["block_number"] for line in canonical(demo_chain, 0, demo_chain.head)}
    last_logs = max(n for n in blocks if n + 1 not in blocks and n + 2 not in blocks and n + 2 <= demo_chain.head)
    confirmations = demo_chain.head - last_logs - 2
    output = tmp_path / "out.jsonl"
    process = command("--rpc", dev_node.url, *token_args(demo_chain), "--confirmations", confirmations,
                      "--store", "memory", "--output", output, "--poll-interval-ms", 50)
    try:
        wanted = [{"type": "rollback", "to_block": -1}, *canonical(demo_chain, 0, last_logs)]
        deadline = time.monotonic() + 20
        while (not output.exists() or read_lines(output) != wanted) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert read_lines(output) == wanted
    finally:
        process.send_signal(signal.SIGINT)
        assert finish(process, 10)[0] == 130


def test_two_commands_on_one_pair_exactly_one_keeps_running(dev_node, demo_chain, tmp_path):
    args = ["--rpc", dev_node.url, "--confirmations", 2, "--checkpoint-interval", 1, "--batch-size", 2,
            "--poll-interval-ms", 50, "--store", f"sqlite:{tmp_path / 'cp.db'}"]
    dev_node.mine_every(0.1)
    first, second = command(*args, "--output", tmp_path / "a"), command(*args, "--output", tmp_path / "b")
    try:
        deadline = time.monotonic() + 90
        while first.poll() is None and second.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)
        ended = [p for p in (first, second) if p.poll() is not None]
        assert len(ended) == 1
        code, _, err = finish(ended[0])
        assert code == 1 and re.fullmatch(r"vorlane-follow: error: Checkpoint mismatch at block \d+\n", err)
    finally:
        dev_node.stop_mining()
        for p in (first, second):
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
                assert finish(p)[0] == 130


@pytest.fixture
def ws_node(dev_node):
    """The dev node's answers over a WebSocket, as a ws:// node serves them.
    The server closes the connection after answering the n-th message for
    each n put in `close_after`, and counts the connections it took."""
    import asyncio
    import threading
    import types

    from websockets.asyncio.server import serve

    node = types.SimpleNamespace(url=None, close_after=set(), connections=0, messages=0)

    async def answer(connection):
        node.connections += 1
        async for message in connection:
            node.messages += 1
            _, payload, _ = await asyncio.to_thread(dev_node.handle_http, message.encode()
                                                    if isinstance(message, str) else message)
            await connection.send(payload.decode())
            if node.messages in node.close_after:
                await connection.close()

    ready, done = threading.Event(), None

    async def main():
        nonlocal done
        done = asyncio.Event()
        async with serve(answer, "127.0.0.1", 0) as server:
            node.url = f"ws://127.0.0.1:{server.sockets[0].getsockname()[1]}"
            ready.set()
            await done.wait()

    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_until_complete, args=(main(),))
    thread.start()
    ready.wait(30)
    yield node
    loop.call_soon_threadsafe(done.set)
    thread.join(30)
    loop.run_until_complete(loop.shutdown_default_executor())
    loop.close()


@pytest.mark.parametrize("url", ["http", "ws"])
def test_follows_a_proof_of_authority_node(dev_node, demo_chain, url, request):
    # Such chains sign their headers in a 97-byte extraData, which web3.py
    # refuses unless told.
    dev_node.faults.extra_data = "0x" + "ab" * 97
    url = dev_node.url if url == "http" else request.getfixturevalue("ws_node").url
    last = demo_chain.head - 4
    code, out, err = finish(command("--rpc", url, *token_args(demo_chain), "--to-block", last,
                                    "--confirmations", 4, "--batch-size", 9, "--store", "memory"))
    assert (code, err) == (0, "")
    assert fold(json.loads(line) for line in out.splitlines()) == canonical(demo_chain, 0, last)


def test_a_dropped_websocket_is_opened_again(ws_node, demo_chain):
    ws_node.close_after.update({3, 8})
    last = demo_chain.head - 4
    code, out, _ = finish(command("--rpc", ws_node.url, *token_args(demo_chain), "--to-block", last,
                                  "--confirmations", 4, "--batch-size", 9, "--store", "memory"))
    assert (code, ws_node.connections) == (0, 3)
    assert fold(json.loads(line) for line in out.splitlines()) == canonical(demo_chain, 0, last)


@pytest.mark.parametrize("before, kept", [
    ('{"type": "rollback", "to_block": -1}\n{"type": "lo', '{"type": "rollback", "to_block": -1}\n'),
    ('{"type": "lo', ""),
])
def test_a_line_cut_short_in_the_output_is_dropped_before_appending(dev_node, demo_chain, tmp_path, before, kept):
    output = tmp_path / "out.jsonl"
    output.write_text(before)
    code, _, _ = finish(command("--rpc", dev_node.url, "--to-block", 12, "--confirmations", 2,
                                "--store", "memory", "--output", output))
    text = output.read_text()
    assert code == 0 and text.startswith(kept + '{"type": "rollback"')
    assert [json.loads(line) for line in text.splitlines()]
