"""The follower's HTTP/1.1 client against a server that answers each request
with given bytes: every way an answer's end is told, an interim answer, a
kept-alive connection the server dropped, and a deadline that holds however
slowly the bytes come."""

import socket
import threading
import time

import pytest

from follow_support import ROOT  # noqa: F401  (puts the source tree first)

pytest.importorskip("web3")  # the package refuses to load without its extra

from vorlane_follow._http import Closed, DeadlineExceeded, HttpClient  # noqa: E402

BODY = b'{"jsonrpc":"2.0","id":0,"result":"0x1"}'


class Server:
    """Answers the n-th request on a connection with `answers[n]` (a list of
    byte pieces sent `gap` seconds apart); closes after the last."""

    def __init__(self, answers, gap=0.0, close_after=None):
        self.answers, self.gap, self.close_after = answers, gap, close_after
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}/rpc"
        self.requests = []
        self.connections = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        data = b""
        with conn:
            for n, pieces in enumerate(self.answers):
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, _, data = data.partition(b"\r\n\r\n")
                length = int(head.lower().split(b"content-length: ")[1].split(b"\r\n")[0])
                while len(data) < length:
                    data += conn.recv(65536)
                self.requests.append((head, data[:length]))
                data = data[length:]
                try:
                    for piece in pieces:
                        conn.sendall(piece)
                        time.sleep(self.gap)
                except OSError:  # the client gave up
                    return
                if self.close_after == n or b"connection: close" in pieces[0].lower():
                    return

    def close(self):
        self.listener.close()


def ok(body=BODY, extra=b""):
    return [b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n%s\r\n" % (len(body), extra) + body]


CASES = {
    "content length": ([ok()], BODY),
    "content length, in pieces": ([[p[:7] for p in ok()] + [ok()[0][7:]]], BODY),
    "chunked, extensions and trailers": ([[b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                                           b"5;x=1\r\n" + BODY[:5] + b"\r\n",
                                           b"%x\r\n" % (len(BODY) - 5) + BODY[5:] + b"\r\n",
                                           b"0\r\nX-Trailer: 1\r\n\r\n"]], BODY),
    "no length, connection closed": ([[b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + BODY]], BODY),
    "interim 100 first": ([[b"HTTP/1.1 100 Continue\r\n\r\n"] + ok()], BODY),
}


@pytest.mark.parametrize("name", CASES)
def test_answers_are_read_to_their_end(name):
    answers, expected = CASES[name]
    server = Server(answers * 2)
    client = HttpClient(server.url, {"Content-Type": "application/json", "X-Key": "k"})
    try:
        status, headers, body = client.post(b"[1]", 5.0)
        assert (status, bytes(body)) == (200, expected)
        head, sent = server.requests[0]
        assert head.startswith(b"POST /rpc HTTP/1.1\r\n") and b"\r\nX-Key: k" in head and sent == b"[1]"
    finally:
        client.close()
        server.close()


def test_a_kept_alive_connection_the_server_dropped_is_opened_again_once():
    server = Server([ok()], close_after=0)
    client = HttpClient(server.url, {})
    try:
        for _ in range(3):
            assert bytes(client.post(b"{}", 5.0)[2]) == BODY
        assert server.connections == 3
    finally:
        client.close()
        server.close()


@pytest.mark.parametrize("pieces, error", [
    ([b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + BODY], Closed),  # cut short
    ([b"HTTP/1.1 200 OK\r\n", b"Content-Length: 5\r\n", b"\r\n", b"a", b"b"], DeadlineExceeded),  # trickled
])
def test_an_answer_that_does_not_arrive_whole_in_time_fails(pieces, error):
    server = Server([pieces], gap=0.4, close_after=0)
    client = HttpClient(server.url, {})
    started = time.monotonic()
    try:
        with pytest.raises(error):
            client.post(b"{}", 1.0)
        assert time.monotonic() - started < 1.5
    finally:
        client.close()
        server.close()
