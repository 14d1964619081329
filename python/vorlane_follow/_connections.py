"""The connections that carry the follower's requests: HTTP(S) spoken by the
follower itself, on kept-alive connections with the provider's URL and
settings, and any other web3.py provider through its own raw request
method, each call bounded by the request deadline."""

from __future__ import annotations

import asyncio
import json
import logging
import queue
import threading
import time
import urllib.parse
from collections.abc import Mapping
from typing import Any

import vorlane_rpc
from vorlane_rpc import DecodeError, RpcError

from ._http import DeadlineExceeded, HttpClient
from ._judge import HttpStatus, batch_refusal, quote
from ._messages import Request
from ._rpc import answer, body, calls, encode

log = logging.getLogger("vorlane_follow")

Performed = tuple[Any, int]  # an answer for the engine, and the HTTP round trips it took


def _decode(data: bytes | bytearray | memoryview, kinds: bytes) -> list[Any]:
    """The decoded entries of an answer. An answer that is no JSON-RPC
    answer raises a `DecodeError` quoting it; a batch answered by a list
    holding one error (the way some nodes refuse a batch for its length)
    raises that error."""
    try:
        return vorlane_rpc.decode(data, kinds)
    except DecodeError as exc:
        if str(exc).startswith("the answer is an HTML page") or len(data) > 1 << 16:
            raise
        text = bytes(data).decode("utf-8", "replace")
        if len(kinds) > 1:
            try:
                items = json.loads(text)
            except ValueError:
                items = None
            if isinstance(items, list) and len(items) == 1 and isinstance(items[0], dict):
                error = items[0].get("error")
                if isinstance(error, dict) and isinstance(error.get("code"), int):
                    raise RpcError(error["code"], str(error.get("message", ""))) from None
        raise DecodeError(f"{exc}; the answer: {quote(text)}") from None


def _singles(url: str, error: RpcError) -> None:
    log.warning("%s takes no JSON-RPC batches (%s); sending single requests from now on", url, error)


# -- blocking ----------------------------------------------------------------------


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

    def perform(self, request: Request) -> Performed:
        """`request`'s answer and the HTTP round trips it took."""
        data, kinds = encode(request)
        if len(kinds) == 1 or self.batches:
            try:
                return answer(request, _decode(self._post(data), kinds)), 1
            except RpcError as error:
                if len(kinds) == 1 or not batch_refusal(error):
                    raise
                self.batches = False
                _singles(self.url, error)
        batch = calls(request)
        entries = [_decode(self._post(body([c])), bytes((c.kind,)))[0] for c in batch]
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
    `make_request`; its answers are read by the same decoder. A provider
    may block for as long as it likes: its calls run on a thread of their
    own, and a request that is not answered within `timeout` seconds (the
    calls one after another) fails with `DeadlineExceeded`, its call left to
    end on its own."""

    def __init__(self, provider: Any, timeout: float) -> None:
        self.provider = provider
        self.url = str(getattr(provider, "endpoint_uri", None) or getattr(provider, "ipc_path", None)
                       or type(provider).__name__)
        self.timeout = timeout
        self._lock = threading.Lock()

    def perform(self, request: Request) -> Performed:
        batch = calls(request)
        deadline = time.monotonic() + self.timeout
        entries = []
        for call in batch:
            response = self._within(deadline, call.method, json.loads(call.params))
            entries.append(_decode(_encode_response(response), bytes((call.kind,)))[0])
        return answer(request, entries), len(batch)

    def _within(self, deadline: float, method: str, params: Any) -> Any:
        done = threading.Event()
        outcome: list[Any] = []
        lock = self._lock

        def call() -> None:
            try:
                with lock:
                    outcome.append((True, self.provider.make_request(method, params)))
            except BaseException as exc:  # noqa: BLE001 - raised by the waiting thread
                outcome.append((False, exc))
            done.set()

        threading.Thread(target=call, name="vorlane-follow-provider", daemon=True).start()
        if not done.wait(max(0.0, deadline - time.monotonic())):
            # The calls are one at a time, but not behind one that hangs.
            self._lock = threading.Lock()
            raise DeadlineExceeded(self.timeout)
        ok, value = outcome[0]
        if not ok:
            raise value
        return value

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


# -- asyncio -----------------------------------------------------------------------


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

    async def perform(self, request: Request) -> Performed:
        if self._blocking is not None:
            done: Performed = await self._threads.run(self._blocking.perform, request)
            return done
        data, kinds = encode(request)
        if len(kinds) == 1 or self.batches:
            try:
                return answer(request, _decode(await self._post(data), kinds)), 1
            except RpcError as error:
                if len(kinds) == 1 or not batch_refusal(error):
                    raise
                self.batches = False
                _singles(self.url, error)
        batch = calls(request)
        entries = [_decode(await self._post(body([c])), bytes((c.kind,)))[0] for c in batch]
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

    async def perform(self, request: Request) -> Performed:
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
        entries = [_decode(_encode_response(r), bytes((c.kind,)))[0] for c, r in zip(batch, responses)]
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
