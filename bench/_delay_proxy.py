"""A TCP proxy that adds round-trip latency, for bench_follow.py (the kernel
here has no netem).

Each `--rtt-ms` value gets its own listening port. Every chunk read from one
side is stamped with the time it arrived and written to the other side
RTT/2 later, in order; nothing else holds it back: reads never wait for
writes (data in flight is buffered without limit), so the link adds the
delay and not a bandwidth or window limit. An end of stream (or a reset)
travels the same way, after the data before it.

`python bench/_delay_proxy.py --upstream HOST:PORT --rtt-ms 20,50,100`
prints one JSON line {"20": port, ...} and serves until terminated.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import socket

_EOF = object()


class _Direction:
    """Data from one side on its way to the other, each chunk due at its
    arrival time plus the one-way delay."""

    def __init__(self, loop: asyncio.AbstractEventLoop, delay: float) -> None:
        self.loop = loop
        self.delay = delay
        self.queue: collections.deque[tuple[float, object]] = collections.deque()
        self.timer: asyncio.TimerHandle | None = None
        self.target: asyncio.Transport | None = None

    def push(self, item: object) -> None:
        self.queue.append((self.loop.time() + self.delay, item))
        if self.timer is None and self.target is not None:
            self._flush()

    def attach(self, target: asyncio.Transport) -> None:
        self.target = target
        if self.queue and self.timer is None:
            self._flush()

    def _flush(self) -> None:
        self.timer = None
        target = self.target
        assert target is not None
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now:
            _, item = self.queue.popleft()
            if item is _EOF:
                if target.can_write_eof():
                    target.write_eof()
                else:
                    target.close()
            elif not target.is_closing():
                target.write(item)  # type: ignore[arg-type]
        if self.queue:
            self.timer = self.loop.call_at(self.queue[0][0], self._flush)

    def cancel(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


class _Connection:
    """One proxied connection: the client's side, the upstream side, and the
    two directions between them."""

    def __init__(self, loop: asyncio.AbstractEventLoop, delay: float,
                 upstream: tuple[str, int]) -> None:
        self.loop = loop
        self.delay = delay
        self.upstream = upstream
        self.to_upstream = _Direction(loop, delay)
        self.to_client = _Direction(loop, delay)
        self.transports: list[asyncio.Transport] = []
        self.closing = False

    def client_made(self, transport: asyncio.Transport) -> None:
        self.transports.append(transport)
        self.to_client.attach(transport)
        self.loop.create_task(self._open_upstream(transport))

    async def _open_upstream(self, client: asyncio.Transport) -> None:
        try:
            transport, _ = await self.loop.create_connection(
                lambda: _Side(self, self.to_client), *self.upstream)
        except OSError:
            client.close()
            return
        self.transports.append(transport)  # type: ignore[arg-type]
        self.to_upstream.attach(transport)  # type: ignore[arg-type]

    def lost(self) -> None:
        # What is still queued goes out first; both ends close after it.
        if not self.closing:
            self.closing = True
            self.loop.call_later(self.delay + 0.001, self._close)

    def _close(self) -> None:
        for direction in (self.to_upstream, self.to_client):
            direction.cancel()
        for transport in self.transports:
            transport.close()


class _Side(asyncio.Protocol):
    """One end of a proxied connection: what it reads goes to `outgoing`."""

    def __init__(self, connection: _Connection, outgoing: _Direction, client: bool = False) -> None:
        self.connection = connection
        self.outgoing = outgoing
        self.client = client

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.client:
            self.connection.client_made(transport)  # type: ignore[arg-type]

    def data_received(self, data: bytes) -> None:
        self.outgoing.push(data)

    def eof_received(self) -> bool:
        self.outgoing.push(_EOF)
        return True  # the other half stays open until the EOF has gone through

    def connection_lost(self, exc: Exception | None) -> None:
        self.outgoing.push(_EOF)
        self.connection.lost()


async def _proxy(delay: float, upstream: tuple[str, int]) -> asyncio.Server:
    loop = asyncio.get_running_loop()

    def client_side() -> asyncio.Protocol:
        connection = _Connection(loop, delay, upstream)
        return _Side(connection, connection.to_upstream, client=True)

    return await loop.create_server(client_side, "127.0.0.1", 0, backlog=128)


async def _main(upstream: tuple[str, int], rtts: list[float]) -> None:
    servers = {}
    for rtt in rtts:
        servers[rtt] = await _proxy(rtt / 2000, upstream)
    print(json.dumps({f"{rtt:g}": s.sockets[0].getsockname()[1] for rtt, s in servers.items()}),
          flush=True)
    await asyncio.Event().wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--upstream", required=True, help="HOST:PORT to forward to")
    parser.add_argument("--rtt-ms", required=True,
                        help="comma-separated round-trip times to add, one port each")
    args = parser.parse_args()
    host, _, port = args.upstream.rpartition(":")
    asyncio.run(_main((host, int(port)), [float(x) for x in args.rtt_ms.split(",")]))


if __name__ == "__main__":
    main()
