"""Event decoding per log: vorlane_rpc.EventDecoder beside the Python
decoders, on the same logs.

Two events: an ERC-20 Transfer (3 topics, 32 bytes of data) and a Uniswap
V3-shaped Swap (3 topics, 160 bytes of data: two int256, uint160, uint128,
int24).  For each, ns per log of:

1. vorlane_rpc.decode of a JSON-RPC answer with these logs: the raw delivery
   the decoding comes on top of;
2. EventDecoder.decode (typed records), and its share of the raw delivery;
3. EventDecoder.encode_lines beside encode_log_lines (raw lines): what the
   decoded line costs more;
4. eth-abi's decode of the same topics and data, faster-eth-abi's (when
   installed: `pip install faster-eth-abi`), web3.py's
   `contract.events.X().process_log`, and hand-written Python slicing with no
   checks, each as a ratio to EventDecoder.decode;
5. memory: tracemalloc's bytes per record, beside the Python objects of its
   values alone.

    .venv/bin/python bench/bench_abi_decode.py [--quick]
"""
from __future__ import annotations

import json
import random
import sys
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from _common import Timer, parse_args, print_header  # noqa: E402

import vorlane_rpc  # noqa: E402
from vorlane_rpc import EventDecoder  # noqa: E402

LOGS = 1000

TRANSFER = {"type": "event", "name": "Transfer", "anonymous": False, "inputs": [
    {"name": "from", "type": "address", "indexed": True},
    {"name": "to", "type": "address", "indexed": True},
    {"name": "value", "type": "uint256", "indexed": False}]}
SWAP = {"type": "event", "name": "Swap", "anonymous": False, "inputs": [
    {"name": "sender", "type": "address", "indexed": True},
    {"name": "recipient", "type": "address", "indexed": True},
    {"name": "amount0", "type": "int256", "indexed": False},
    {"name": "amount1", "type": "int256", "indexed": False},
    {"name": "sqrtPriceX96", "type": "uint160", "indexed": False},
    {"name": "liquidity", "type": "uint128", "indexed": False},
    {"name": "tick", "type": "int24", "indexed": False}]}


def keccak(text: str) -> bytes:
    from Crypto.Hash import keccak as k

    return k.new(digest_bits=256, data=text.encode()).digest()


def signature(fragment: dict) -> str:
    return f"{fragment['name']}({','.join(i['type'] for i in fragment['inputs'])})"


def word(value: int) -> str:
    return (value % 2**256).to_bytes(32, "big").hex()


def answer(rng: random.Random, fragment: dict) -> bytes:
    """A JSON-RPC eth_getLogs answer of LOGS logs of the event."""
    topic0 = "0x" + keccak(signature(fragment)).hex()
    logs = []
    for i in range(LOGS):
        topics = [topic0] + ["0x" + word(rng.getrandbits(160)) for _ in range(2)]
        if fragment is TRANSFER:
            data = word(rng.getrandbits(rng.choice([64, 96])))
        else:
            data = "".join(word(v) for v in (-rng.getrandbits(100), rng.getrandbits(120),
                                             rng.getrandbits(160), rng.getrandbits(128),
                                             rng.randrange(-887272, 887272)))
        logs.append({"address": "0x" + rng.randbytes(20).hex(), "topics": topics, "data": "0x" + data,
                     "blockNumber": hex(19_000_000 + i // 5), "transactionHash": "0x" + rng.randbytes(32).hex(),
                     "transactionIndex": hex(i % 150), "blockHash": "0x" + rng.randbytes(32).hex(),
                     "logIndex": hex(i), "removed": False})
    return json.dumps({"jsonrpc": "2.0", "id": 0, "result": logs}).encode()


def slicing(fragment: dict):
    """Hand-written decoding with no ABI and no checks."""
    if fragment is TRANSFER:
        return lambda log: ("0x" + log.topics[1][26:], "0x" + log.topics[2][26:], int(log.data[2:], 16))

    def signed(text: str) -> int:
        v = int(text, 16)
        return v - 2**256 if v >= 2**255 else v

    def swap(log):
        d = log.data
        return ("0x" + log.topics[1][26:], "0x" + log.topics[2][26:], signed(d[2:66]), signed(d[66:130]),
                int(d[130:194], 16), int(d[194:258], 16), signed(d[258:322]))
    return swap


def abi_decoder(module, fragment: dict):
    """`module.decode` of the same topics and data (eth-abi's API), in one
    call: both events are all static, so the topic words followed by the
    data are the encoding of the indexed types followed by the others."""
    types = [i["type"] for i in fragment["inputs"] if i["indexed"]] + \
        [i["type"] for i in fragment["inputs"] if not i["indexed"]]
    decode = module.decode
    return lambda log: decode(types, bytes.fromhex("".join(t[2:] for t in log.topics[1:]) + log.data[2:]))


def web3_decoder(fragment: dict, logs: list):
    """web3.py's process_log, and the receipts it takes (built beforehand)."""
    from hexbytes import HexBytes
    from web3 import Web3

    event = getattr(Web3().eth.contract(abi=[fragment]).events, fragment["name"])()
    receipts = [{"address": Web3.to_checksum_address(log.address), "topics": [HexBytes(t) for t in log.topics],
                 "data": HexBytes(log.data), "blockNumber": log.block_number, "blockHash": HexBytes(log.block_hash),
                 "transactionHash": HexBytes(log.transaction_hash), "transactionIndex": log.transaction_index,
                 "logIndex": log.log_index} for log in logs]
    return event.process_log, receipts


def per_log(timer: Timer, label: str, stmt: str, namespace: dict) -> float:
    return timer.row(label, stmt, namespace) / LOGS


def memory(decoder: EventDecoder, logs: list) -> None:
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    records = decoder.decode(logs)
    total = tracemalloc.get_traced_memory()[0] - before - sys.getsizeof(records)
    tracemalloc.stop()
    values = sum(sys.getsizeof(v) for r in records for v in r if not isinstance(v, bool)) / LOGS
    record = total / LOGS
    print(f"  {'bytes per record (object and values, tracemalloc)':<58} {record:>11.0f}")
    print(f"  {'bytes of its values alone (sys.getsizeof)':<58} {values:>11.0f}")
    print(f"  {'record / values':<58} {record / values:>11.2f} x")
    del records


def main() -> None:
    args = parse_args(__doc__.splitlines()[0])
    print_header("vorlane_rpc.EventDecoder: event decoding per log", args)
    timer = Timer(args.quick)
    rng = random.Random(1)
    try:
        import faster_eth_abi
    except ImportError:
        faster_eth_abi = None
    import eth_abi

    for fragment in (TRANSFER, SWAP):
        body = answer(rng, fragment)
        kinds = bytes([vorlane_rpc.LOGS])
        (logs,) = vorlane_rpc.decode(body, kinds)
        decoder = EventDecoder([(fragment, keccak(signature(fragment)))])
        records = decoder.decode(logs)
        slice_one = slicing(fragment)
        assert decoder.undecoded == 0
        assert [tuple(r) for r in records] == [slice_one(log) for log in logs]
        ns = {"rpc": vorlane_rpc, "body": body, "kinds": kinds, "logs": logs, "decoder": decoder,
              "slice_one": slice_one, "eth_abi_one": abi_decoder(eth_abi, fragment)}
        print(f"{signature(fragment)}: rows in ns per batch of {LOGS} logs, the rest per log")
        raw = per_log(timer, "raw delivery: vorlane_rpc.decode of the answer", "rpc.decode(body, kinds)", ns)
        native = per_log(timer, "EventDecoder.decode", "decoder.decode(logs)", ns)
        print(f"  {'decoding / raw delivery':<58} {native / raw:>11.2f} x  ({native:.0f} ns on top of {raw:.0f} ns)")
        lines = per_log(timer, "encode_log_lines (raw lines)", "rpc.encode_log_lines(logs)", ns)
        decoded_lines = per_log(timer, "EventDecoder.encode_lines", "decoder.encode_lines(logs)", ns)
        print(f"  {'decoded line costs more than the raw line by':<58} {decoded_lines - lines:>11.0f} ns")
        rows = {"hand-written Python slicing (no ABI, no checks)": "[slice_one(x) for x in logs]",
                "eth-abi decode": "[eth_abi_one(x) for x in logs]"}
        if faster_eth_abi is not None:
            ns["faster_one"] = abi_decoder(faster_eth_abi, fragment)
            rows["faster-eth-abi decode"] = "[faster_one(x) for x in logs]"
        else:
            print("  faster-eth-abi: not installed, row skipped (pip install faster-eth-abi)")
        try:
            ns["process_log"], ns["receipts"] = web3_decoder(fragment, logs)
            rows["web3.py process_log"] = "[process_log(x) for x in receipts]"
        except ImportError:
            print("  web3.py: not installed, row skipped")
        quick = Timer(True)
        for label, stmt in rows.items():
            other = per_log(timer if "slicing" in label else quick, label, stmt, ns)
            print(f"  {label + ' / EventDecoder.decode':<58} {other / native:>11.1f} x")
        memory(decoder, logs)
        print()


if __name__ == "__main__":
    main()
