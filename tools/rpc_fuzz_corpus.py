"""Writes the seed corpus and dictionary of the JSON-RPC answer decoder's fuzz
target: answers of every result kind, single and batched, valid and broken.

Each file is one input: a first byte giving the calls (bits 0-1: the count
less one; then two bits a kind, for calls 0, 1, 2, and call 3 like call 0),
then the answer's body.

    python3 tools/rpc_fuzz_corpus.py CORPUS_DIR DICT_FILE
"""
import json
import random
import sys
from pathlib import Path

HEADER, LOGS, QUANTITY = 0, 1, 2


def hex_text(rng, size, upper=False):
    text = "0x" + bytes(rng.randrange(256) for _ in range(size)).hex()
    return text.upper().replace("0X", "0x") if upper else text


def result(rng, kind):
    if rng.random() < 0.1:
        return None
    if kind == QUANTITY:
        return hex(rng.randrange(2**rng.choice([8, 32, 64])))
    if kind == HEADER:
        return {"number": hex(rng.randrange(2**24)), "hash": hex_text(rng, 32),
                "parentHash": hex_text(rng, 32, upper=rng.random() < 0.3),
                "timestamp": hex(rng.randrange(2**32)), "logsBloom": hex_text(rng, 256),
                "transactions": [hex_text(rng, 32) for _ in range(rng.randrange(4))],
                "miner": hex_text(rng, 20), "extraData": "0x"}
    logs = []
    for index in range(rng.randrange(4)):
        log = {"address": hex_text(rng, 20), "topics": [hex_text(rng, 32) for _ in range(rng.randrange(5))],
               "data": hex_text(rng, rng.choice([0, 32, 64])), "blockNumber": hex(rng.randrange(2**20)),
               "transactionHash": hex_text(rng, 32), "transactionIndex": "0x0",
               "blockHash": hex_text(rng, 32), "logIndex": hex(index)}
        if rng.random() < 0.3:
            log["removed"] = rng.random() < 0.5
        logs.append(log)
    return logs


def response(rng, id_, kind):
    if rng.random() < 0.15:
        error = {"code": rng.choice([-32000, -32005, 3]), "message": "refused \"x\" \u00e9"}
        if rng.random() < 0.5:
            error["data"] = rng.choice(["0x08c3", {"max": 5}, [1, 2], 7])
        return {"jsonrpc": "2.0", "id": id_, "error": error}
    item = {"jsonrpc": "2.0", "id": id_, "result": result(rng, kind)}
    if rng.random() < 0.2:  # the result first
        item = {"result": item["result"], "id": id_}
    return item


def main():
    corpus, dictionary = Path(sys.argv[1]), Path(sys.argv[2])
    corpus.mkdir(parents=True, exist_ok=True)
    rng = random.Random(7)
    for n in range(200):
        count = rng.randrange(1, 5)
        kinds = [rng.choice([HEADER, LOGS, QUANTITY]) for _ in range(3)]
        head = (count - 1) | kinds[0] << 2 | kinds[1] << 4 | kinds[2] << 6
        calls = [kinds[i % 3] for i in range(count)]
        items = [response(rng, i, k) for i, k in enumerate(calls)]
        rng.shuffle(items)
        value = items[0] if count == 1 and rng.random() < 0.7 else items
        body = json.dumps(value, separators=rng.choice([(",", ":"), (", ", ": ")])).encode()
        if n % 10 == 9:  # cut short
            body = body[: rng.randrange(len(body))]
        (corpus / f"seed-{n:03d}").write_bytes(bytes([head]) + body)
    # A bloom written as a quantity: leading zeros dropped, any digit count.
    for n, bloom in enumerate(["0x0", "0x1a", "0x1Ab", "0x" + "f" * 511, "0x1" + "0" * 512, "0x"]):
        header = None
        while header is None:
            header = result(rng, HEADER)
        item = {"jsonrpc": "2.0", "id": 0, "result": dict(header, logsBloom=bloom)}
        (corpus / f"bloom-{n}").write_bytes(bytes([HEADER << 2]) + json.dumps(item).encode())
    # A log's transaction index: a quantity, null or missing.
    log = {"address": hex_text(rng, 20), "topics": [], "data": "0x", "blockNumber": "0x1",
           "transactionHash": hex_text(rng, 32), "blockHash": hex_text(rng, 32), "logIndex": "0x0"}
    logs = [dict(log, transactionIndex="0x1b"), dict(log, transactionIndex=None), log]
    item = {"jsonrpc": "2.0", "id": 0, "result": logs}
    (corpus / "transaction-index").write_bytes(bytes([LOGS << 2]) + json.dumps(item).encode())
    (corpus / "html").write_bytes(b"\x02<html><body>502</body></html>")
    (corpus / "refused").write_bytes(b'\x05{"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"no\\nmore"}}')
    words = ["number", "hash", "parentHash", "timestamp", "transactions", "logsBloom", "address",
             "topics", "data", "blockNumber", "transactionHash", "blockHash", "logIndex",
             "transactionIndex", "removed",
             "jsonrpc", "id", "result", "error", "code", "message", "0x", "0X", "null", "true",
             "false", "\\u0030"]
    # libFuzzer's dictionary: one quoted entry a line, C escapes inside.
    dictionary.write_text("".join('"' + w.replace("\\", "\\\\").replace('"', '\\"') + '"\n'
                                  for w in words))


if __name__ == "__main__":
    main()
