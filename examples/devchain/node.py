"""A JSON-RPC 2.0 node over HTTP in front of a DemoChain, with faults on demand."""

from __future__ import annotations

import collections
import json
import math
import random
import socket
import sys
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable

from eth_tester.exceptions import TransactionFailed  # type: ignore[import-untyped]

from .chain import BlockRecord, DemoChain, filter_logs

CLIENT_VERSION = "vorlane-devchain/1.0"

JSON = dict[str, Any]


class RpcError(Exception):
    """An error answer to one call: ``{"code": code, "message": message}``."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


@dataclass
class _Armed:
    remaining: float  # requests still to act on (math.inf: from now on)
    method: str | None  # only requests calling this method count
    action: tuple[Any, ...]
    after: int = 0  # counted requests to let pass first
    batches: bool = False  # only batches count
    same: bool = False  # only the first counted request's body and its repeats count
    body: bytes | None = None  # that body, once met


@dataclass
class _PendingReorg:
    after: int  # matching requests still to pass before the reorganisation
    method: str | None
    depth: int
    new_blocks: int | None


class Faults:
    """How the node misbehaves. Every field and method may be used at any time, from any thread.

    Refusals the way nodes word them (the codes and messages are fields too):

    * ``max_batch``: a JSON-RPC batch longer than this is refused as a whole: with
      ``batch_refusal == "error"`` (default) by a single error object
      ``{"code": -32600, "message": "batch too large, at most N calls"}`` (id null)
      instead of the list; with ``"http"`` by an HTTP 413 answer; with ``"list"`` by a
      list holding one error with the id of the batch's first call
      (``limit_batches(n)``: ``{"code": -32600, "message": "batch too large"}``);
      ``refuse_batches()`` makes it a node that takes no batch at all
      (``{"code": -32600, "message": "batch requests are not supported"}``);
    * ``max_log_range``: eth_getLogs over more blocks answers ``range_error``,
      ``-32005 "block range too large, at most N blocks per request"`` by default;
    * ``max_logs``: eth_getLogs finding more logs answers
      ``-32005 "query returned more than N results"``;
    * ``max_response_bytes``: a call whose result serialises to more bytes answers
      ``-32008 "response size exceeded, at most N bytes"``;
    * ``delay``: seconds slept before answering every HTTP request;
    * ``extra_data``: the ``extraData`` of every block served, e.g. the 97 bytes
      (hex) of a proof-of-authority chain's signed header;
    * ``bloom_as_quantity``: every block's ``logsBloom`` is written as a quantity
      (``"0x0"`` for an empty bloom, leading zeros dropped).

    Backends behind a load balancer that disagree with each other:

    * ``logs_lag`` (with ``logs_lag_share``, 0..1, default 1): that share of
      eth_getLogs calls, drawn from ``random`` (seeded, so a run repeats), is served
      by a backend whose head is ``logs_lag`` blocks behind; with
      ``logs_lag_share = "first"``, the first call for each range or block hash is,
      and a repeat of it is not (so the fault is met however calls interleave). A range answer leaves
      out every block above that head, and is ``[]`` when the whole range is above
      it (with ``logs_lag_refuses``, the error ``lag_range_error`` instead,
      ``-32000 "invalid block range params"`` as geth words it); a ``blockHash``
      query for a block above it answers ``-32000 "unknown block"`` (with
      ``logs_lag_by_hash_empty``, ``[]``);
    * ``headers_lag``: eth_getBlockByNumber answers ``null`` for blocks above
      ``head - headers_lag`` while eth_blockNumber reports the real head;
    * ``duplicate_logs``: every log of an eth_getLogs answer is listed twice.

    One-shot faults, each for the next ``n`` HTTP requests (only those calling
    ``method`` when it is given; a batch counts once), after letting ``after`` such
    requests pass:

    * ``drop_next(n)``: the connection is closed without an answer;
    * ``status_next(n, code, retry_after=None)``: an HTTP error status (429, 503...) with
      an optional ``Retry-After`` header;
    * ``trickle_next(n, seconds)``: the answer's body is written in small pieces
      spread over ``seconds``;
    * ``html_next(n)``: a 200 whose body is an HTML error page (a proxy's
      "502 Bad Gateway");
    * ``cut_next(n)``: a 200 whose JSON body is cut in half;
    * ``rate_limit_next(n)``: in the next ``n`` batches, some calls (at least one,
      drawn from ``random``) answer ``-32005 "request rate exceeded"``, the others
      their result;
    * ``null_next(n, method)``: the calls of ``method`` answer ``"result": null``;
    * ``error_next(n, code, message, method=None, status=200)``: every call answers
      the error ``{"code": code, "message": message}``, sent with HTTP ``status``;
    * ``placeholder_next(n, method=None)``: a 200 whose body is a gateway's placeholder,
      ``{"jsonrpc": "2.0", "id": ..., "result": "null", "status_code": 405,
      "message": "Method not allowed"}``;
    * ``wire_next(n, kind)``: an answer that breaks HTTP/1.1: a malformed
      ``"status line"``, ``"chunk size"`` or ``"chunk footer"``;
    * ``swap_chain_id(chain_id, after=0)``: once ``after`` more requests (of any
      method) have been answered, eth_chainId answers ``chain_id`` for good;
    * ``reorg_after(n, depth, new_blocks=None, method=None)``: once ``n`` requests have
      been answered, the chain reorganises before the next one is served (``n=0``: before
      the very next one; with ``method="eth_getLogs"``: just before the next logs request,
      i.e. between a follower's headers and its logs);
    * ``on_request(callback)``: ``callback(calls)`` runs before every request is served
      with the list of its calls (dicts); it may raise ``RpcError`` to answer every call with
      that error; ``on_request(None)`` removes it.

    With ``same=True`` a one-shot fault acts only on the first request it meets and
    that request's repeats (the same body), and ``repeats`` holds the times
    (``time.monotonic()``) the node received each of them, faulted or not: the
    pauses of one request's retries.

    ``served`` counts the answers each fault changed (``"drop"``, ``"status"``,
    ``"trickle"``, ``"html"``, ``"cut"``, ``"rate_limit"``, ``"result"``, ``"error"``,
    ``"placeholder"``, ``"wire"``, ``"logs_lag"``, ``"logs_lag_by_hash"``, ``"headers_lag"``,
    ``"duplicate_logs"``, ``"batch_refused"``, ``"range_refused"``, ``"bloom_quantity"``), and
    ``times`` when each was served, so a test can tell that its fault was met. ``clear()``
    puts everything back to a well-behaved node (``random`` seeded with 0 again).
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.clear()

    def clear(self) -> None:
        with self._lock:
            self.max_batch: int | None = None
            self.batch_refusal = "error"
            self.max_log_range: int | None = None
            self.max_logs: int | None = None
            self.max_response_bytes: int | None = None
            self.delay = 0.0
            self.extra_data: str | None = None
            self.bloom_as_quantity = False
            self.range_error = (-32005, "block range too large, at most {limit} blocks per request")
            self.results_error = (-32005, "query returned more than {limit} results")
            self.size_error = (-32008, "response size exceeded, at most {limit} bytes")
            self.batch_error = (-32600, "batch too large, at most {limit} calls")
            self.logs_lag: int | None = None
            self.logs_lag_share: float | str = 1.0
            self.logs_lag_refuses = False
            self.logs_lag_by_hash_empty = False
            self.lag_range_error = (-32000, "invalid block range params")
            self.headers_lag: int | None = None
            self.duplicate_logs = False
            self.rate_error = (-32005, "request rate exceeded")
            self.random = random.Random(0)
            self._drawn: set[Any] = set()
            self.served: collections.Counter[str] = collections.Counter()
            self.times: collections.defaultdict[str, list[float]] = collections.defaultdict(list)
            self.repeats: list[float] = []
            self._repeated: bytes | None = None
            self._armed: list[_Armed] = []
            self._reorgs: list[_PendingReorg] = []
            self._callback: Callable[[list[JSON]], None] | None = None

    def _arm(self, n: float, method: str | None, action: tuple[Any, ...], after: int = 0,
             batches: bool = False, same: bool = False) -> None:
        with self._lock:
            self._armed.append(_Armed(n, method, action, after, batches, same))

    def drop_next(self, n: int = 1, method: str | None = None, after: int = 0) -> None:
        self._arm(n, method, ("drop",), after)

    def error_next(self, n: float, code: int, message: str, method: str | None = None, status: int = 200,
                   after: int = 0, same: bool = False) -> None:
        self._arm(n, method, ("error", code, message, status), after, same=same)

    def placeholder_next(self, n: float, method: str | None = None, after: int = 0, same: bool = False) -> None:
        self._arm(n, method, ("placeholder",), after, same=same)

    def wire_next(self, n: int, kind: str, method: str | None = None, after: int = 0, same: bool = False) -> None:
        if kind not in ("status line", "chunk size", "chunk footer"):
            raise ValueError(f"not a wire fault: {kind!r}")
        self._arm(n, method, ("wire", kind), after, same=same)

    def limit_batches(self, n: int) -> None:
        with self._lock:
            self.max_batch = n
            self.batch_refusal = "list"
            self.batch_error = (-32600, "batch too large")

    def status_next(self, n: int, code: int, retry_after: float | None = None, method: str | None = None,
                    after: int = 0) -> None:
        self._arm(n, method, ("status", code, retry_after), after)

    def trickle_next(self, n: int, seconds: float, method: str | None = None, after: int = 0) -> None:
        self._arm(n, method, ("trickle", seconds), after)

    def html_next(self, n: int = 1, method: str | None = None, after: int = 0) -> None:
        self._arm(n, method, ("html",), after)

    def cut_next(self, n: int = 1, method: str | None = None, after: int = 0) -> None:
        self._arm(n, method, ("cut",), after)

    def rate_limit_next(self, n: int = 1, after: int = 0) -> None:
        self._arm(n, None, ("rate_limit",), after, batches=True)

    def null_next(self, n: int, method: str, after: int = 0) -> None:
        self._arm(n, method, ("result", method, None), after)

    def swap_chain_id(self, chain_id: int, after: int = 0) -> None:
        self._arm(math.inf, None, ("result", "eth_chainId", hex(chain_id)), after)

    def refuse_batches(self) -> None:
        with self._lock:
            self.max_batch = 0
            self.batch_error = (-32600, "batch requests are not supported")

    def reorg_after(self, n_requests: int, depth: int, new_blocks: int | None = None,
                    method: str | None = None) -> None:
        with self._lock:
            self._reorgs.append(_PendingReorg(n_requests, method, depth, new_blocks))

    def on_request(self, callback: Callable[[list[JSON]], None] | None) -> None:
        with self._lock:
            self._callback = callback

    # ---- used by the node -------------------------------------------------

    def _take(self, methods: set[str], batch: bool, body: bytes) -> tuple[
            list[tuple[Any, ...]], list[_PendingReorg], Callable[[list[JSON]], None] | None]:
        """The one-shot faults this request meets and the reorganisations due before it."""
        with self._lock:
            actions = []
            for armed in self._armed:
                if (armed.method is not None and armed.method not in methods) or (armed.batches and not batch):
                    continue
                if armed.same and armed.body is not None and armed.body != body:
                    continue
                if armed.after > 0:
                    armed.after -= 1
                    continue
                if armed.same:
                    armed.body = self._repeated = body
                armed.remaining -= 1
                actions.append(armed.action)
            if body == self._repeated:
                self.repeats.append(time.monotonic())
            self._armed = [a for a in self._armed if a.remaining > 0]
            due = []
            for reorg in self._reorgs:
                if reorg.method is None or reorg.method in methods:
                    if reorg.after == 0:
                        due.append(reorg)
                    else:
                        reorg.after -= 1
            self._reorgs = [r for r in self._reorgs if r not in due]
            return actions, due, self._callback

    def _draw(self, share: float | str, key: Any = None) -> bool:
        with self._lock:
            if share == "first":
                first = key not in self._drawn
                self._drawn.add(key)
                return first
            return self.random.random() < float(share)

    def _count(self, fault: str, n: int = 1) -> None:
        with self._lock:
            self.served[fault] += n
            self.times[fault].append(time.monotonic())


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address: tuple[str, int], node: "DevNode") -> None:
        self.node = node
        self.connections: set[socket.socket] = set()
        self.connections_lock = threading.Lock()
        super().__init__(address, _Handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self.connections_lock:
            self.connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self.connections_lock:
            self.connections.discard(request)
        super().shutdown_request(request)

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], ConnectionError):
            return  # a client that went away in the middle of an answer
        super().handle_error(request, client_address)

    def close_connections(self) -> None:
        with self.connections_lock:
            connections = list(self.connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Server6(_Server):
    address_family = socket.AF_INET6


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in one write, and without Nagle's delay: with
    # two small writes the client's delayed ACK holds every answer ~40 ms.
    disable_nagle_algorithm = True
    wbufsize = 1 << 16
    server: _Server

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # quiet: the tests read the counters instead

    def do_GET(self) -> None:  # noqa: N802
        self._answer(405, b'{"error": "use POST"}', {"Allow": "POST"})

    def do_POST(self) -> None:  # noqa: N802
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        status, payload, headers, trickle, wire = self.server.node.serve_http(body)
        if wire is not None:
            self._broken(wire, payload)
            return
        if status is None:
            # Dropped: no answer at all, and the connection goes away.
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        self._answer(status, payload, headers, trickle)

    def _broken(self, kind: str, payload: bytes) -> None:
        """An answer that breaks HTTP/1.1 where `kind` says; the connection closes after it."""
        self.close_connection = True
        if kind == "status line":
            raw = b"HTTP/1.1 2OO OK\r\nContent-Length: %d\r\n\r\n" % len(payload) + payload
        else:
            head = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
            if kind == "chunk size":
                raw = head + b"1x%x\r\n" % len(payload) + payload + b"\r\n0\r\n\r\n"
            else:
                raw = head + b"%x\r\n" % len(payload) + payload + b"!!0\r\n\r\n"
        try:
            self.wfile.write(raw)
            self.wfile.flush()
        except OSError:
            pass

    def _answer(self, status: int, payload: bytes, headers: dict[str, str] | None = None,
                trickle: float = 0.0) -> None:
        headers = {"Content-Type": "application/json", **(headers or {})}
        self.send_response(status)
        self.send_header("Content-Length", str(len(payload)))
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        if not trickle:
            self.wfile.write(payload)
            return
        # A piece every quarter second or so: never idle long enough to trip a
        # client's read timeout, yet the whole answer takes `trickle` seconds.
        pieces = max(2, min(len(payload), math.ceil(trickle * 4)))
        size = -(-len(payload) // pieces)
        try:
            self.wfile.flush()
            for start in range(0, len(payload), size):
                time.sleep(trickle / pieces)
                self.wfile.write(payload[start:start + size])
                self.wfile.flush()
        except OSError:  # the client gave up
            self.close_connection = True


def _quantity(value: Any, name: str) -> int:
    if not isinstance(value, str) or not value.startswith("0x") or len(value) < 3:
        raise RpcError(-32602, f"invalid argument: {name}: hex string expected, got {value!r}")
    try:
        return int(value, 16)
    except ValueError:
        raise RpcError(-32602, f"invalid argument: {name}: hex string expected, got {value!r}") from None


def _hash(value: Any, name: str) -> str:
    if not isinstance(value, str) or len(value) != 66 or not value.startswith("0x"):
        raise RpcError(-32602, f"invalid argument: {name}: 32-byte hex string expected, got {value!r}")
    try:
        bytes.fromhex(value[2:])
    except ValueError:
        raise RpcError(-32602, f"invalid argument: {name}: 32-byte hex string expected, got {value!r}") from None
    return value.lower()


def _address_list(value: Any) -> list[str] | None:
    if value is None:
        return None
    addresses = [value] if isinstance(value, str) else value
    if not isinstance(addresses, list) or not all(isinstance(a, str) and len(a) == 42 for a in addresses):
        raise RpcError(-32602, f"invalid argument: address: expected an address or a list of them, got {value!r}")
    return [a.lower() for a in addresses]


def _topics(value: Any) -> list[Any] | None:
    if value is None:
        return None
    if not isinstance(value, list) or len(value) > 4:
        raise RpcError(-32602, "invalid argument: topics: expected a list of at most 4 positions")
    topics: list[Any] = []
    for position in value:
        if position is None or position == []:
            topics.append(None)
        elif isinstance(position, str):
            topics.append(_hash(position, "topics"))
        elif isinstance(position, list):
            topics.append([_hash(t, "topics") for t in position])
        else:
            raise RpcError(-32602, f"invalid argument: topics: unexpected {position!r}")
    return topics


class DevNode:
    """A threaded HTTP/1.1 JSON-RPC server in front of ``chain``; see the package docstring."""

    def __init__(self, chain: DemoChain, host: str = "127.0.0.1", port: int = 0) -> None:
        self.chain = chain
        self.host = host
        self.port = port
        self.faults = Faults()
        self._counter_lock = threading.Lock()
        self._requests: collections.Counter[str] = collections.Counter()
        self._round_trips = 0
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._miner: threading.Thread | None = None
        self._miner_stop = threading.Event()
        self._scheduled: list[tuple[int, int, int | None]] = []
        self._reorgs: list[tuple[int, int, int]] = []
        self._methods: dict[str, Callable[[list[Any]], Any]] = {
            "web3_clientVersion": lambda params: CLIENT_VERSION,
            "net_version": lambda params: str(self.chain.chain_id),
            "eth_chainId": lambda params: hex(self.chain.chain_id),
            "eth_syncing": lambda params: False,
            "eth_gasPrice": lambda params: self._gas_price(),
            "eth_blockNumber": lambda params: hex(self.chain.head),
            "eth_getBlockByNumber": self._get_block_by_number,
            "eth_getBlockByHash": self._get_block_by_hash,
            "eth_getLogs": self._get_logs,
            "eth_call": self._call,
            "eth_getTransactionReceipt": self._get_transaction_receipt,
        }

    # ---- life cycle -------------------------------------------------------

    @property
    def url(self) -> str:
        if self._server is None:
            raise RuntimeError("the node is not started")
        host, port = str(self._server.server_address[0]), self._server.server_address[1]
        return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"

    def start(self) -> "DevNode":
        if self._server is not None:
            raise RuntimeError("the node is already started")
        server_class: type[_Server] = _Server6 if ":" in self.host else _Server
        self._server = server_class((self.host, self.port), self)
        self._thread = threading.Thread(target=self._server.serve_forever, name="devnode-http", daemon=True,
                                        kwargs={"poll_interval": 0.05})
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stop mining, serving and every open connection; safe to call twice."""
        self.stop_mining()
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.close_connections()
        server.server_close()
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> "DevNode":
        return self.start() if self._server is None else self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # ---- counters ---------------------------------------------------------

    @property
    def requests(self) -> collections.Counter[str]:
        """Calls received per JSON-RPC method (a copy), faulted ones included."""
        with self._counter_lock:
            return collections.Counter(self._requests)

    @property
    def round_trips(self) -> int:
        """HTTP requests received, faulted ones included."""
        with self._counter_lock:
            return self._round_trips

    @property
    def reorgs(self) -> list[tuple[int, int, int]]:
        """Reorganisations this node made (scheduled or as a fault), oldest first:
        (old head, fork block, new head)."""
        with self._counter_lock:
            return list(self._reorgs)

    def reorg(self, depth: int, new_blocks: int | None = None) -> int:
        """``chain.reorg`` recorded in ``reorgs``; returns the fork block's number."""
        with self.chain.lock:
            old_head = self.chain.head
            fork = self.chain.reorg(depth, new_blocks)
            with self._counter_lock:
                self._reorgs.append((old_head, fork, self.chain.head))
            return fork

    def reset_counters(self) -> None:
        with self._counter_lock:
            self._requests.clear()
            self._round_trips = 0

    # ---- mining -----------------------------------------------------------

    def mine(self, n: int = 1) -> int:
        """Mine ``n`` blocks one by one, applying any scheduled reorganisation; returns the head."""
        for _ in range(n):
            with self.chain.lock:
                self.chain.mine(1)
                self._apply_scheduled()
        return self.chain.head

    def mine_every(self, seconds: float, per_step: int = 1) -> None:
        """Mine ``per_step`` blocks every ``seconds`` in a background thread."""
        self.stop_mining()
        self._miner_stop.clear()

        def run() -> None:
            while not self._miner_stop.wait(seconds):
                self.mine(per_step)

        self._miner = threading.Thread(target=run, name="devnode-miner", daemon=True)
        self._miner.start()

    def stop_mining(self) -> None:
        self._miner_stop.set()
        if self._miner is not None and self._miner is not threading.current_thread():
            self._miner.join()
        self._miner = None

    def schedule_reorg(self, at_head: int, depth: int, new_blocks: int | None = None) -> None:
        """Reorganise ``depth`` blocks once mining through ``mine`` reaches ``at_head``."""
        with self.chain.lock:
            self._scheduled.append((at_head, depth, new_blocks))
            self._apply_scheduled()

    def _apply_scheduled(self) -> None:
        with self.chain.lock:
            due = [s for s in self._scheduled if self.chain.head >= s[0]]
            self._scheduled = [s for s in self._scheduled if s not in due]
            for _, depth, new_blocks in due:
                self.reorg(depth, new_blocks)

    # ---- serving ----------------------------------------------------------

    def handle_http(self, body: bytes) -> tuple[int | None, bytes, dict[str, str]]:
        """Answer one HTTP request body: (status or None to drop, payload, extra headers)."""
        return self.serve_http(body)[:3]

    def serve_http(self, body: bytes) -> tuple[int | None, bytes, dict[str, str], float, str | None]:
        """``handle_http``'s answer, the seconds its body is to be trickled over, and
        the part of HTTP/1.1 it is to break (or None)."""
        faults = self.faults
        status, payload, headers, actions = self._serve(body)
        trickle = 0.0
        wire = None
        for action in actions:
            if status is None or status != 200:
                break
            if action[0] == "wire":
                faults._count("wire")
                wire = action[1]
            elif action[0] == "placeholder":
                faults._count("placeholder")
                first = json.loads(body)
                call_id = (first[0] if isinstance(first, list) else first).get("id")
                payload = _dump({"jsonrpc": "2.0", "id": call_id, "result": "null", "status_code": 405,
                                 "message": "Method not allowed"})
            elif action[0] == "html":
                faults._count("html")
                payload, headers = HTML_ERROR, {"Content-Type": "text/html"}
            elif action[0] == "cut":
                faults._count("cut")
                payload = payload[:len(payload) // 2]
            elif action[0] == "trickle":
                faults._count("trickle")
                trickle = action[1]
        return status, payload, headers, trickle, wire

    def _serve(self, body: bytes) -> tuple[int | None, bytes, dict[str, str], list[tuple[Any, ...]]]:
        try:
            request = json.loads(body)
        except (ValueError, UnicodeDecodeError):
            request = None
            calls: list[Any] = []
            parse_error = True
        else:
            parse_error = False
            calls = request if isinstance(request, list) else [request]
        methods = [c.get("method") if isinstance(c, dict) else None for c in calls]
        with self._counter_lock:
            self._round_trips += 1
            for method in methods:
                self._requests[method if isinstance(method, str) else "<invalid>"] += 1

        faults = self.faults
        batch = isinstance(request, list)
        actions, reorgs, callback = faults._take({m for m in methods if isinstance(m, str)}, batch, body)
        if faults.delay:
            time.sleep(faults.delay)
        for reorg in reorgs:
            self.reorg(reorg.depth, reorg.new_blocks)
        for action in actions:
            if action[0] == "drop":
                faults._count("drop")
                return None, b"", {}, []
            if action[0] == "status":
                faults._count("status")
                _, code, retry_after = action
                headers = {} if retry_after is None else {"Retry-After": f"{retry_after:g}"}
                return code, json.dumps({"error": f"HTTP {code}"}).encode(), headers, []
            if action[0] == "error" and calls:
                faults._count("error")
                _, code, message, status = action
                errors = [_error(c.get("id") if isinstance(c, dict) else None, code, message) for c in calls]
                return status, _dump(errors if batch else errors[0]), {}, []

        if parse_error:
            return 200, _dump(_error(None, -32700, "parse error")), {}, actions
        if batch:
            if not request:
                return 200, _dump(_error(None, -32600, "empty batch")), {}, actions
            if faults.max_batch is not None and len(request) > faults.max_batch:
                faults._count("batch_refused")
                code, message = faults.batch_error
                text = message.format(limit=faults.max_batch)
                if faults.batch_refusal == "http":
                    return 413, _dump(_error(None, code, text)), {}, actions
                if faults.batch_refusal == "list":
                    first = request[0].get("id") if isinstance(request[0], dict) else None
                    return 200, _dump([_error(first, code, text)]), {}, actions
                return 200, _dump(_error(None, code, text)), {}, actions
        failure: RpcError | None = None
        if callback is not None:
            try:
                callback(calls)
            except RpcError as error:
                failure = error
        results = {a[1]: a[2] for a in actions if a[0] == "result"}
        limited: set[int] = set()
        if batch and any(a[0] == "rate_limit" for a in actions):
            with faults._lock:
                limited = {i for i in range(len(calls)) if faults.random.random() < 0.5}
                limited = limited or {faults.random.randrange(len(calls))}
            faults._count("rate_limit", len(limited))
        rate_failure = RpcError(*faults.rate_error)
        answers = []
        for i, call in enumerate(calls):
            answer = self._answer_call(call, rate_failure if i in limited else failure, results)
            if answer is not None:
                answers.append(answer)
        if batch:
            return 200, (_dump(answers) if answers else b""), {}, actions
        return 200, (_dump(answers[0]) if answers else b""), {}, actions

    def _answer_call(self, call: Any, failure: RpcError | None, results: dict[str, Any]) -> JSON | None:
        if not isinstance(call, dict) or call.get("jsonrpc") != "2.0" or not isinstance(call.get("method"), str):
            return _error(call.get("id") if isinstance(call, dict) else None, -32600, "invalid request")
        notification = "id" not in call
        call_id = call.get("id")
        params = call.get("params", [])
        if not isinstance(params, list):
            return _error(call_id, -32602, "invalid params: a list expected")
        handler = self._methods.get(call["method"])
        try:
            if failure is not None:
                raise failure
            if handler is None:
                raise RpcError(-32601, f"the method {call['method']} does not exist/is not available")
            result = handler(params)
            if call["method"] in results:
                self.faults._count("result")
                result = results[call["method"]]
        except RpcError as error:
            return None if notification else _error(call_id, error.code, error.message)
        limit = self.faults.max_response_bytes
        if limit is not None and len(json.dumps(result, separators=(",", ":"))) > limit:
            code, message = self.faults.size_error
            return None if notification else _error(call_id, code, message.format(limit=limit))
        return None if notification else {"jsonrpc": "2.0", "id": call_id, "result": result}

    # ---- the methods ------------------------------------------------------

    def _block_number(self, tag: Any) -> int:
        chain = self.chain
        if tag in ("latest", "pending"):
            return chain.head
        if tag == "earliest":
            return 0
        if tag == "safe":
            return max(chain.head - chain.safe_depth, 0)
        if tag == "finalized":
            return max(chain.head - chain.finalized_depth, 0)
        return _quantity(tag, "block number")

    def _get_block_by_number(self, params: list[Any]) -> JSON | None:
        if len(params) not in (1, 2):
            raise RpcError(-32602, "missing value for required argument 0")
        with self.chain.lock:
            number = self._block_number(params[0])
            record = self.chain.block(number)
            lag = self.faults.headers_lag
            if record is not None and lag is not None and number > self.chain.head - lag:
                self.faults._count("headers_lag")
                return None
        return self._block_object(record, params)

    def _get_block_by_hash(self, params: list[Any]) -> JSON | None:
        if len(params) not in (1, 2):
            raise RpcError(-32602, "missing value for required argument 0")
        return self._block_object(self.chain.block_by_hash(_hash(params[0], "hash")), params)

    def _block_object(self, record: BlockRecord | None, params: list[Any]) -> JSON | None:
        if record is None:
            return None
        block = record.block_object(bool(params[1]) if len(params) > 1 else False)
        extra_data = self.faults.extra_data
        if extra_data is not None:
            block["extraData"] = extra_data
        if self.faults.bloom_as_quantity:
            self.faults._count("bloom_quantity")
            block["logsBloom"] = hex(int(block["logsBloom"], 16))
        return block

    def _get_logs(self, params: list[Any]) -> list[JSON]:
        if len(params) != 1 or not isinstance(params[0], dict):
            raise RpcError(-32602, "invalid argument 0: a filter object expected")
        query = params[0]
        addresses = _address_list(query.get("address"))
        topics = _topics(query.get("topics"))
        faults = self.faults
        lag = faults.logs_lag
        lagging = lag is not None and faults._draw(
            faults.logs_lag_share, (query.get("fromBlock"), query.get("toBlock"), query.get("blockHash")))
        with self.chain.lock:
            # The head of the backend that serves this call.
            head = self.chain.head - lag if lagging and lag is not None else self.chain.head
            if query.get("blockHash") is not None:
                if "fromBlock" in query or "toBlock" in query:
                    raise RpcError(-32602, "invalid argument 0: cannot specify both BlockHash and FromBlock/ToBlock")
                record = self.chain.block_by_hash(_hash(query["blockHash"], "blockHash"))
                if record is not None and record.number > head:
                    faults._count("logs_lag")
                    faults._count("logs_lag_by_hash")
                    if faults.logs_lag_by_hash_empty:
                        return []
                    record = None
                if record is None:
                    raise RpcError(-32000, "unknown block")
                logs = list(filter_logs(record.logs, addresses, topics))
            else:
                first = self._block_number(query.get("fromBlock") or "latest")
                last = self._block_number(query.get("toBlock") or "latest")
                if first > last:
                    raise RpcError(-32602, "invalid block range params")
                if faults.max_log_range is not None and last - first + 1 > faults.max_log_range:
                    faults._count("range_refused")
                    code, message = faults.range_error
                    raise RpcError(code, message.format(limit=faults.max_log_range))
                if lagging and last > head:
                    faults._count("logs_lag")
                    if first > head and faults.logs_lag_refuses:
                        raise RpcError(*faults.lag_range_error)
                logs = self.chain.logs(first, min(last, head), addresses, topics) if first <= head else []
        if faults.max_logs is not None and len(logs) > faults.max_logs:
            code, message = faults.results_error
            raise RpcError(code, message.format(limit=faults.max_logs))
        if faults.duplicate_logs and logs:
            faults._count("duplicate_logs")
            logs = [log for log in logs for _ in (0, 1)]
        return logs

    def _call(self, params: list[Any]) -> str:
        if not params or not isinstance(params[0], dict):
            raise RpcError(-32602, "invalid argument 0: a call object expected")
        call = params[0]
        transaction: JSON = {"from": call.get("from") or self.chain.deployer, "to": call.get("to"),
                             "data": call.get("data") or call.get("input") or "0x"}
        if transaction["to"] is None:
            raise RpcError(-32602, "invalid argument 0: to is required")
        for key in ("gas", "value"):
            if call.get(key) is not None:
                transaction[key] = _quantity(call[key], key)
        with self.chain.lock:
            number = self._block_number(params[1] if len(params) > 1 else "latest")
            if self.chain.block(number) is None:
                raise RpcError(-32000, "header not found")
            try:
                return self.chain.call(transaction, number)
            except TransactionFailed:
                raise RpcError(3, "execution reverted") from None
            except Exception as error:  # bad input the EVM refuses
                raise RpcError(-32000, str(error)) from None

    def _get_transaction_receipt(self, params: list[Any]) -> JSON | None:
        if len(params) != 1:
            raise RpcError(-32602, "missing value for required argument 0")
        return self.chain.receipt(_hash(params[0], "hash"))

    def _gas_price(self) -> str:
        record = self.chain.block(self.chain.head)
        assert record is not None
        return hex(int(record.header["baseFeePerGas"], 16) + 10**9)


HTML_ERROR = (b"<html><head><title>502 Bad Gateway</title></head><body><h1>502 Bad Gateway</h1>"
              b"<hr><center>nginx</center></body></html>\n")


def _error(call_id: Any, code: int, message: str) -> JSON:
    return {"jsonrpc": "2.0", "id": call_id, "error": {"code": code, "message": message}}


def _dump(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":")).encode()
