"""A JSON-RPC node that is not the bottleneck, for bench_follow.py.

It serves a synthetic mainnet-shaped chain whose answers are encoded once, at
start-up, and then served from bytes: a request costs the node one parse of
its (small) body and one join of ready-made pieces.

The chain has three segments of `--blocks` blocks each, after a short lead-in:
blocks with 0, 5 and 20 matching logs each (an ERC-20 `Transfer` of one
token). Every header is what `eth_getBlockByNumber(n, false)` returns on
mainnet today: the usual fields, a 512-digit `logsBloom` (the token's
address and the topic0 bits set where the block has matching logs, random
other bits everywhere, never all of those bits in a block without them) and
150 transaction hashes, about 11.5 KB of JSON. The 150 hashes come from a
pool of lists shared between blocks (so the node holds hundreds of MB less);
a log's `transactionHash` is one of its block's.

Methods: eth_chainId, eth_blockNumber, eth_getBlockByNumber (number or
"latest", false or true: transactions are always hashes), eth_getLogs by
range (address and topic0 selection; other addresses or topic0 values find
nothing) and by blockHash, single calls and batches, and `bench_counters`
(HTTP requests and calls served so far, not counting itself).

HTTP/1.1 with keep-alive, one thread per connection. Run it as
`python bench/_follow_node.py --blocks N`: it prints its URL, then one JSON
line describing the chain, then serves until terminated.
"""

from __future__ import annotations

import argparse
import json
import random
import socket
import sys
import threading
import time

from eth_utils import keccak

CHAIN_ID = 1
TOKEN = "0xa0b86991c6218b36c1d19d4a2e9eb0ce3606eb48"
TRANSFER = "0xddf252ad1be2c89b69c2b068fc378daa952ba7f163c4a11628f55a4df523b3ef"
LOGS_PER_SEGMENT = (0, 5, 20)
LEAD_IN = 16        # blocks before the first segment
TAIL = 64           # blocks after the last one, so every segment is confirmed
TRANSACTIONS = 150
TX_POOL = 64        # distinct transaction-hash lists
GENESIS_TIME = 1_700_000_000


def _bloom_bits(item: bytes) -> list[int]:
    digest = keccak(item)
    return [((digest[i] << 8) | digest[i + 1]) & 2047 for i in (0, 2, 4)]


def _q(n: int) -> str:
    return hex(n)


class Chain:
    """Every answer's bytes, built once."""

    def __init__(self, blocks_per_segment: int, seed: int = 1) -> None:
        rng = random.Random(seed)
        self.segments: dict[int, tuple[int, int]] = {}
        count = LEAD_IN + blocks_per_segment * len(LOGS_PER_SEGMENT) + TAIL
        logs_at = [0] * count
        first = LEAD_IN
        for logs in LOGS_PER_SEGMENT:
            self.segments[logs] = (first, first + blocks_per_segment - 1)
            for n in range(first, first + blocks_per_segment):
                logs_at[n] = logs
            first += blocks_per_segment
        self.head = count - 1

        matching = _bloom_bits(bytes.fromhex(TOKEN[2:])) + _bloom_bits(bytes.fromhex(TRANSFER[2:]))
        matching_mask = sum(1 << b for b in set(matching))

        pool = []
        for _ in range(TX_POOL):
            hashes = ["0x" + rng.randbytes(32).hex() for _ in range(TRANSACTIONS)]
            pool.append((hashes, ",".join(f'"{h}"' for h in hashes).encode()))

        self.heads: list[bytes] = []
        self.tails: list[bytes] = []
        self.tx_lists: list[bytes] = []
        self.logs: list[bytes] = []   # each block's logs, comma-separated, b"" when none
        self.by_hash: dict[str, int] = {}
        parent = "0x" + "00" * 32
        for n in range(count):
            block_hash = "0x" + rng.randbytes(32).hex()
            self.by_hash[block_hash] = n
            hashes, tx_bytes = pool[n % TX_POOL]
            bloom = rng.getrandbits(2048) & rng.getrandbits(2048) & rng.getrandbits(2048)
            if logs_at[n]:
                bloom |= matching_mask
            elif bloom & matching_mask == matching_mask:
                bloom &= ~(1 << matching[0])
            head = (
                f'{{"baseFeePerGas":"{_q(rng.randrange(10**9, 60 * 10**9))}",'
                f'"blobGasUsed":"{_q(rng.randrange(0, 6) * 131072)}",'
                f'"difficulty":"0x0",'
                f'"excessBlobGas":"{_q(rng.randrange(0, 1 << 22))}",'
                f'"extraData":"0x{rng.randbytes(16).hex()}",'
                f'"gasLimit":"0x1c9c380",'
                f'"gasUsed":"{_q(rng.randrange(8_000_000, 30_000_000))}",'
                f'"hash":"{block_hash}",'
                f'"logsBloom":"0x{bloom:0512x}",'
                f'"miner":"0x{rng.randbytes(20).hex()}",'
                f'"mixHash":"0x{rng.randbytes(32).hex()}",'
                f'"nonce":"0x0000000000000000",'
                f'"number":"{_q(n)}",'
                f'"parentBeaconBlockRoot":"0x{rng.randbytes(32).hex()}",'
                f'"parentHash":"{parent}",'
                f'"receiptsRoot":"0x{rng.randbytes(32).hex()}",'
                f'"sha3Uncles":"0x1dcc4de8dec75d7aab85b567b6ccd41ad312451b948a7413f0a142fd40d49347",'
                f'"size":"{_q(rng.randrange(40_000, 200_000))}",'
                f'"stateRoot":"0x{rng.randbytes(32).hex()}",'
                f'"timestamp":"{_q(GENESIS_TIME + 12 * n)}",'
                f'"transactions":['
            )
            tail = (
                f'],"transactionsRoot":"0x{rng.randbytes(32).hex()}",'
                f'"uncles":[],'
                f'"withdrawalsRoot":"0x{rng.randbytes(32).hex()}"}}'
            )
            self.heads.append(head.encode())
            self.tails.append(tail.encode())
            self.tx_lists.append(tx_bytes)
            entries = []
            index = 0
            for i in range(logs_at[n]):
                index += rng.randrange(1, 12)
                position = rng.randrange(TRANSACTIONS)
                entries.append(
                    f'{{"address":"{TOKEN}","topics":["{TRANSFER}",'
                    f'"0x{"00" * 12}{rng.randbytes(20).hex()}","0x{"00" * 12}{rng.randbytes(20).hex()}"],'
                    f'"data":"0x{rng.getrandbits(96):064x}","blockNumber":"{_q(n)}",'
                    f'"transactionHash":"{hashes[position]}","transactionIndex":"{_q(position)}",'
                    f'"blockHash":"{block_hash}","logIndex":"{_q(index)}","removed":false}}')
            self.logs.append(",".join(entries).encode())
            parent = block_hash
        self.head_hex = json.dumps(_q(self.head)).encode()

    def info(self) -> dict:
        return {"chain_id": CHAIN_ID, "token": TOKEN, "transfer_topic0": TRANSFER,
                "head": self.head, "segments": {str(k): v for k, v in self.segments.items()},
                "transactions": TRANSACTIONS}

    def header_size(self, n: int) -> int:
        return len(self.heads[n]) + len(self.tx_lists[n]) + len(self.tails[n])


class RpcError(Exception):
    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


def _number(chain: Chain, tag: object) -> int:
    if tag in ("latest", "safe", "finalized", "pending", None):
        return chain.head
    if tag == "earliest":
        return 0
    if isinstance(tag, str) and tag.startswith("0x"):
        return int(tag, 16)
    raise RpcError(-32602, f"invalid block number {tag!r}")


class Node:
    def __init__(self, chain: Chain) -> None:
        self.chain = chain
        self.lock = threading.Lock()
        self.requests = 0
        self.calls = 0

    # Each method appends the bytes of its result to `out`.
    def call(self, method: str, params: list, out: list[bytes]) -> None:
        chain = self.chain
        if method == "eth_getBlockByNumber":
            n = _number(chain, params[0] if params else None)
            if 0 <= n <= chain.head:
                out += (chain.heads[n], chain.tx_lists[n], chain.tails[n])
            else:
                out.append(b"null")
        elif method == "eth_getLogs":
            query = params[0] if params and isinstance(params[0], dict) else {}
            out.append(b"[")
            if self._selects(query):
                if query.get("blockHash") is not None:
                    n = chain.by_hash.get(str(query["blockHash"]).lower())
                    if n is None:
                        raise RpcError(-32000, "unknown block")
                    if chain.logs[n]:
                        out.append(chain.logs[n])
                else:
                    first = _number(chain, query.get("fromBlock"))
                    last = min(_number(chain, query.get("toBlock")), chain.head)
                    if first > last:
                        raise RpcError(-32602, "invalid block range params")
                    found = [b for b in chain.logs[first:last + 1] if b]
                    if found:
                        out.append(b",".join(found))
            out.append(b"]")
        elif method == "eth_blockNumber":
            out.append(chain.head_hex)
        elif method == "eth_chainId":
            out.append(json.dumps(_q(CHAIN_ID)).encode())
        elif method == "net_version":
            out.append(json.dumps(str(CHAIN_ID)).encode())
        else:
            raise RpcError(-32601, f"the method {method} does not exist/is not available")

    @staticmethod
    def _selects(query: dict) -> bool:
        address = query.get("address")
        if address is not None:
            addresses = [address] if isinstance(address, str) else address
            if TOKEN not in (a.lower() for a in addresses):
                return False
        topics = query.get("topics") or []
        if topics and topics[0] is not None:
            first = [topics[0]] if isinstance(topics[0], str) else topics[0]
            if first and TRANSFER not in (t.lower() for t in first):
                return False
        return True

    def answer(self, body: bytes) -> list[bytes]:
        request = json.loads(body)
        batch = isinstance(request, list)
        calls = request if batch else [request]
        if len(calls) == 1 and calls[0].get("method") == "bench_counters":
            with self.lock:
                counters = {"requests": self.requests, "calls": self.calls}
            return [b'{"jsonrpc":"2.0","id":', json.dumps(calls[0].get("id")).encode(),
                    b',"result":', json.dumps(counters).encode(), b"}"]
        with self.lock:
            self.requests += 1
            self.calls += len(calls)
        out: list[bytes] = [b"["] if batch else []
        for i, call in enumerate(calls):
            if i:
                out.append(b",")
            out += (b'{"jsonrpc":"2.0","id":', json.dumps(call.get("id")).encode())
            mark = len(out)
            try:
                out.append(b',"result":')
                self.call(call.get("method"), call.get("params") or [], out)
            except (RpcError, ValueError, TypeError, AttributeError, IndexError) as exc:
                del out[mark:]
                code = exc.code if isinstance(exc, RpcError) else -32602
                out.append(b',"error":' + json.dumps({"code": code, "message": str(exc)}).encode())
            out.append(b"}")
        if batch:
            out.append(b"]")
        return out


def _serve_connection(node: Node, conn: socket.socket) -> None:
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    reader = conn.makefile("rb", buffering=1 << 16)
    try:
        while True:
            line = reader.readline(65537)
            if not line:
                return
            if line in (b"\r\n", b"\n"):
                continue
            length = 0
            chunked = False
            close = line.rstrip().endswith(b"HTTP/1.0")
            while True:
                header = reader.readline(65537)
                if header in (b"\r\n", b"\n", b""):
                    break
                name, _, value = header.partition(b":")
                name, value = name.strip().lower(), value.strip().lower()
                if name == b"content-length":
                    length = int(value)
                elif name == b"transfer-encoding":
                    chunked = value == b"chunked"
                elif name == b"connection":
                    close = value == b"close"
                elif name == b"expect" and value == b"100-continue":
                    conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            if chunked:
                parts = []
                while size := int(reader.readline(1024).split(b";")[0], 16):
                    parts.append(reader.read(size))
                    reader.readline(8)
                while reader.readline(65537) not in (b"\r\n", b"\n", b""):
                    pass  # trailers
                body = b"".join(parts)
            else:
                body = reader.read(length) if length else b""
            try:
                pieces = node.answer(body)
                status = b"200 OK"
            except (ValueError, AttributeError) as exc:
                pieces = [json.dumps({"jsonrpc": "2.0", "id": None,
                                      "error": {"code": -32700, "message": str(exc)}}).encode()]
                status = b"200 OK"
            size = sum(map(len, pieces))
            conn.sendall(b"".join([b"HTTP/1.1 ", status, b"\r\nContent-Type: application/json\r\n"
                                   b"Content-Length: ", str(size).encode(), b"\r\n\r\n", *pieces]))
            if close:
                return
    except (ConnectionError, OSError):
        return
    finally:
        reader.close()
        conn.close()


def serve(node: Node, host: str = "127.0.0.1", port: int = 0) -> None:
    listener = socket.create_server((host, port), backlog=128)
    print(f"http://{host}:{listener.getsockname()[1]}", flush=True)
    print(json.dumps(node.chain.info()), flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=_serve_connection, args=(node, conn), daemon=True).start()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", type=int, default=20_000, help="blocks per segment")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    started = time.monotonic()
    chain = Chain(args.blocks)
    print(f"chain built in {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    serve(Node(chain), port=args.port)


if __name__ == "__main__":
    main()
