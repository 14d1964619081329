"""The follower's HTTP/1.1 client for its POSTs to a node: one kept-alive
connection per thread, each answer read straight into a buffer of the
thread's that is reused from one answer to the next (no copies on the way),
and one deadline for the whole exchange that holds however slowly the bytes
come: every wait on the socket gets only what is left of it."""

from __future__ import annotations

import re
import socket
import ssl
import threading
import time
import urllib.parse
from typing import Any


class DeadlineExceeded(TimeoutError):
    """No full answer within the request's deadline (`args[0]`: its seconds)."""


class Closed(ConnectionError):
    """The connection closed before the answer was complete."""


class Malformed(Exception):
    """An answer that is not HTTP/1.x: its status line, a chunk's size or the
    end of a chunk is not what the protocol allows."""


_MAX_HEAD = 1 << 16
_STATUS_LINE = re.compile(r"(HTTP/1\.[01]) ([1-9][0-9]{2})(?: .*)?", re.S)
_CHUNK_SIZE = re.compile(rb"[0-9a-fA-F]{1,15}")
_BEFORE = "before the answer"


class HttpClient:
    """POSTs to one URL. `verify` and `cert` as in requests (a CA bundle path
    or False; a client certificate path or (cert, key))."""

    def __init__(self, url: str, headers: dict[str, str], *, verify: Any = True, cert: Any = None) -> None:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"not an http(s) URL: {url!r}")
        self.tls = parts.scheme == "https"
        self.host = parts.hostname
        self.port = parts.port or (443 if self.tls else 80)
        path = parts.path or "/"
        if parts.query:
            path += "?" + parts.query
        netloc = parts.netloc.rpartition("@")[2]
        lines = [f"POST {path} HTTP/1.1", f"Host: {netloc}", "Connection: keep-alive",
                 "Accept-Encoding: identity"]
        lines += [f"{k}: {v}" for k, v in headers.items()
                  if k.lower() not in ("host", "connection", "content-length", "accept-encoding")]
        self._head = ("\r\n".join(lines) + "\r\nContent-Length: ").encode("latin-1")
        self._context: ssl.SSLContext | None = None
        if self.tls:
            context = ssl.create_default_context(cafile=verify if isinstance(verify, str) else None)
            if verify is False:
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
            if cert:
                certfile, keyfile = (cert, None) if isinstance(cert, str) else cert
                context.load_cert_chain(certfile, keyfile)
            self._context = context
        self._local = threading.local()

    def post(self, body: bytes, timeout: float) -> tuple[int, dict[str, str], bytearray | memoryview]:
        """The answer's status, headers (names in lower case) and body. A
        body read by its Content-Length is a view of this thread's buffer,
        valid until the thread's next request: decode or copy it first."""
        deadline = time.monotonic() + timeout
        request = self._head + b"%d\r\n\r\n" % len(body) + body
        for fresh in (False, True):
            sock: socket.socket | None = getattr(self._local, "sock", None)
            reused = sock is not None and not fresh
            if sock is None or fresh:
                self.close()
                sock = self._connect(deadline, timeout)
            try:
                _wait(sock, deadline, timeout)
                sock.sendall(request)
                status, headers, data, keep = _read_answer(sock, deadline, timeout)
            except DeadlineExceeded:
                self.close()
                raise
            except (ConnectionResetError, BrokenPipeError, Closed) as exc:
                self.close()
                # A kept-alive connection the server closed meanwhile: once more
                # on a new one (the follower's requests only read).
                if reused and (not isinstance(exc, Closed) or exc.args == (_BEFORE,)):
                    continue
                raise
            except BaseException:
                self.close()
                raise
            if not keep:
                self.close()
            return status, headers, data
        raise AssertionError("unreachable")

    def _connect(self, deadline: float, timeout: float) -> socket.socket:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise DeadlineExceeded(timeout)
        try:
            sock = socket.create_connection((self.host, self.port), timeout=remaining)
        except TimeoutError:
            raise DeadlineExceeded(timeout) from None
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self._context is not None:
            sock.settimeout(max(0.001, deadline - time.monotonic()))
            try:
                sock = self._context.wrap_socket(sock, server_hostname=self.host)
            except TimeoutError:
                sock.close()
                raise DeadlineExceeded(timeout) from None
        self._local.sock = sock
        return sock

    def close(self) -> None:
        sock = getattr(self._local, "sock", None)
        if sock is not None:
            self._local.sock = None
            try:
                sock.close()
            except OSError:
                pass


_buffers = threading.local()


def _body_buffer(size: int) -> memoryview:
    """`size` bytes of this thread's answer buffer, valid until its next
    answer. Reusing it spares each large answer fresh pages to fault in and
    zero; a buffer more than four times too large is let go (a follower at
    the head asks for little). A view still held elsewhere keeps the old
    buffer alive: it is replaced, never resized."""
    buffer: bytearray | None = getattr(_buffers, "buffer", None)
    if buffer is None or len(buffer) < size or len(buffer) > 4 * max(size, 1 << 16):
        buffer = _buffers.buffer = bytearray(max(size, 1 << 16))
    return memoryview(buffer)[:size]


def _wait(sock: socket.socket, deadline: float, timeout: float) -> None:
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise DeadlineExceeded(timeout)
    sock.settimeout(remaining)


def _recv_into(sock: socket.socket, view: memoryview, deadline: float, timeout: float) -> int:
    _wait(sock, deadline, timeout)
    try:
        return sock.recv_into(view)
    except TimeoutError:
        raise DeadlineExceeded(timeout) from None


def _read_answer(sock: socket.socket, deadline: float,
                 timeout: float) -> tuple[int, dict[str, str], bytearray | memoryview, bool]:
    head = bytearray(_MAX_HEAD)
    view = memoryview(head)
    size = 0
    while (end := head.find(b"\r\n\r\n", 0, size)) < 0:
        if size == _MAX_HEAD:
            raise Closed("an answer whose headers are longer than 64 KiB")
        n = _recv_into(sock, view[size:], deadline, timeout)
        if n == 0:
            raise Closed(_BEFORE if size == 0 else "in the middle of the answer's headers")
        size += n
    lines = bytes(head[:end]).decode("latin-1").split("\r\n")
    status_line = _STATUS_LINE.fullmatch(lines[0])
    if status_line is None:
        raise Malformed(f"a malformed HTTP status line: {lines[0][:60]!r}")
    version, status = status_line[1], int(status_line[2])
    headers: dict[str, str] = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    keep = version == "HTTP/1.1" and headers.get("connection", "").lower() != "close"
    start = end + 4
    if status in (100, 103):  # an interim answer: the real one follows
        return _read_answer(_Prefixed(sock, bytes(head[start:size])), deadline, timeout)  # type: ignore[arg-type]
    if status in (204, 304):  # no body, whatever the headers say
        return status, headers, bytearray(), keep
    length = headers.get("content-length")
    if "chunked" in headers.get("transfer-encoding", "").lower():
        return status, headers, _read_chunked(sock, bytes(head[start:size]), deadline, timeout), keep
    if length is not None and length.isdigit():
        body_view = _body_buffer(int(length))
        got = min(len(body_view), size - start)
        body_view[:got] = head[start:start + got]
        while got < len(body_view):
            n = _recv_into(sock, body_view[got:], deadline, timeout)
            if n == 0:
                raise Closed("in the middle of the answer")
            got += n
        return status, headers, body_view, keep
    # No length: the body runs to the end of the connection.
    body = bytearray(head[start:size])
    chunk = bytearray(1 << 16)
    while True:
        n = _recv_into(sock, memoryview(chunk), deadline, timeout)
        if n == 0:
            return status, headers, body, False
        body += chunk[:n]


class _Prefixed:
    """A socket whose first bytes were already read."""

    def __init__(self, sock: socket.socket, prefix: bytes) -> None:
        self._sock = sock
        self._prefix = prefix

    def settimeout(self, value: float) -> None:
        self._sock.settimeout(value)

    def recv_into(self, view: memoryview) -> int:
        if self._prefix:
            n = min(len(view), len(self._prefix))
            view[:n] = self._prefix[:n]
            self._prefix = self._prefix[n:]
            return n
        return self._sock.recv_into(view)


def _read_chunked(sock: socket.socket, already: bytes, deadline: float, timeout: float) -> bytearray:
    buffer = bytearray(already)
    chunk = bytearray(1 << 16)

    def more() -> None:
        n = _recv_into(sock, memoryview(chunk), deadline, timeout)
        if n == 0:
            raise Closed("in the middle of the answer")
        buffer.extend(chunk[:n])

    body = bytearray()
    while True:
        while (line_end := buffer.find(b"\r\n")) < 0:
            more()
        text = bytes(buffer[:line_end]).split(b";")[0].strip()
        if not _CHUNK_SIZE.fullmatch(text):
            raise Malformed(f"a malformed HTTP chunk size: {bytes(buffer[:min(line_end, 40)])!r}")
        size = int(text, 16)
        del buffer[:line_end + 2]
        if size == 0:
            while (trailer_end := buffer.find(b"\r\n")) != 0:  # trailers, then the empty line
                if trailer_end > 0:
                    del buffer[:trailer_end + 2]
                else:
                    more()
            return body
        while len(buffer) < size + 2:
            more()
        if buffer[size:size + 2] != b"\r\n":
            raise Malformed(f"a malformed HTTP chunk footer: {bytes(buffer[size:size + 8])!r}")
        body += buffer[:size]
        del buffer[:size + 2]
