"""The follower's side of the JSON-RPC conversation: the bodies of its few
requests, answers read by the native decoder and checked before the engine
sees them, faults sorted into retry / refused / fatal, the backoff between
retries, and the connections that carry the requests: HTTP(S) spoken here,
on kept-alive connections with the provider's URL and settings, and any
other web3.py provider through its own raw request method."""

from __future__ import annotations

import asyncio
import dataclasses
import json
import logging
import queue
import random
import re
import threading
import time
import urllib.parse
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import vorlane_rpc
from vorlane_rpc import HEADER, LOGS, QUANTITY, DecodeError, RpcError

from ._http import DeadlineExceeded, HttpClient
from .engine import (Failed, GetBlockLogs, GetChainId, GetHead, GetHeaders, GetLogs, Head, Headers,
                     NodeError, Refused, Request)

log = logging.getLogger("vorlane_follow")

# -- requests -------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Call:
    method: str
    params: str  # JSON text
    kind: int


_CHAIN_ID = Call("eth_chainId", "[]", QUANTITY)


def _filter(selection: str, addresses: tuple[str, ...], topic0s: tuple[str, ...]) -> str:
    text = "{" + selection
    if addresses:
        text += ',"address":[' + ",".join(f'"{a}"' for a in addresses) + "]"
    if topic0s:
        text += ',"topics":[[' + ",".join(f'"{t}"' for t in topic0s) + "]]"
    return "[" + text + "}]"


def calls(request: Request) -> list[Call]:
    """The JSON-RPC calls that make up `request`, in id order."""
    match request:
        case GetHeaders(first, last, chain_id):
            out = [Call("eth_getBlockByNumber", f'["{n:#x}",false]', HEADER) for n in range(first, last + 1)]
            return out + [_CHAIN_ID] if chain_id else out
        case GetLogs(first, last, addresses, topic0s):
            return [Call("eth_getLogs", _filter(f'"fromBlock":"{first:#x}","toBlock":"{last:#x}"',
                                                addresses, topic0s), LOGS)]
        case GetBlockLogs(block_hash, _, addresses, topic0s):
            return [Call("eth_getLogs", _filter(f'"blockHash":"{block_hash}"', addresses, topic0s), LOGS)]
        case GetHead(chain_id):
            return [Call("eth_blockNumber", "[]", QUANTITY), _CHAIN_ID][:2 if chain_id else 1]
        case GetChainId():
            return [_CHAIN_ID]
    raise TypeError(f"not a request: {request!r}")


def encode(request: Request) -> tuple[bytes, bytes]:
    """The body of `request` (one call, or a batch with ids 0..n-1) and the
    kind of answer each call expects."""
    if isinstance(request, GetHeaders):  # the bulk of the traffic: made directly
        first, count = request.first, request.last - request.first + 1
        items = [f'{{"jsonrpc":"2.0","id":{i},"method":"eth_getBlockByNumber","params":["{first + i:#x}",false]}}'
                 for i in range(count)]
        kinds = bytes((HEADER,)) * count
        if request.chain_id:
            items.append(f'{{"jsonrpc":"2.0","id":{count},"method":"eth_chainId","params":[]}}')
            kinds += bytes((QUANTITY,))
        text = items[0] if len(items) == 1 else "[" + ",".join(items) + "]"
        return text.encode(), kinds
    batch = calls(request)
    return body(batch), bytes(c.kind for c in batch)


def body(batch: list[Call]) -> bytes:
    items = [f'{{"jsonrpc":"2.0","id":{i},"method":"{c.method}","params":{c.params}}}'
             for i, c in enumerate(batch)]
    return (items[0] if len(items) == 1 else "[" + ",".join(items) + "]").encode()


# -- answers --------------------------------------------------------------------


class NullResult(Exception):
    """A call answered with `"result": null` where a value is due."""


class BadAnswer(Exception):
    """An answer that parses but is not what was asked for."""


def answer(request: Request, entries: list[Any]) -> Any:
    """The engine's value for `request` from its decoded entries; raises the
    first error entry, and what cannot be right."""
    for entry in entries:
        if isinstance(entry, RpcError):
            raise entry
    match request:
        case GetHeaders(first, last):
            blocks, blooms = [], []
            for number, entry in zip(range(first, last + 1), entries):
                if entry is None:
                    break
                block, bloom = entry
                if block.number != number:
                    raise BadAnswer(f"eth_getBlockByNumber was answered with block {block.number} "
                                    f"for block {number}")
                blocks.append(block)
                blooms.append(bloom)
            chain_id = None
            if request.chain_id:
                chain_id = entries[-1]
                if chain_id is None:
                    raise NullResult("eth_chainId was answered with null")
            return Headers(blocks, blooms, chain_id)
        case GetHead():
            if None in entries:
                raise NullResult(f"{'eth_blockNumber' if entries[0] is None else 'eth_chainId'} "
                                 "was answered with null")
            return Head(entries[0], entries[1] if len(entries) > 1 else None)
    if entries[0] is None:
        raise NullResult(f"{calls(request)[0].method} was answered with null")
    return entries[0]


# -- faults ---------------------------------------------------------------------


class HttpStatus(Exception):
    """An HTTP answer other than 200."""

    def __init__(self, status: int, retry_after: str | None, text: str) -> None:
        super().__init__(f"HTTP {status}")
        self.status = status
        self.retry_after = retry_after
        self.text = text


_THROTTLED = ("rate", "capacity", "compute unit", "too many requests", "throttl", "per second",
              "overload", "busy", "try again", "temporarily", "unavailable", "quota", "credits",
              "request count")
# A backend behind the others does not know a block the head already passed.
_LAGGING = ("invalid block range", "beyond", "unknown block", "not found", "not available",
            "after last accepted", "future block", "no historical", "is not yet")
_TOO_BIG = ("range", "more than", "too many", "too large", "too big", "response size",
            "result window", "max results", "limit", "batch", "exceed")
_NO_BATCHES = ("not supported", "unsupported", "not allowed", "disabled", "not permitted")


_HTML = re.compile(r"the answer is an HTML page, not JSON: '(.*)'(\.\.\.)?$", re.S)


def _quote(text: str, most: int = 100) -> str:
    text = " ".join(text.split())
    return '"' + (text if len(text) <= most else text[:most] + "…") + '"'


def _chain(exc: BaseException) -> list[BaseException]:
    """`exc` and what it wraps: causes, contexts, exceptions among its
    arguments (requests and urllib3 keep the socket's error there)."""
    out: list[BaseException] = []
    todo = [exc]
    while todo and len(out) < 16:
        current = todo.pop(0)
        if any(current is seen for seen in out):
            continue
        out.append(current)
        todo += [e for e in (current.__cause__, current.__context__, getattr(current, "reason", None),
                             *current.args) if isinstance(e, BaseException)]
    return out


def _reason(exc: BaseException) -> str:
    """Why a connection failed, in a few words."""
    for inner in _chain(exc):
        if isinstance(inner, ConnectionRefusedError):
            return "connection refused"
        if isinstance(inner, ConnectionResetError):
            return "connection reset"
        if isinstance(inner, (TimeoutError, asyncio.TimeoutError)) and not isinstance(inner, DeadlineExceeded):
            return "timed out"
        if isinstance(inner, OSError) and inner.strerror:
            return inner.strerror.lower()
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    return " ".join(text.split())[:100]


def _cut_short(exc: BaseException) -> bool:
    """A connection that closed in the middle of an answer."""
    import http.client

    return any(isinstance(e, http.client.IncompleteRead)
               or type(e).__name__ in ("ChunkedEncodingError", "ClientPayloadError")
               for e in _chain(exc))


@dataclass(frozen=True, slots=True)
class Verdict:
    retry: bool          # send it again after a pause (else: refused or fatal)
    message: str         # one line naming what happened
    throttled: bool = False
    refused: bool = False
    startup: bool = False  # counts against the start-up allowance: the node may not be one
    pause: float = 0.0   # at least this long (Retry-After)


def judge(exc: BaseException, request: Request, url: str) -> Verdict:
    """How to answer `exc`, raised while performing `request` on `url`."""
    method = calls(request)[0].method
    ranged = isinstance(request, (GetHeaders, GetLogs)) and request.last > request.first
    if isinstance(exc, DeadlineExceeded):
        text = f"{url}: {method} got no full answer within {exc.args[0]:g} s"
        return Verdict(not ranged, text, refused=ranged)
    if isinstance(exc, HttpStatus):
        status = exc.status
        pause = _seconds(exc.retry_after)
        error = _error_in(exc.text)
        if error is not None and status != 429:  # a JSON-RPC error sent with an HTTP error status
            return _judge_error(error, method, url, ranged)
        if status == 429:
            return Verdict(True, f"{url}: {method} was throttled: HTTP 429", throttled=True, pause=pause)
        if status == 413 and ranged:
            return Verdict(False, f"{url}: {method} was refused as too large: HTTP 413", refused=True)
        if status in (408, 500, 502, 503, 504) or status >= 520:  # overloaded, or a proxy in the way
            return Verdict(True, f"{url}: {method} failed: HTTP {status}", pause=pause, startup=True)
        return Verdict(False, f"{url} is not a JSON-RPC endpoint: HTTP {status} to a POST", startup=True)
    if isinstance(exc, RpcError):
        return _judge_error(exc, method, url, ranged)
    if isinstance(exc, DecodeError):
        html = _HTML.match(str(exc))
        if html:
            page = _quote(html[1] + ("…" if html[2] else ""))
            return Verdict(True, f"{url}: {method} was answered with an HTML page: {page}", startup=True)
        return Verdict(True, f"{url}: {method}: {exc}", startup=True)
    if isinstance(exc, (NullResult, BadAnswer)):
        return Verdict(True, f"{url}: {exc}")
    if _cut_short(exc):
        return Verdict(True, f"{url}: {method}'s answer was cut short by the connection closing",
                       startup=True)
    if isinstance(exc, (NodeError, TypeError, AttributeError, AssertionError, ValueError)):
        # Ours: a fault in the follower or its caller, not in the node.
        return Verdict(False, "")
    # Everything else went wrong on the way: the connection, TLS, a provider.
    return Verdict(True, f"cannot reach {url}: {_reason(exc)}", startup=True)


def _error_in(text: str) -> RpcError | None:
    """The JSON-RPC error object an HTTP error answer carries, if any."""
    try:
        document = json.loads(text)
    except ValueError:
        return None
    error = document.get("error") if isinstance(document, dict) else None
    if not isinstance(error, dict) or not isinstance(error.get("code"), int):
        return None
    return RpcError(error["code"], str(error.get("message", "")))


def _judge_error(error: RpcError, method: str, url: str, ranged: bool) -> Verdict:
    text = error.message.lower()
    message = f"{url}: {method} failed: {_quote(error.message)[1:-1]} ({error.code})"
    if error.code == -32601:  # no such method here: no retry brings it
        return Verdict(False, message)
    if any(w in text for w in _THROTTLED) or error.code == 429:
        return Verdict(True, message, throttled=True)
    if any(w in text for w in _LAGGING):
        return Verdict(True, message)
    if any(w in text for w in _TOO_BIG):  # split a range; one block cannot be
        return Verdict(False, message, refused=ranged)
    if error.code == -32005:
        return Verdict(True, message, throttled=True)
    if "timeout" in text or "timed out" in text or error.code in (-32603, -32000):
        return Verdict(True, message)
    return Verdict(False, message)


def _seconds(retry_after: str | None) -> float:
    try:
        return max(0.0, float(retry_after)) if retry_after else 0.0
    except ValueError:
        return 0.0


def batch_refusal(error: RpcError) -> bool:
    """A batch answered by one error saying batches are not taken at all
    (not that this one was too long)."""
    text = error.message.lower()
    return any(w in text for w in _NO_BATCHES) or (error.code == -32600 and "batch" in text
                                                    and not any(w in text for w in _TOO_BIG))


def _no_batches(url: str, error: RpcError) -> bool:
    log.warning("%s takes no JSON-RPC batches (%s); sending single requests from now on", url, error)
    return False


class Retries:
    """The retry decisions shared by every request of one run: capped
    exponential backoff with full jitter over each request's own tries (the
    failures of requests in flight together do not compound), a node's
    Retry-After obeyed, one warning per episode (a run of failures ended by a
    success), and the start-up allowance: until the node's first good answer,
    failures that say it may not be a node at all end the run after
    `startup_timeout`."""

    def __init__(self, url: str, base: float, cap: float, startup_timeout: float,
                 rng: random.Random | None = None) -> None:
        self.url = url
        self.base = base
        self.cap = cap
        self.startup_timeout = startup_timeout
        self._rng = rng or random.Random()
        self._lock = threading.Lock()
        self._failures = 0
        self._answered = False
        self._since: float | None = None

    def failed(self, request: Request, exc: BaseException, tries: int = 1) -> Verdict:
        """Whether to send `request` again, and after how long (`pause`);
        else it is refused (the engine asks for less) or fatal. `tries` is
        how many times this request has now failed."""
        verdict = judge(exc, request, self.url)
        with self._lock:
            if not self._answered and verdict.startup:
                now = time.monotonic()
                if self._since is None:
                    self._since = now
                waited = now - self._since
                if waited >= self.startup_timeout:
                    text = verdict.message
                    if text.startswith("cannot reach"):
                        text += f" (retried for {waited:.0f} s)"
                    return Verdict(False, text)
                # Not JSON-RPC (yet?): it may be a node still starting.
                verdict = dataclasses.replace(verdict, retry=True)
            if not verdict.retry:
                return verdict
            if self._failures == 0:
                log.warning("%s; retrying with backoff", verdict.message)
            self._failures += 1
            delay = self._rng.uniform(0, min(self.cap, self.base * 2 ** min(tries - 1, 30)))
            delay = max(delay, min(self.cap, verdict.pause))
            if self._since is not None:  # the last try falls on the start-up allowance's end
                delay = min(delay, max(0.0, self._since + self.startup_timeout - time.monotonic()))
        return dataclasses.replace(verdict, pause=delay)

    def succeeded(self) -> None:
        with self._lock:
            self._answered = True
            self._since = None
            if self._failures:
                log.debug("the node answers again after %d retries", self._failures)
                self._failures = 0


def outcome(verdict: Verdict, exc: BaseException) -> Refused | Failed:
    """What the engine is told of a request that ends with `verdict`."""
    return Refused(verdict.message) if verdict.refused else Failed(fatal(verdict, exc))


def fatal(verdict: Verdict, exc: BaseException) -> BaseException:
    """The error to raise for `exc`: the node's fault as a `NodeError`, or
    `exc` itself when the fault is ours."""
    if not verdict.message:
        return exc
    error = NodeError(verdict.message)
    error.__cause__ = exc
    return error




# -- connections: blocking -------------------------------------------------------


def _split_kwargs(kwargs: Mapping[str, Any], timeout: float) -> tuple[dict[str, str], dict[str, Any], float]:
    """The provider's headers, its other settings, and the deadline of one
    request: the follower's, or the provider's own timeout when shorter."""
    kwargs = dict(kwargs)
    headers = dict(kwargs.pop("headers", None) or {})
    given = kwargs.pop("timeout", None)
    given = getattr(given, "total", given)  # aiohttp's ClientTimeout
    if isinstance(given, tuple):  # requests' (connect, read)
        given = max((t for t in given if t is not None), default=None)
    if isinstance(given, (int, float)) and given > 0:
        timeout = min(timeout, float(given))
    kwargs.pop("stream", None)
    headers.setdefault("Content-Type", "application/json")
    return headers, kwargs, timeout


class HttpConnection:
    """Requests over HTTP(S) with the provider's URL, headers and settings:
    through the follower's own client (`_http`), or, for what only requests
    does (authentication objects, proxies, credentials in the URL), through
    a requests session; one kept-alive connection per thread either way."""

    def __init__(self, provider: Any, timeout: float) -> None:
        self.url = str(provider.endpoint_uri)
        self.headers, self.kwargs, self.timeout = _split_kwargs(provider.get_request_kwargs(), timeout)
        self.batches = True
        self._local = threading.local()
        self._client: HttpClient | None = None
        if _plain(self.url, self.kwargs):
            self._client = HttpClient(self.url, self.headers, verify=self.kwargs.get("verify", True),
                                      cert=self.kwargs.get("cert"))

    def _session(self) -> Any:
        session = getattr(self._local, "session", None)
        if session is None:
            import requests

            session = self._local.session = requests.Session()
        return session

    def perform(self, request: Request) -> tuple[Any, int]:
        """`request`'s answer and the HTTP round trips it took."""
        data, kinds = encode(request)
        if len(kinds) == 1 or self.batches:
            try:
                return answer(request, vorlane_rpc.decode(self._post(data), kinds)), 1
            except RpcError as error:
                if len(kinds) == 1 or not batch_refusal(error):
                    raise
                self.batches = _no_batches(self.url, error)
        batch = calls(request)
        entries = [vorlane_rpc.decode(self._post(body([c])), bytes((c.kind,)))[0] for c in batch]
        return answer(request, entries), len(batch)

    def _post(self, data: bytes) -> bytes | bytearray | memoryview:
        if self._client is not None:
            status, headers, answer = self._client.post(data, self.timeout)
            if status != 200:
                raise HttpStatus(status, headers.get("retry-after"),
                                 bytes(answer[:1 << 16]).decode("utf-8", "replace"))
            return answer
        deadline = time.monotonic() + self.timeout
        response = self._session().post(self.url, data=data, headers=self.headers, stream=True,
                                        timeout=self.timeout, **self.kwargs)
        try:
            raw = response.raw
            chunks = []
            limit = (1 << 16) if response.status_code != 200 else (1 << 62)
            size = 0
            while size < limit:
                if time.monotonic() > deadline:
                    raise DeadlineExceeded(self.timeout)
                chunk = raw.read1(1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
                size += len(chunk)
            data = b"".join(chunks)
        except BaseException:
            response.close()
            raise
        if response.status_code != 200:
            response.close()
            raise HttpStatus(response.status_code, response.headers.get("Retry-After"),
                             data.decode("utf-8", "replace"))
        return data

    def close(self) -> None:
        if self._client is not None:
            self._client.close()


def _plain(url: str, kwargs: Mapping[str, Any]) -> bool:
    """Whether the follower's own client can do everything these settings
    ask: no proxy, no credentials in the URL, nothing but TLS settings."""
    import urllib.request

    parts = urllib.parse.urlsplit(url)
    if set(kwargs) - {"verify", "cert"} or parts.username or parts.password:
        return False
    proxies = urllib.request.getproxies()
    return not (proxies.get(parts.scheme) or proxies.get("all")) or bool(
        urllib.request.proxy_bypass(parts.hostname or ""))


class ProviderConnection:
    """Any other blocking provider (IPC, a custom one), through its raw
    `make_request`; its answers are read by the same decoder."""

    def __init__(self, provider: Any, timeout: float) -> None:
        self.provider = provider
        self.url = str(getattr(provider, "endpoint_uri", None) or getattr(provider, "ipc_path", None)
                       or type(provider).__name__)
        self.timeout = timeout
        self._lock = threading.Lock()

    def perform(self, request: Request) -> tuple[Any, int]:
        batch = calls(request)
        entries = []
        for call in batch:
            with self._lock:
                response = self.provider.make_request(call.method, json.loads(call.params))
            entries.append(vorlane_rpc.decode(_encode_response(response), bytes((call.kind,)))[0])
        return answer(request, entries), len(batch)

    def close(self) -> None:
        pass


def _encode_response(response: Any) -> bytes:
    response = dict(response)
    response.setdefault("id", 0)
    response["id"] = 0
    return json.dumps(response, default=_hex).encode()


def _hex(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray)):
        return "0x" + bytes(value).hex()
    if hasattr(value, "to_0x_hex"):
        return value.to_0x_hex()
    raise TypeError(f"cannot encode {type(value).__name__}")


class Endpoint:
    """An HTTP(S) endpoint known by its URL (and headers) alone: what the
    command follows without building (and importing) a web3.py provider."""

    def __init__(self, url: str, headers: Mapping[str, str] | None = None) -> None:
        self.endpoint_uri = url
        self.headers = dict(headers or {"Content-Type": "application/json", "User-Agent": "vorlane-follow"})

    def get_request_kwargs(self) -> dict[str, Any]:
        return {"headers": self.headers}


def connect(provider: Any, timeout: float) -> HttpConnection | ProviderConnection:
    if isinstance(provider, Endpoint):
        return HttpConnection(provider, timeout)
    from web3 import HTTPProvider

    if isinstance(provider, HTTPProvider):
        return HttpConnection(provider, timeout)
    return ProviderConnection(provider, timeout)


# -- connections: asyncio --------------------------------------------------------


class AsyncHttpConnection:
    """`HttpConnection` under asyncio. The follower's own client runs on a few
    daemon threads that each request's task awaits (a task cancelled meanwhile
    drops the answer); settings only aiohttp understands go through aiohttp."""

    def __init__(self, provider: Any, timeout: float) -> None:
        self.url = str(provider.endpoint_uri)
        self.headers, self.kwargs, self.timeout = _split_kwargs(provider.get_request_kwargs(), timeout)
        self.batches = True
        self._session: Any = None
        self._blocking: HttpConnection | None = None
        if _plain(self.url, self.kwargs):
            self._blocking = HttpConnection(Endpoint(self.url, self.headers), self.timeout)
            self._threads = _Threads(self._blocking.close)

    async def perform(self, request: Request) -> tuple[Any, int]:
        if self._blocking is not None:
            done: tuple[Any, int] = await self._threads.run(self._blocking.perform, request)
            return done
        data, kinds = encode(request)
        if len(kinds) == 1 or self.batches:
            try:
                return answer(request, vorlane_rpc.decode(await self._post(data), kinds)), 1
            except RpcError as error:
                if len(kinds) == 1 or not batch_refusal(error):
                    raise
                self.batches = _no_batches(self.url, error)
        batch = calls(request)
        entries = [vorlane_rpc.decode(await self._post(body([c])), bytes((c.kind,)))[0] for c in batch]
        return answer(request, entries), len(batch)

    async def _post(self, data: bytes) -> bytes:
        import aiohttp

        if self._session is None or self._session.closed:
            self._session = aiohttp.ClientSession()
        try:
            async with asyncio.timeout(self.timeout):
                async with self._session.post(self.url, data=data, headers=self.headers,
                                              **self.kwargs) as response:
                    if response.status != 200:
                        text = (await response.content.read(1 << 16)).decode("utf-8", "replace")
                        raise HttpStatus(response.status, response.headers.get("Retry-After"), text)
                    return await response.read()  # type: ignore[no-any-return]
        except TimeoutError as exc:
            raise DeadlineExceeded(self.timeout) from exc

    async def close(self) -> None:
        if self._session is not None:
            await self._session.close()
            self._session = None
        if self._blocking is not None:
            self._threads.close()


class _Threads:
    """Daemon threads that run blocking calls for asyncio tasks; each calls
    `closing()` (its own connection's close) as it ends."""

    def __init__(self, closing: Any) -> None:
        self.closing = closing
        self._jobs: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self._idle = 0
        self._threads = 0
        self._lock = threading.Lock()

    async def run(self, call: Any, *args: Any) -> Any:
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        with self._lock:
            if self._idle == 0:
                self._threads += 1
                threading.Thread(target=self._work, name="vorlane-follow-request", daemon=True).start()
            else:
                self._idle -= 1
        self._jobs.put((call, args, loop, future))
        return await future

    def close(self) -> None:
        with self._lock:
            for _ in range(self._threads):
                self._jobs.put(None)
            self._threads = self._idle = 0

    def _work(self) -> None:
        while (job := self._jobs.get()) is not None:
            call, args, loop, future = job
            try:
                result, error = call(*args), None
            except BaseException as exc:  # noqa: BLE001 - handed to the awaiting task
                result, error = None, exc
            try:
                loop.call_soon_threadsafe(_settle, future, result, error)
            except RuntimeError:  # the loop has closed
                pass
            with self._lock:
                self._idle += 1
        self.closing()


def _settle(future: asyncio.Future[Any], result: Any, error: BaseException | None) -> None:
    if future.cancelled():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


class AsyncProviderConnection:
    """Any other asyncio provider (WebSocket, IPC), through its raw
    `make_request`. A persistent connection that dropped is opened again
    (web3.py does not), once for all the requests that met the drop."""

    def __init__(self, provider: Any, timeout: float) -> None:
        self.provider = provider
        self.url = str(getattr(provider, "endpoint_uri", None) or getattr(provider, "ipc_path", None)
                       or type(provider).__name__)
        self.timeout = timeout
        self._opened = 0  # how many times the connection was opened again
        self._lock = asyncio.Lock()

    async def perform(self, request: Request) -> tuple[Any, int]:
        batch = calls(request)
        opened = self._opened
        try:
            async with asyncio.timeout(self.timeout):
                # A persistent connection matches answers to requests by id:
                # the calls of one request go out together.
                responses = await asyncio.gather(*(
                    self.provider.make_request(c.method, json.loads(c.params)) for c in batch))
        except TimeoutError as exc:
            raise DeadlineExceeded(self.timeout) from exc
        except Exception:
            await self._reopen(opened)
            raise
        entries = [vorlane_rpc.decode(_encode_response(r), bytes((c.kind,)))[0]
                   for c, r in zip(batch, responses)]
        return answer(request, entries), len(batch)

    async def _reopen(self, opened: int) -> None:
        """Should this fail, the retried request fails too and backs off again."""
        from web3.providers.persistent import PersistentConnectionProvider

        if not isinstance(self.provider, PersistentConnectionProvider):
            return
        async with self._lock:
            if self._opened != opened:  # another request has opened it again already
                return
            self._opened += 1
            for step in (self.provider.disconnect, self.provider.connect):
                try:
                    await step()
                except Exception:  # noqa: BLE001
                    pass

    async def close(self) -> None:
        pass


def connect_async(provider: Any, timeout: float) -> AsyncHttpConnection | AsyncProviderConnection:
    from web3 import AsyncHTTPProvider

    if isinstance(provider, AsyncHTTPProvider):
        return AsyncHttpConnection(provider, timeout)
    return AsyncProviderConnection(provider, timeout)


def save(store: Any, checkpoint: Any, expected: int | None) -> None:
    save_if = getattr(store, "save_checkpoint_if", None)
    if save_if is not None:
        save_if(checkpoint, expected)
    else:
        store.save_checkpoint(checkpoint)
