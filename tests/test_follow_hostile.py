"""Nodes that lie, lag, stall and refuse: one table of scenarios, each run by
the library (both drivers, one and several requests in flight) and by the
command, each ending with exactly the canonical logs or with its stated error."""

import contextlib
import http.server
import json
import math
import re
import signal
import socket
import subprocess
import threading
import time
import types
from typing import Callable, NamedTuple

import pytest

from follow_support import SLOW, TRANSFER_ABI, Recorder, canonical, fold, make_follower, run

pytest.importorskip("web3")

import vorlane_follow  # noqa: E402
from test_follow_cli import command, finish, read_lines, token_args  # noqa: E402

BATCH = 16
SWAPPED_TO = 5  # the chain id a swapped node answers
RUN_LIMIT = 30.0  # seconds before a run that neither ends nor fails is stopped


def lagging_logs(refuses):
    def arm(faults):
        # The first call for each range (or block hash) meets the lagging
        # backend, its repeat an up-to-date one: met however calls interleave.
        faults.logs_lag, faults.logs_lag_share, faults.logs_lag_refuses = 20, "first", refuses
        # Range requests only: a block whose logs a short answer left out is
        # asked for by hash besides.
        faults.ranges = 0

        def count(calls):
            faults.ranges += sum(c.get("method") == "eth_getLogs" and "fromBlock" in c["params"][0]
                                 for c in calls)
        faults.on_request(count)
    return arm


def polls_paced(node, last, seconds, counters):
    # A poll every 250 ms; a loop that does not wait makes dozens a second.
    assert node.requests["eth_blockNumber"] <= 2 * seconds / 0.25 + 5


def log_range_kept(node, last, seconds, counters):
    # Each refusal costs one retry of the same range, not a halved one.
    assert node.faults.ranges <= -(-(last + 1) // BATCH) + node.faults.served["logs_lag"] + 2


def not_stalled(node, last, seconds, counters):
    # Three answers of 4 s each, each given up after 1 s.
    assert seconds < 9


def retry_after_obeyed(node, last, seconds, counters):
    assert seconds >= 2 and (counters is None or counters.retries == 2)


def paused(node, last, seconds, counters):
    # One request's tries: each pause longer than the one before, each retry counted.
    gaps = [b - a for a, b in zip(node.faults.repeats, node.faults.repeats[1:])]
    assert len(gaps) >= 2 and gaps[-1] > gaps[0], gaps
    assert counters is None or counters.retries >= len(gaps)


def asked_at_poll_interval(node, last, seconds, counters):
    # Six refusals, each asked again after a poll interval (20 ms), not after a
    # pause growing from half a second (at least 23 s for six).
    assert seconds < 10 and (counters is None or counters.retries >= 6)


def not_hammered(node, last, seconds, counters):
    assert node.faults.served["error"] <= 12


def held_429(faults):
    # The second batch's logs are refused while the first batch's headers are
    # still coming: the batches planned once it is in wait for the pause too.
    faults.trickle_next(1, 0.5, method="eth_getBlockByNumber")
    faults.status_next(1, 429, retry_after=1, method="eth_getLogs", after=1)
    faults.arrivals = []
    faults.on_request(lambda calls: faults.arrivals.append(time.monotonic()))


def endpoint_held(node, last, seconds, counters):
    # No request at all while the endpoint's pause lasts, not only the refused one.
    refused = node.faults.times["status"][0]
    assert not [t for t in node.faults.arrivals if refused + 0.1 < t < refused + 0.9]


def lagging_by_hash(faults):
    # A backend 3 blocks behind answers [] by range and by hash alike.
    faults.logs_lag, faults.logs_lag_by_hash_empty = 3, True


QUOTA = ("Monthly capacity limit exceeded. Visit https://dashboard.example.com/apps to upgrade your "
         "scaling policy for more throughput.")
PACED = {"retry_base": 0.05}  # pauses long enough to tell apart from the time on the wire


class Row(NamedTuple):
    arm: Callable
    fault: str  # the key of `faults.served` that shows the fault was met
    options: dict = {}  # the library's keywords and config fields
    args: tuple = ()  # the command's options
    check: Callable | None = None
    mine_every: float | None = None  # seconds between blocks mined once the fault is met
    ahead: int = 0  # the last block is this far above the confirmed head at the start
    error: tuple = ()  # the run ends with an error holding these (formatted with chain and url)


ROWS = {
    "lagging eth_getLogs backend": Row(lagging_logs(False), "logs_lag"),
    "null headers above a lag": Row(lambda f: setattr(f, "headers_lag", 6), "headers_lag",
                                    {"poll_interval_ms": 250}, ("--poll-interval-ms", 250), polls_paced,
                                    mine_every=0.2, ahead=3),
    "every log twice": Row(lambda f: setattr(f, "duplicate_logs", True), "duplicate_logs"),
    "chain id swapped": Row(lambda f: f.swap_chain_id(SWAPPED_TO, after=4), "result",
                            error=(f"the node's chain id changed from {{chain}} to {SWAPPED_TO}",)),
    "trickled answers": Row(lambda f: f.trickle_next(3, 4.0), "trickle", {"request_timeout": 1},
                            ("--request-timeout", 1), not_stalled),
    "HTML page on a 200": Row(lambda f: f.html_next(3), "html"),
    "JSON cut short on a 200": Row(lambda f: f.cut_next(3), "cut"),
    "rate-limited batch items": Row(lambda f: f.rate_limit_next(3), "rate_limit"),
    "null results": Row(lambda f: [f.null_next(2, m) for m in ("eth_blockNumber", "eth_getBlockByNumber",
                                                                "eth_getLogs")], "result"),
    "invalid block range params": Row(lagging_logs(True), "logs_lag", check=log_range_kept),
    "refused batches": Row(lambda f: f.refuse_batches(), "batch_refused"),
    # On the chain id asked first, so that the two waits cannot overlap.
    "429 with Retry-After": Row(lambda f: f.status_next(2, 429, retry_after=1, method="eth_chainId"), "status",
                                {"default_provider": True, "retry_cap": 5.0}, check=retry_after_obeyed),
    "Retry-After holds the endpoint": Row(held_429, "status", {"retry_cap": 5.0}, check=endpoint_held),
    "batch too large, one error in a list": Row(lambda f: f.limit_batches(5), "batch_refused"),
    "request timed out over a range": Row(lambda f: setattr(f, "max_log_range", 4) or setattr(
        f, "range_error", (-32002, "request timed out")), "range_refused"),
    "request timed out for one block": Row(lambda f: f.error_next(2, -32002, "request timed out", "eth_getLogs",
                                                                  same=True), "error",
                                           {"batch_size": 1, **PACED}, ("--batch-size", 1), paused),
    "quota used up": Row(lambda f: f.error_next(math.inf, -32600, QUOTA, status=403), "error", check=not_hammered,
                         error=("{url}: ", "was refused: HTTP 403: Monthly capacity limit exceeded. Visit")),
    "gateway placeholder on a 200": Row(lambda f: f.placeholder_next(2, "eth_getLogs", same=True), "placeholder",
                                        PACED, check=paused),
    "gateway placeholder for ever": Row(lambda f: f.placeholder_next(math.inf, "eth_getLogs"), "placeholder",
                                        error=("{url}: eth_getLogs: ", '"message":"Method not allowed"',
                                               "(5 times in a row)")),
    "backend behind: could not be found": Row(
        lambda f: f.error_next(6, -32001, "28392580 could not be found", "eth_getLogs", same=True), "error",
        {"retry_base": 0.5, "retry_cap": 30.0}, check=asked_at_poll_interval),
    "backend behind: [] by hash near the head": Row(lagging_by_hash, "logs_lag_by_hash", {"confirmation_depth": 1},
                                                    ("--confirmations", 1), mine_every=0.2, ahead=2),
    "bloom written as a quantity": Row(lambda f: setattr(f, "bloom_as_quantity", True), "bloom_quantity"),
    **{f"malformed {kind}": Row(lambda f, kind=kind: f.wire_next(2, kind, same=True), "wire", PACED, check=paused)
       for kind in ("status line", "chunk size", "chunk footer")},
}


@contextlib.contextmanager
def mining(node, row):
    """Mines every `row.mine_every` seconds from the moment the follower meets
    the fault, and counts the node's requests from then on. Yields a list
    that holds that moment."""
    stop, met = threading.Event(), []

    def start():
        while not node.faults.served[row.fault] and not stop.wait(0.01):
            pass
        if not stop.is_set():
            node.reset_counters()
            met.append(time.monotonic())
            node.mine_every(row.mine_every)

    thread = threading.Thread(target=start, daemon=True)
    if row.mine_every:
        thread.start()
    try:
        yield met
    finally:
        stop.set()
        if row.mine_every:
            thread.join()
        node.stop_mining()


# Every row runs with several requests in flight on both drivers everywhere;
# one at a time and the command (pure Python, as is the blocking driver) on
# the full run only.
@pytest.mark.parametrize("driver, in_flight, abi", [pytest.param("sync", 1, None, marks=SLOW),
                                                    ("sync", 4, TRANSFER_ABI), ("async", 4, None)],
                         ids=["sync-1", "sync-4-decoded", "async-4"])
@pytest.mark.parametrize("name", ROWS)
def test_library_survives(dev_node, demo_chain, name, driver, in_flight, abi):
    row = ROWS[name]
    row.arm(dev_node.faults)
    last = demo_chain.head - 3 + row.ahead
    handler = Recorder()
    follower = make_follower(driver, dev_node, demo_chain, handler, max_in_flight=in_flight, abi=abi,
                             to_block=None if row.error else last, **row.options)
    guard = threading.Timer(RUN_LIMIT, follower.stop)
    guard.start()
    try:
        with mining(dev_node, row) as met:
            started = time.monotonic()
            if row.error:
                with pytest.raises(vorlane_follow.FollowError) as raised:
                    run(follower)
                for part in row.error:
                    assert part.format(chain=demo_chain.chain_id, url=dev_node.url) in str(raised.value)
            else:
                run(follower)
            seconds = time.monotonic() - (met[0] if met else started)
    finally:
        guard.cancel()
    if not row.error:
        assert handler.blocks == [(n, demo_chain.block(n).hash) for n in range(last + 1)]
        assert fold(handler.lines) == canonical(demo_chain, 0, last)
    assert dev_node.faults.served[row.fault] >= 1
    if row.check:
        row.check(dev_node, last, seconds, follower.counters)


@SLOW
@pytest.mark.parametrize("name", ROWS)
def test_command_survives(dev_node, demo_chain, name):
    row = ROWS[name]
    row.arm(dev_node.faults)
    last = demo_chain.head - 3 + row.ahead
    args = ["--rpc", dev_node.url, *token_args(demo_chain), "--confirmations", 3, "--batch-size", BATCH,
            "--poll-interval-ms", 20, "--store", "memory", *([] if row.error else ["--to-block", last]), *row.args]
    with mining(dev_node, row) as met:
        started = time.monotonic()
        process = command(*args)
        try:
            code, out, err = finish(process, RUN_LIMIT)
        except subprocess.TimeoutExpired:
            process.send_signal(signal.SIGINT)
            code, out, err = finish(process, 30)
        seconds = time.monotonic() - (met[0] if met else started)
    if row.error:
        # One line of error, after the warnings of what was retried on the way.
        errors = [line for line in err.splitlines() if line.startswith("vorlane-follow: error: ")]
        assert code == 1 and errors == err.splitlines()[-1:], err
        for part in row.error:
            assert part.format(chain=demo_chain.chain_id, url=dev_node.url) in errors[0]
    else:
        assert code == 0, err
        lines = [json.loads(line) for line in out.splitlines()]
        assert lines == [{"type": "rollback", "to_block": -1}, *canonical(demo_chain, 0, last)]
    assert dev_node.faults.served[row.fault] >= 1
    if row.check:
        row.check(dev_node, last, seconds, None)


def wait_for(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert condition()


@pytest.mark.parametrize("runner", ["sync", "async", "command", "command starting"])
def test_stop_during_a_trickled_answer_ends_at_once_with_a_checkpoint(dev_node, demo_chain, tmp_path, runner):
    from vorlane_stores import SqliteStorage

    if runner == "command starting":  # the command's first question
        dev_node.faults.trickle_next(1, 60, method="eth_chainId")
    else:
        dev_node.faults.trickle_next(1, 60, method="eth_getLogs", after=1)
    last, path = demo_chain.head - 3, tmp_path / "cp.db"
    if runner.startswith("command"):
        output = tmp_path / "out.jsonl"
        process = command("--rpc", dev_node.url, *token_args(demo_chain), "--confirmations", 3, "--batch-size", 8,
                          "--to-block", last, "--store", f"sqlite:{path}", "--output", output)
        stop = lambda: process.send_signal(signal.SIGINT)  # noqa: E731
    else:
        handler = Recorder()
        # One batch at a time: the first is delivered before the trickled second.
        follower = make_follower(runner, dev_node, demo_chain, handler, store=SqliteStorage(str(path)),
                                 batch_size=8, to_block=last, max_in_flight=2)
        thread = threading.Thread(target=run, args=(follower,), daemon=True)
        thread.start()
        stop = follower.stop
    try:
        wait_for(lambda: dev_node.faults.served["trickle"] == 1)
        time.sleep(0.3)
        stopped = time.monotonic()
        stop()
        if runner.startswith("command"):
            code, _, err = finish(process, 10)
            # Stopped before the node answered: nothing was opened.
            assert output.exists() == path.exists() == (runner == "command")
            lines = read_lines(output) if runner == "command" else []
            last_block = re.search(r"stopped; last block (\d+|none),", err)
            delivered = None if last_block is None or last_block[1] == "none" else int(last_block[1])
            assert code == 130 and (last_block is None) == (runner == "command starting"), err
        else:
            thread.join(10)
            assert not thread.is_alive()
            lines, delivered = handler.lines, handler.blocks[-1][0] if handler.blocks else None
        assert time.monotonic() - stopped < 1.5
    finally:
        if runner.startswith("command") and process.poll() is None:
            process.kill()
            process.communicate()
    saved = SqliteStorage(str(path)).load_checkpoint(str(demo_chain.chain_id), "default")
    if delivered is None:  # the trickled answer was the first batch's (several are in flight)
        assert saved is None and fold(lines) == []
    else:
        assert (saved.block_number, saved.block_hash) == (delivered, demo_chain.block(delivered).hash)
        assert fold(lines) == canonical(demo_chain, 0, delivered)


@pytest.fixture
def not_json_rpc():
    """An HTTP server that answers a POST with 501, as http.server's plain handler does."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}"


@pytest.mark.parametrize("endpoint, runner", [
    ("closed port", "sync"), ("closed port", "async"), pytest.param("closed port", "command", marks=SLOW),
    ("HTTP 501", "sync"), ("HTTP 501", "async"), ("HTTP 501", "command"),
])
def test_an_endpoint_that_is_no_node_ends_with_node_error(demo_chain, request, endpoint, runner):
    url = closed_port_url() if endpoint == "closed port" else request.getfixturevalue("not_json_rpc")
    message = (rf"cannot reach {re.escape(url)}: .+ \(retried for (\d+) s\)" if endpoint == "closed port" else
               rf"{re.escape(url)} is not a JSON-RPC endpoint: HTTP 501 to a POST")
    started = time.monotonic()
    if runner == "command":
        code, out, err = finish(command("--rpc", url, "--store", "memory"), 120)
        assert (code, out) == (1, "")
        text, retried_for, limit = err.splitlines()[-1], 30, 60
        message = "vorlane-follow: error: " + message
    else:
        follower = make_follower(runner, types.SimpleNamespace(url=url), demo_chain, Recorder(),
                                 startup_timeout=1, to_block=10)
        with pytest.raises(vorlane_follow.NodeError) as raised:
            run(follower)
        text, retried_for, limit = str(raised.value), 1, 10
    found = re.fullmatch(message, text)
    assert found, text
    seconds = time.monotonic() - started
    if endpoint == "closed port":
        assert int(found[1]) == retried_for and retried_for <= seconds < limit
    else:
        assert seconds < limit
