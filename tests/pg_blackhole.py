"""One PostgresStorage call through a blackhole, run as a script; prints what
happened as JSON: the error, the seconds the call took, and the block number
read back after the same operation ran again once traffic flowed.

    python pg_blackhole.py KIND OPERATION TIMEOUT SERVER_DSN [DSN_EXTRA]

The store reaches the server (on a Unix socket) through a relay listening on
127.0.0.1. KIND "acking": the relay stops relaying but keeps every
connection open, so the kernel still acknowledges what the store sends.
KIND "silent": the loopback interface goes down, so nothing is acknowledged;
run it in a network namespace of its own (`unshare -n`).
"""

import fcntl
import json
import socket
import struct
import sys
import threading
import time

from vorlane import Checkpoint
from vorlane_stores import PostgresStorage

SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1


def set_loopback(up: bool) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        flags = flags | IFF_UP if up else flags & ~IFF_UP
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags))


class Relay:
    """TCP on 127.0.0.1 to a Unix socket; holds all data while paused."""

    def __init__(self, target: str):
        self.target = target
        self.flowing = threading.Event()
        self.flowing.set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            client, _ = self.listener.accept()
            upstream = socket.socket(socket.AF_UNIX)
            upstream.connect(self.target)
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    def _pump(self, source: socket.socket, sink: socket.socket) -> None:
        try:
            while data := source.recv(65536):
                self.flowing.wait()
                sink.sendall(data)
            self.flowing.wait()
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def settings(dsn: str) -> dict[str, str]:
    return dict(item.split("=", 1) for item in dsn.split())


OPERATIONS = {
    "save_checkpoint": lambda s, who: s.save_checkpoint(Checkpoint("1", who, 8, "0xbb", 8)),
    "load_checkpoint": lambda s, who: s.load_checkpoint("1", who),
    "delete_checkpoint": lambda s, who: s.delete_checkpoint("1", who),
    "save_checkpoint_if": lambda s, who: s.save_checkpoint_if(Checkpoint("1", who, 8, "0xbb", 8), 7),
}


def main() -> None:
    kind, operation, timeout, server_dsn = sys.argv[1:5]
    extra = sys.argv[5] if len(sys.argv) > 5 else ""
    server = settings(server_dsn)
    if kind == "silent":
        set_loopback(True)
    relay = Relay(f"{server['host']}/.s.PGSQL.{server.get('port', '5432')}")
    dsn = (f"host=127.0.0.1 port={relay.port} dbname={server.get('dbname', 'postgres')} "
           f"user={server['user']} sslmode=disable gssencmode=disable {extra}")
    table = f"blackhole_{kind}_{operation}"

    def blackhole(on: bool) -> None:
        if kind == "silent":
            set_loopback(not on)
        elif on:
            relay.flowing.clear()
        else:
            relay.flowing.set()

    def open_store() -> PostgresStorage:
        return PostgresStorage(dsn, table=table, timeout=float(timeout))

    store = None if operation == "construction" else open_store()
    if store is not None:
        store.save_checkpoint(Checkpoint("1", "before", 7, "0xaa", 7))
    blackhole(True)
    error = None
    start = time.monotonic()
    try:
        if store is None:
            open_store()
        else:
            OPERATIONS[operation](store, "before")
    except RuntimeError as e:
        error = str(e)
    elapsed = time.monotonic() - start
    blackhole(False)

    # A pair the call above never touched: its request may still reach the
    # server late, once traffic flows.
    if store is None:
        store = open_store()
    store.save_checkpoint(Checkpoint("1", "after", 7, "0xaa", 7))
    OPERATIONS.get(operation, OPERATIONS["load_checkpoint"])(store, "after")
    after = store.load_checkpoint("1", "after")
    store.close()
    print(json.dumps({"error": error, "elapsed": elapsed,
                      "after": None if after is None else after.block_number}))


if __name__ == "__main__":
    main()
