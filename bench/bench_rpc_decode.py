"""vorlane_rpc against Python's json module on the same bytes.

1. A mainnet-shaped batch of block headers (about 12 KB of JSON each: 150
   transaction hashes, a 512-digit logsBloom, the usual fields): decode()
   beside json.loads alone and json.loads plus the same values built in
   Python (BlockSummary, bloom bytes).
2. A batch of logs: decode() per log beside json.loads and the dataclass the
   follower used; Log(...) beside the dataclass constructor.
3. encode_log_lines per log beside json.JSONEncoder().encode (the follower's
   line writer until now).
4. The parser choice, outside Python (bench/rpc_parsers.cpp, built with c++
   when a compiler and simdjson are there): the decoder (simdjson On-Demand,
   the portable build and one for this CPU) beside nlohmann/json's SAX parser
   with a handler that keeps nothing, and a plain copy of the bytes, the cost
   of the decoder's padded copy.
5. Threads decoding 12 MB answers of 1000 headers at once (the follower's
   request threads), 1, 2 and 12 of them: one decode at a time, as with one
   workspace shared in turn, beside decode() as it is, each call in a
   workspace of its own up to one per CPU (wall time for the same number of
   answers; the process's peak RSS after each thread count).

    .venv/bin/python bench/bench_rpc_decode.py [--quick]
"""
from __future__ import annotations

import dataclasses
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from _common import Timer, parse_args, print_header  # noqa: E402

import vorlane  # noqa: E402
import vorlane_rpc  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
HEADERS = 100
LOGS = 1000


def hex_of(rng: random.Random, size: int) -> str:
    return "0x" + rng.randbytes(size).hex()


def header(rng: random.Random, number: int) -> dict:
    h = lambda: hex_of(rng, 32)  # noqa: E731
    return {"baseFeePerGas": "0x3b9aca00", "difficulty": "0x0", "extraData": hex_of(rng, 16),
            "gasLimit": "0x1c9c380", "gasUsed": "0xe4e1c0", "hash": h(),
            "logsBloom": hex_of(rng, 256), "miner": hex_of(rng, 20), "mixHash": h(),
            "nonce": "0x0000000000000000", "number": hex(number), "parentHash": h(),
            "receiptsRoot": h(), "sha3Uncles": h(), "size": "0x2d1e", "stateRoot": h(),
            "timestamp": hex(1_700_000_000 + 12 * number), "totalDifficulty": "0xc70d815d562d3cfa955",
            "transactions": [h() for _ in range(150)], "transactionsRoot": h(), "uncles": [],
            "withdrawals": [], "withdrawalsRoot": h()}


def log(rng: random.Random, index: int) -> dict:
    return {"address": hex_of(rng, 20), "topics": [hex_of(rng, 32) for _ in range(3)],
            "data": hex_of(rng, 32), "blockNumber": "0x12a05f2", "transactionHash": hex_of(rng, 32),
            "transactionIndex": "0x5", "blockHash": hex_of(rng, 32), "logIndex": hex(index),
            "removed": False}


@dataclasses.dataclass(frozen=True, slots=True)
class DataclassLog:
    block_number: int
    block_hash: str
    transaction_hash: str
    log_index: int
    address: str
    topics: tuple[str, ...]
    data: str


def python_headers(body: bytes) -> list:
    out = [None] * HEADERS
    for item in json.loads(body):
        r = item["result"]
        out[item["id"]] = (vorlane.BlockSummary(int(r["number"], 16), r["hash"].lower(), r["parentHash"].lower(),
                                                int(r["timestamp"], 16), len(r["transactions"])),
                           bytes.fromhex(r["logsBloom"][2:]))
    return out


def python_logs(body: bytes) -> list:
    return [DataclassLog(int(x["blockNumber"], 16), x["blockHash"].lower(), x["transactionHash"].lower(),
                         int(x["logIndex"], 16), x["address"].lower(), tuple(t.lower() for t in x["topics"]),
                         x["data"].lower())
            for x in json.loads(body)["result"] if not x.get("removed")]


def ratio(label: str, value: float, base: float) -> None:
    print(f"  {label:<58} {base / value:>11.2f} x")


def parser_choice(quick: bool, body: bytes) -> None:
    print("4. parser choice, C++ only (ns per answer of 100 headers, best of 5)")
    cxx = shutil.which(os.environ.get("CXX", "c++"))
    if not cxx or not Path("/usr/include/simdjson.h").exists():
        print("  skipped: no C++ compiler or no simdjson headers\n")
        return
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "headers.json"
        data.write_bytes(body)
        builds = {"portable": [], "this CPU (-march=native)": ["-march=native"]}
        for name, flags in builds.items():
            exe = Path(tmp) / "parsers"
            subprocess.run([cxx, "-O2", "-std=c++20", *flags, f"-I{ROOT}/core/include",
                            str(ROOT / "bench/rpc_parsers.cpp"), str(ROOT / "core/src/rpc_decode.cpp"),
                            "-lsimdjson", "-o", str(exe)], check=True)
            out = subprocess.run([str(exe), str(data), "0", str(HEADERS), "3" if quick else "20"],
                                 check=True, capture_output=True, text=True).stdout
            figures = dict(line.split() for line in out.splitlines())
            ns = {k: float(v) for k, v in figures.items()}
            print(f"  {name}:")
            for key, value in ns.items():
                print(f"    {key:<56} {value:>11.0f} ns  ({len(body) / value:.2f} GB/s)")
            ratio("  nlohmann SAX (null handler) / simdjson decoder", ns["simdjson_on_demand"],
                  ns["nlohmann_sax_null"])
            print(f"    {'the padded copy, share of the decoder':<56} {ns['copy'] / ns['simdjson_on_demand']:>11.1%}")
    print()


def threads_at_once(quick: bool, rng: random.Random) -> None:
    count = 1000
    body = json.dumps([{"jsonrpc": "2.0", "id": i, "result": header(rng, 19_000_000 + i)}
                       for i in range(count)], separators=(",", ":")).encode()
    kinds = bytes([vorlane_rpc.HEADER]) * count
    answers = 12 if quick else 24  # per run, split among the threads
    repeats = 1 if quick else 5
    cpus = os.cpu_count() or 1
    print(f"5. {answers} answers of {count} headers ({len(body) / 1e6:.1f} MB) decoded by threads at once "
          f"(ms per answer, best of {repeats} runs, the ways taken in turn in each)")
    turn = threading.Lock()

    def one_at_a_time() -> None:  # as with one workspace, taken in turn
        with turn:
            vorlane_rpc.decode(body, kinds)

    def as_is() -> None:
        vorlane_rpc.decode(body, kinds)

    ways = {"one at a time": one_at_a_time, f"own workspaces (up to {cpus})": as_is}

    def run(call, threads: int) -> float:
        def work() -> None:
            for _ in range(answers // threads):
                call()
        pool = [threading.Thread(target=work) for _ in range(threads)]
        start = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        return (time.perf_counter() - start) / answers * 1e3

    as_is()  # the first workspace grown to size before any is timed
    for threads in (1, 2, 12):
        best = dict.fromkeys(ways, float("inf"))
        for _ in range(repeats):
            for name, call in ways.items():
                best[name] = min(best[name], run(call, threads))
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"  {threads:>2} threads: " + ", ".join(f"{name} {ms:.1f} ms" for name, ms in best.items()) +
              f" (peak RSS since start {rss:.0f} MB)")
        shared = best["one at a time"]
        for name in list(ways)[1:]:
            ratio(f"{threads} threads: one at a time / {name}", best[name], shared)
    print()


def main() -> None:
    args = parse_args(__doc__.splitlines()[0])
    print_header("vorlane_rpc: JSON-RPC answers", args)
    timer = Timer(args.quick)
    rng = random.Random(1)

    headers = json.dumps([{"jsonrpc": "2.0", "id": i, "result": header(rng, 19_000_000 + i)}
                          for i in range(HEADERS)], separators=(",", ":")).encode()
    kinds = bytes([vorlane_rpc.HEADER]) * HEADERS
    assert [(s.number, s.hash, b) for s, b in vorlane_rpc.decode(headers, kinds)] == \
        [(s.number, s.hash, b) for s, b in python_headers(headers)]
    ns = {"rpc": vorlane_rpc, "json": json, "body": headers, "kinds": kinds, "python_headers": python_headers}
    print(f"1. {HEADERS} headers in one batch, {len(headers) / HEADERS / 1000:.1f} KB each (ns per batch)")
    loads = timer.row("json.loads", "json.loads(body)", ns)
    python = timer.row("json.loads + values built in Python", "python_headers(body)", ns)
    native = timer.row("vorlane_rpc.decode", "rpc.decode(body, kinds)", ns)
    ratio("json.loads / decode", native, loads)
    ratio("json.loads + Python values / decode", native, python)
    print()

    logs = json.dumps({"jsonrpc": "2.0", "id": 0, "result": [log(rng, i) for i in range(LOGS)]}).encode()
    kinds = bytes([vorlane_rpc.LOGS])
    decoded = vorlane_rpc.decode(logs, kinds)[0]
    assert [dataclasses.astuple(x) for x in python_logs(logs)] == \
        [(x.block_number, x.block_hash, x.transaction_hash, x.log_index, x.address, x.topics, x.data) for x in decoded]
    ns.update(body=logs, kinds=kinds, python_logs=python_logs, Log=vorlane_rpc.Log, DataclassLog=DataclassLog,
              fields=dataclasses.astuple(python_logs(logs)[0]), decoded=decoded,
              old=[DataclassLog(*dataclasses.astuple(x)) for x in python_logs(logs)],
              encode=json.JSONEncoder().encode)
    print(f"2. {LOGS} logs in one answer, 3 topics each (ns per log)")
    loads = timer.row("json.loads", "json.loads(body)", ns) / LOGS
    python = timer.row("json.loads + dataclass Log built in Python", "python_logs(body)", ns) / LOGS
    native = timer.row("vorlane_rpc.decode", "rpc.decode(body, kinds)", ns) / LOGS
    print(f"  {'per log: json.loads / Python / decode':<58} {loads:>8.0f} / {python:.0f} / {native:.0f} ns")
    ratio("json.loads / decode", native, loads)
    ratio("json.loads + dataclass / decode", native, python)
    made_old = timer.row("DataclassLog(*fields)", "DataclassLog(*fields)", ns)
    made_new = timer.row("vorlane_rpc.Log(*fields)", "Log(*fields)", ns)
    ratio("dataclass / Log constructor", made_new, made_old)
    print()

    print(f"3. JSON Lines for {LOGS} logs (ns per log)")
    lines = ("\"\".join(encode({'type': 'log', 'block_number': x.block_number, 'block_hash': x.block_hash, "
             "'transaction_hash': x.transaction_hash, 'log_index': x.log_index, 'address': x.address, "
             "'topics': list(x.topics), 'data': x.data}) + '\\n' for x in old).encode()")
    assert eval(lines, ns) == vorlane_rpc.encode_log_lines(decoded)
    python = timer.row("json.JSONEncoder().encode per log", lines, ns) / LOGS
    native = timer.row("vorlane_rpc.encode_log_lines", "rpc.encode_log_lines(decoded)", ns) / LOGS
    print(f"  {'per log: json / encode_log_lines':<58} {python:>8.0f} / {native:.0f} ns")
    ratio("json / encode_log_lines", native, python)
    print()

    parser_choice(args.quick, headers)
    threads_at_once(args.quick, rng)


if __name__ == "__main__":
    main()
