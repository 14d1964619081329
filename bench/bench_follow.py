"""Catching up mainnet-shaped blocks over added latency: the follower beside
the loops it replaces and the limit the node and the link set.

A node process (`_follow_node.py`) serves a synthetic chain whose answers
were encoded once, from bytes, so it is not the bottleneck; a proxy process
(`_delay_proxy.py`) adds 20, 50 or 100 ms of round trip (0: straight to the
node). Blocks carry 150 transaction hashes (about 11.5 KB of header JSON) and
0, 5 or 20 matching logs each. For every (round trip, logs per block) the same
block range is caught up by each row:

- `Follower`, `AsyncFollower`: the library with its defaults;
- `vorlane-follow`: the command, `--store memory --output /dev/null`;
- `Follower decoded`, `command decoded`: the same given the token's ABI
  (`abi=`, `--abi`): the handler gets typed Transfer records, the command
  writes lines with "event" and "args";
- `web3.py loop`: a bare loop (one batch of `get_block` and one `get_logs`
  per batch, sequential), the path a follower built on web3.py takes;
- `requests+json`: the same requests with `requests.Session`, answers decoded
  with `json.loads`, sequential (these two loops stop at the first batch end
  past `--seconds`, so they may cover fewer blocks: the figures are rates);
- `reference`: the same requests, `--inflight` at a time over as many
  connections, answers read but not parsed: what the node and link allow.

Each row runs in its own long-lived worker process (the command is a process
per run), so its CPU time (`time.process_time` around the run) is the
client's alone; the node's and the proxy's CPU are read from /proc.
"""

from __future__ import annotations

import json
import math
import os
import resource
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Where vorlane_follow is imported from, by the workers and the command too.
FOLLOW_SRC = os.environ.get("VORLANE_BENCH_FOLLOW_SRC") or str(HERE.parent / "python")
sys.path.insert(0, str(HERE))
sys.path.insert(0, FOLLOW_SRC)
ROWS = ("follower", "decoded", "async", "command", "command-decoded", "web3", "requests", "reference")
LABELS = {"follower": "Follower", "decoded": "Follower decoded", "async": "AsyncFollower",
          "command": "vorlane-follow", "command-decoded": "command decoded",
          "web3": "web3.py loop", "requests": "requests+json", "reference": "reference"}
# The decoded rows' ABI: the synthetic chain's logs are ERC-20 Transfers.
TRANSFER_ABI = "event Transfer(address indexed from, address indexed to, uint256 value)\n"
# Each decoded row beside the raw row it is compared with.
RAW = {"decoded": "follower", "command-decoded": "command"}
# What decoding may add per log, us: a Transfer record, a decoded line.
ADDED = {"decoded": 0.25, "command-decoded": 1.0}
# Requests the follower makes besides two per batch: eth_chainId, eth_blockNumber
# and, at the end, one header re-read to check the last block is still canonical.
FIXED_TRIPS = 3
WORKER_KINDS = ("follower", "decoded", "async", "web3", "requests", "reference")


# ---------------------------------------------------------------------------
# Workers: one process per row kind, jobs on stdin, results on stdout.
# ---------------------------------------------------------------------------

class CountingHandler:
    def __init__(self) -> None:
        self.blocks = 0
        self.logs = 0

    def on_block(self, block, logs) -> None:
        self.blocks += 1
        self.logs += len(logs)

    def on_rollback(self, block_number) -> None:
        pass


def _config(job):
    from vorlane import IndexerConfig

    return IndexerConfig(chain=str(job["chain_id"]), from_block=job["first"], to_block=job["last"],
                         batch_size=job["batch"])


def _filter(job):
    from vorlane import EventFilter

    f = EventFilter.for_address(job["token"])
    f.add_topic0(job["topic0"])
    return f


def _options(job):
    return {} if job.get("max_in_flight") is None else {"max_in_flight": job["max_in_flight"]}


def run_follower(job):
    from vorlane import InMemoryStorage
    from web3 import HTTPProvider, Web3

    from vorlane_follow import Follower

    handler = CountingHandler()
    follower = Follower(Web3(HTTPProvider(job["url"])), _config(job), _filter(job),
                        InMemoryStorage(), handler, abi=job.get("abi"), **_options(job))
    wall, cpu = time.perf_counter(), time.process_time()
    counters = follower.run()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return wall, cpu, handler.blocks, handler.logs, counters.round_trips


def run_async(job):
    import asyncio

    from vorlane import InMemoryStorage
    from web3 import AsyncHTTPProvider, AsyncWeb3

    from vorlane_follow import AsyncFollower

    async def go():
        handler = CountingHandler()
        w3 = AsyncWeb3(AsyncHTTPProvider(job["url"]))
        follower = AsyncFollower(w3, _config(job), _filter(job), InMemoryStorage(), handler,
                                 **_options(job))
        wall, cpu = time.perf_counter(), time.process_time()
        counters = await follower.run()
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        await w3.provider.disconnect()
        return wall, cpu, handler.blocks, handler.logs, counters.round_trips

    return asyncio.run(go())


def run_web3(job):
    from web3 import HTTPProvider, Web3

    w3 = Web3(HTTPProvider(job["url"]))
    token = Web3.to_checksum_address(job["token"])
    blocks = logs = 0
    wall, cpu = time.perf_counter(), time.process_time()
    w3.eth.block_number
    for first in range(job["first"], job["last"] + 1, job["batch"]):
        top = min(job["last"], first + job["batch"] - 1)
        with w3.batch_requests() as b:
            for n in range(first, top + 1):
                b.add(w3.eth.get_block(n))
            blocks += len(b.execute())
        logs += len(w3.eth.get_logs({"fromBlock": first, "toBlock": top, "address": [token],
                                     "topics": [[job["topic0"]]]}))
        if job["budget"] and time.perf_counter() - wall > job["budget"]:
            break
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return wall, cpu, blocks, logs, None


def _bodies(job):
    """The requests every loop sends, as Python values: (headers, logs) per batch."""
    out = []
    for first in range(job["first"], job["last"] + 1, job["batch"]):
        top = min(job["last"], first + job["batch"] - 1)
        headers = [{"jsonrpc": "2.0", "method": "eth_getBlockByNumber", "params": [hex(n), False],
                    "id": i} for i, n in enumerate(range(first, top + 1))]
        logs = {"jsonrpc": "2.0", "method": "eth_getLogs", "id": 0, "params": [
            {"fromBlock": hex(first), "toBlock": hex(top), "address": [job["token"]],
             "topics": [[job["topic0"]]]}]}
        out.append((headers, logs))
    return out


HEAD = {"jsonrpc": "2.0", "method": "eth_blockNumber", "params": [], "id": 0}


def run_requests(job):
    import requests

    session = requests.Session()
    session.headers["Content-Type"] = "application/json"
    url = job["url"]
    dumps, loads = json.dumps, json.loads
    blocks = logs = 0
    wall, cpu = time.perf_counter(), time.process_time()
    loads(session.post(url, data=dumps(HEAD)).content)
    for headers, get_logs in _bodies(job):
        answers = loads(session.post(url, data=dumps(headers)).content)
        blocks += sum(1 for a in answers if a.get("result"))
        logs += len(loads(session.post(url, data=dumps(get_logs)).content)["result"])
        if job["budget"] and time.perf_counter() - wall > job["budget"]:
            break
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    session.close()
    return wall, cpu, blocks, logs, None


def _http_request(host: str, port: int, body: bytes) -> bytes:
    return (f"POST / HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def _exchange(sock: socket.socket, request: bytes, buffer: bytearray) -> int:
    """Sends one request and reads its answer into `buffer`; returns the body's length."""
    sock.sendall(request)
    view = memoryview(buffer)
    have = 0
    while True:
        got = sock.recv_into(view[have:], len(buffer) - have)
        if not got:
            raise ConnectionError("the node closed the connection")
        have += got
        end = buffer.find(b"\r\n\r\n", 0, have)
        if end >= 0:
            break
    start = buffer.find(b"Content-Length:", 0, end) + 15
    length = int(buffer[start:buffer.find(b"\r", start)])
    body_end = end + 4 + length
    if body_end > len(buffer):
        del view
        buffer.extend(bytes(body_end - len(buffer)))
        view = memoryview(buffer)
    while have < body_end:
        got = sock.recv_into(view[have:], body_end - have)
        if not got:
            raise ConnectionError("the node closed the connection")
        have += got
    return length


def run_reference(job):
    host, _, port = job["url"].removeprefix("http://").rpartition(":")
    port = int(port)
    requests = [_http_request(host, port, json.dumps(body).encode())
                for pair in _bodies(job) for body in pair]
    head = _http_request(host, port, json.dumps(HEAD).encode())
    inflight = max(1, min(job["inflight"], len(requests)))
    lock = threading.Lock()
    pending = iter(requests)
    sizes = []
    socks = [socket.create_connection((host, port)) for _ in range(inflight)]
    for s in socks:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def worker(sock):
        buffer = bytearray(1 << 20)
        while True:
            with lock:
                request = next(pending, None)
            if request is None:
                return
            sizes.append(_exchange(sock, request, buffer))

    wall, cpu = time.perf_counter(), time.process_time()
    _exchange(socks[0], head, bytearray(1 << 12))
    threads = [threading.Thread(target=worker, args=(s,)) for s in socks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    for s in socks:
        s.close()
    if len(sizes) != len(requests):
        raise RuntimeError("some requests got no answer")
    return wall, cpu, job["last"] - job["first"] + 1, None, None


RUNNERS = {"follower": run_follower, "async": run_async, "web3": run_web3,
           "requests": run_requests, "reference": run_reference,
           "decoded": lambda job: run_follower({**job, "abi": TRANSFER_ABI})}


def _reset_peak_rss() -> bool:
    """Starts the kernel's peak-RSS figure (VmHWM) again from the current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _peak_rss_kb(reset: bool) -> int:
    """The peak RSS since the reset, or else the process's lifetime peak."""
    if reset:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker_main(kind: str, runners: dict = RUNNERS) -> None:
    """Runs the jobs read from stdin with `runners[kind]`. A runner returns
    (wall, cpu, blocks, logs, round trips), and may add a dict of further
    fields for the result."""
    run = runners[kind]
    for line in sys.stdin:
        job = json.loads(line)
        try:
            reset = _reset_peak_rss()
            wall, cpu, blocks, logs, round_trips, *more = run(job)
            result = {"wall": wall, "cpu": cpu, "blocks": blocks, "logs": logs,
                      "round_trips": round_trips, "maxrss_kb": _peak_rss_kb(reset),
                      "rss_per_run": reset, **(more[0] if more else {})}
        except Exception as exc:  # reported in the row, the run goes on
            result = {"error": f"{type(exc).__name__}: {exc}"}
        print(json.dumps(result), flush=True)


class Worker:
    def __init__(self, kind: str, script: str = __file__) -> None:
        """A process running `script --worker kind` (the script calls worker_main)."""
        self.kind = kind
        self.process = subprocess.Popen([sys.executable, script, "--worker", kind],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        preexec_fn=_die_with_parent)

    def run(self, job: dict) -> dict:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write(json.dumps(job) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the {self.kind} worker died")
        return json.loads(line)

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        self.process.wait(30)


# ---------------------------------------------------------------------------
# The command: a process per run.
# ---------------------------------------------------------------------------

def command_line() -> list[str]:
    script = Path(sys.executable).with_name("vorlane-follow")
    if script.exists():
        return [str(script)]
    found = shutil.which("vorlane-follow")
    return [found] if found else [sys.executable, "-m", "vorlane_follow"]


def run_command(job: dict, abi: str | None = None) -> dict:
    argv = command_line() + [*(["--abi", abi] if abi else []),
        "--rpc", job["url"], "--address", job["token"], "--topic0", job["topic0"],
        "--from-block", str(job["first"]), "--to-block", str(job["last"]),
        "--confirmations", "12", "--batch-size", str(job["batch"]),
        "--store", "memory", "--output", "/dev/null"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [os.environ.get("VORLANE_BENCH_FOLLOW_SRC", FOLLOW_SRC),
                      os.environ.get("PYTHONPATH")])))
    wall = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                               preexec_fn=_die_with_parent)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - wall
    process.returncode = os.waitstatus_to_exitcode(status)
    assert process.stderr is not None
    error = process.stderr.read().decode(errors="replace").strip()
    process.stderr.close()
    if process.returncode != 0:
        last = error.splitlines()[-1] if error else ""
        return {"error": f"exit {process.returncode}: {last[-200:]}"}
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "blocks": None, "logs": None,
            "round_trips": None, "maxrss_kb": usage.ru_maxrss}


# ---------------------------------------------------------------------------
# The run.
# ---------------------------------------------------------------------------

def _die_with_parent() -> None:
    """Run in a child before it starts: the kernel ends it (SIGTERM) when this
    process dies, so a killed benchmark leaves no node or proxy behind."""
    import ctypes
    import signal

    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def proc_cpu(pid: int) -> float:
    """CPU seconds (user + system) of a process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class NodeProcess:
    def __init__(self, blocks: int) -> None:
        self.process = subprocess.Popen([sys.executable, str(HERE / "_follow_node.py"),
                                         "--blocks", str(blocks)],
                                        stdout=subprocess.PIPE, text=True,
                                        preexec_fn=_die_with_parent)
        assert self.process.stdout is not None
        self.url = self.process.stdout.readline().strip()
        self.info = json.loads(self.process.stdout.readline())
        self.port = int(self.url.rpartition(":")[2])

    def counters(self) -> dict:
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "bench_counters"}).encode()
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            buffer = bytearray(1 << 12)
            length = _exchange(s, _http_request("127.0.0.1", self.port, body), buffer)
            text = bytes(buffer[buffer.find(b"\r\n\r\n") + 4:][:length])
        return json.loads(text)["result"]

    def cpu(self) -> float:
        return proc_cpu(self.process.pid)


class ProxyProcess:
    def __init__(self, port: int, rtts: list[int]) -> None:
        self.process = subprocess.Popen([sys.executable, str(HERE / "_delay_proxy.py"),
                                         "--upstream", f"127.0.0.1:{port}",
                                         "--rtt-ms", ",".join(map(str, rtts))],
                                        stdout=subprocess.PIPE, text=True,
                                        preexec_fn=_die_with_parent)
        assert self.process.stdout is not None
        self.ports = {int(float(k)): v for k, v in json.loads(self.process.stdout.readline()).items()}

    def cpu(self) -> float:
        return proc_cpu(self.process.pid)


def fmt(value, form: str, width: int) -> str:
    return f"{'-':>{width}}" if value is None else f"{value:{width}{form}}"


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker_main(sys.argv[2])
        return

    from _common import parse_args, print_header

    args = parse_args(__doc__.splitlines()[0], lambda p: (
        p.add_argument("--blocks", type=int, default=None,
                       help="blocks per run (default 20000; quick 100)"),
        p.add_argument("--batch", type=int, default=None,
                       help="blocks per batch (default 1000, the follower's default; quick 50)"),
        p.add_argument("--seconds", type=float, default=None,
                       help="the web3.py and requests+json loops stop at the first batch end "
                            "past this many seconds (default 2; quick: none)"),
        p.add_argument("--max-in-flight", type=int, default=None,
                       help="the library followers' max_in_flight (default: theirs)"),
        p.add_argument("--inflight", type=int, default=16,
                       help="requests in flight for the reference row (default 16)"),
        p.add_argument("--rtt", default="0,20,50,100", help="round trips to add, ms"),
        p.add_argument("--logs", default="0,5,20", help="matching logs per block (of 0, 5, 20)"),
        p.add_argument("--follow-src", default=FOLLOW_SRC, metavar="DIR",
                       help="import vorlane_follow from DIR (default: this repository's python/)")))
    os.environ["VORLANE_BENCH_FOLLOW_SRC"] = args.follow_src
    print_header("vorlane_follow: catching up mainnet-shaped blocks over added latency", args)
    blocks = args.blocks or (100 if args.quick else 20_000)
    batch = args.batch or (50 if args.quick else 1000)
    budget = args.seconds if args.seconds is not None else (0.0 if args.quick else 2.0)
    rtts = [int(x) for x in args.rtt.split(",")]
    log_counts = [int(x) for x in args.logs.split(",")]

    started = time.monotonic()
    import tempfile

    abi_dir = tempfile.TemporaryDirectory(prefix="bench-follow-")
    abi_file = os.path.join(abi_dir.name, "transfer.abi")
    with open(abi_file, "w") as f:
        f.write(TRANSFER_ABI)
    node = NodeProcess(blocks)
    proxy = ProxyProcess(node.port, [r for r in rtts if r > 0]) if any(r > 0 for r in rtts) else None
    workers = {kind: Worker(kind) for kind in WORKER_KINDS}
    info = node.info
    print(f"vorlane_follow from {args.follow_src}")
    print(f"node {node.url} (pid {node.process.pid}): segments {info['segments']} "
          f"(first, last block), {info['transactions']} transactions per block, "
          f"built in {time.monotonic() - started:.1f} s")
    if proxy is not None:
        print(f"delay proxy (pid {proxy.process.pid}): ports {proxy.ports}")
    print(f"{blocks} blocks per run, batch {batch}, reference {args.inflight} in flight, "
          + (f"the web3.py and requests+json loops stop at the first batch end past {budget:g} s"
             if budget else "no time budget"))

    try:
        def job_for(rtt: int, logs: int, count: int) -> dict:
            first = info["segments"][str(logs)][0]
            url = node.url if rtt == 0 else f"http://127.0.0.1:{proxy.ports[rtt]}"
            return {"url": url, "first": first, "last": first + count - 1, "batch": batch,
                    "token": info["token"], "topic0": info["transfer_topic0"],
                    "chain_id": info["chain_id"], "inflight": args.inflight, "budget": budget,
                    "max_in_flight": args.max_in_flight}

        # Warm-up: each worker's first run pays for imports and first-use setup.
        for worker in workers.values():
            worker.run(job_for(0, log_counts[-1], min(blocks, batch)))
        startups = [run_command(job_for(0, 0, 1)) for _ in range(1 if args.quick else 2)]
        bad = [s["error"] for s in startups if "error" in s]
        if bad:
            print(f"vorlane-follow failed: {bad[0]}")
            startup = {"wall": 0.0, "cpu": 0.0}
        else:
            startup = {"wall": min(s["wall"] for s in startups), "cpu": min(s["cpu"] for s in startups)}
        print(f"vorlane-follow start-up (a run over one block): {startup['wall']:.2f} s wall, "
              f"{startup['cpu']:.2f} s CPU; its rows show the whole job's blocks/s, "
              f"and CPU with this start-up CPU taken off")

        results: dict[tuple[int, int, str], dict] = {}
        for rtt in rtts:
            print(f"\n== round trip +{rtt} ms ==")
            print(f"{'logs':>4} {'row':<15} {'blocks':>6} {'blocks/s':>9} {'/ref':>5} {'/web3':>6} "
                  f"{'CPU us/blk':>10} {'/req+json':>9} {'rt/batch':>8} {'req/batch':>9} "
                  f"{'node CPU':>8} {'link CPU':>8} {'peak RSS':>8}")
            for logs in log_counts:
                for kind in ROWS:
                    job = job_for(rtt, logs, blocks)
                    before = node.counters()
                    node_cpu, link_cpu = node.cpu(), proxy.cpu() if proxy else 0.0
                    if kind.startswith("command"):
                        result = run_command(job, abi_file if kind == "command-decoded" else None)
                    else:
                        result = workers[kind].run(job)
                    node_cpu, link_cpu = node.cpu() - node_cpu, (proxy.cpu() if proxy else 0.0) - link_cpu
                    result["requests"] = node.counters()["requests"] - before["requests"]
                    if "error" not in result:
                        result["n"] = result["blocks"] if result["blocks"] is not None else blocks
                        result["node_share"] = node_cpu / result["wall"]
                        result["link_share"] = link_cpu / result["wall"] if rtt else None
                        if kind.startswith("command"):
                            # Below the start-up's own CPU: too few blocks to tell (shown as -).
                            net = result["cpu"] - startup["cpu"]
                            result["cpu"] = net if net > 0 else None
                    results[rtt, logs, kind] = result
                for kind in ROWS:
                    print_row(results, rtt, logs, kind, batch)
                sys.stdout.flush()
        print_per_log(results, rtts, log_counts)
        print_targets(results, rtts, log_counts, batch)
        print(f"\nwhole run: {time.monotonic() - started:.0f} s")
    finally:
        abi_dir.cleanup()
        for worker in workers.values():
            worker.close()
        for process in (node.process, proxy.process if proxy else None):
            if process is not None:
                process.terminate()
                process.wait(30)


def _value(results, rtt, logs, kind, key):
    r = results.get((rtt, logs, kind))
    return None if r is None or "error" in r else r.get(key)


def rate(results, rtt, logs, kind):
    wall = _value(results, rtt, logs, kind, "wall")
    return _value(results, rtt, logs, kind, "n") / wall if wall else None


def cpu_per_block(results, rtt, logs, kind):
    cpu = _value(results, rtt, logs, kind, "cpu")
    return None if cpu is None else cpu / _value(results, rtt, logs, kind, "n") * 1e6


def trips_per_batch(results, rtt, logs, kind, batch):
    """Round trips per batch by the follower's counters, less the three it
    makes once: eth_chainId and eth_blockNumber first, and at the end one
    header re-read to check the last block is still canonical."""
    trips = _value(results, rtt, logs, kind, "round_trips")
    if trips is None:
        return None
    return (trips - FIXED_TRIPS) / math.ceil(_value(results, rtt, logs, kind, "n") / batch)


def _less(a, b):
    return None if a is None or b is None else a - b


def _ratio(a, b):
    return None if a is None or not b else a / b


def print_row(results, rtt, logs, kind, batch) -> None:
    r = results[rtt, logs, kind]
    label = LABELS[kind]
    if "error" in r:
        print(f"{logs:>4} {label:<15} failed: {r['error']}")
        return
    n = r["n"]
    bps = rate(results, rtt, logs, kind)
    cpu = cpu_per_block(results, rtt, logs, kind)
    check = ""
    if r.get("logs") is not None and r["logs"] != logs * n:
        check += f"  MISMATCH: {r['logs']} logs (expected {logs * n})"
    print(f"{logs:>4} {label:<15} {n:6d} {bps:9.0f} "
          f"{fmt(_ratio(bps, rate(results, rtt, logs, 'reference')), '.2f', 5)} "
          f"{fmt(_ratio(bps, rate(results, rtt, logs, 'web3')), '.1f', 6)} "
          f"{fmt(cpu, '.1f', 10)} "
          f"{fmt(_ratio(cpu, cpu_per_block(results, rtt, logs, 'requests')), '.2f', 9)} "
          f"{fmt(trips_per_batch(results, rtt, logs, kind, batch), '.2f', 8)} "
          f"{r['requests'] / math.ceil(n / batch):9.2f} "
          f"{r['node_share']:8.0%} {fmt(r['link_share'], '.0%', 8)} "
          f"{r['maxrss_kb'] / 1024:5.0f} MB{check}")


def print_per_log(results, rtts, log_counts) -> None:
    with_logs = [n for n in log_counts if n > 0]
    if 0 not in log_counts or not with_logs:
        return
    print("\nCPU per matching log, us: (CPU per block at N logs - at 0 logs) / N")
    print(f"{'row':<15} " + " ".join(f"{f'{r} ms, {n}':>11}" for r in rtts for n in with_logs))
    for kind in ROWS:
        cells = [fmt(per_log(results, rtt, n, kind), ".2f", 11) for rtt in rtts for n in with_logs]
        print(f"{LABELS[kind]:<15} " + " ".join(cells))


def per_log(results, rtt, logs, kind):
    zero = cpu_per_block(results, rtt, 0, kind)
    at = cpu_per_block(results, rtt, logs, kind)
    return None if zero is None or at is None else (at - zero) / logs


def print_targets(results, rtts, log_counts, batch) -> None:
    """The goals as ratios measured in this run; printed, not asserted."""
    print("\ngoals (figures from this run: the worst over the logs-per-block columns)")

    def worst(values, low_is_bad=True):
        values = [v for v in values if v is not None]
        return (min(values) if low_is_bad else max(values)) if values else None

    def line(text, value, goal, ok):
        verdict = "n/a" if value is None else ("met" if ok(value) else "NOT met")
        print(f"    {text:<46} {fmt(value, '.2f', 8)}   goal {goal:<8} {verdict}")

    for kind in ("follower", "decoded", "async", "command", "command-decoded"):
        print(f"  {LABELS[kind]}:")
        for rtt in (0, 100):
            if rtt not in rtts:
                continue
            line(f"blocks/s / reference at +{rtt} ms", worst(
                _ratio(rate(results, rtt, lg, kind), rate(results, rtt, lg, "reference"))
                for lg in log_counts), ">= 0.6", lambda v: v >= 0.6)
            if kind in RAW:
                line(f"blocks/s / {LABELS[RAW[kind]]} at +{rtt} ms", worst(
                    _ratio(rate(results, rtt, lg, kind), rate(results, rtt, lg, RAW[kind]))
                    for lg in log_counts), ">= 0.9", lambda v: v >= 0.9)
                continue
            goal = 10 if rtt == 0 else 5
            line(f"blocks/s / web3.py loop at +{rtt} ms", worst(
                _ratio(rate(results, rtt, lg, kind), rate(results, rtt, lg, "web3"))
                for lg in log_counts), f">= {goal}", lambda v, g=goal: v >= g)
        line("CPU per block / requests+json (every run)", worst((
            _ratio(cpu_per_block(results, r, lg, kind), cpu_per_block(results, r, lg, "requests"))
            for r in rtts for lg in log_counts), low_is_bad=False), "<= 0.25", lambda v: v <= 0.25)
        line("CPU per matching log, us (every run)", worst((
            per_log(results, r, lg, kind) for r in rtts for lg in log_counts if lg > 0),
            low_is_bad=False), "<= 2", lambda v: v <= 2)
        if kind in RAW:
            line(f"CPU per log, us, more than {LABELS[RAW[kind]]}", worst((
                _less(per_log(results, r, lg, kind), per_log(results, r, lg, RAW[kind]))
                for r in rtts for lg in log_counts if lg > 0), low_is_bad=False),
                f"<= {ADDED[kind]:g}", lambda v, g=ADDED[kind]: v <= g)
        if not kind.startswith("command"):
            line("round trips per batch (every run)", worst((
                trips_per_batch(results, r, lg, kind, batch) for r in rtts for lg in log_counts),
                low_is_bad=False), "2", lambda v: v <= 2.0)
    rss = [(_value(results, r, lg, "follower", "maxrss_kb"), r, lg) for r in rtts for lg in log_counts]
    rss = [v for v in rss if v[0] is not None]
    if rss:
        top, r, lg = max(rss)
        per_run = all(_value(results, r, lg, "follower", "rss_per_run") for _, r, lg in rss)
        print(f"  Follower: peak RSS {top / 1024:.0f} MB (batch {batch}, +{r} ms, {lg} logs per "
              "block; " + ("the process's peak during that run)" if per_run else
                           "the high-water mark of the process that ran every Follower row)"))


if __name__ == "__main__":
    main()
