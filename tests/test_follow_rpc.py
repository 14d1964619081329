"""How the follower sorts what a node answers: retried, refused for its
size, or fatal, and the one line each fatal error reads as."""

import pytest

from follow_support import ROOT  # noqa: F401  (puts the source tree first)

pytest.importorskip("web3")

from vorlane_rpc import RpcError, decode, QUANTITY  # noqa: E402
from vorlane_follow import _rpc  # noqa: E402
from vorlane_follow.engine import GetBlockLogs, GetChainId, GetLogs  # noqa: E402

URL = "http://127.0.0.1:8545"
RANGE, ONE = GetLogs(10, 19, (), ()), GetLogs(10, 10, (), ())
BY_HASH = GetBlockLogs("0x" + "ab" * 32, 10, (), ())


def _decode_error(body):
    try:
        decode(body, bytes([QUANTITY]))
    except ValueError as exc:
        return exc
    raise AssertionError("decoded")


# (exception, request) -> (retry, refused, throttled, message)
CASES = {
    "rate limit by code": (RpcError(-32005, "request rate exceeded"), RANGE, (True, False, True, None)),
    "rate limit by words": (RpcError(-32000, "compute units per second capacity exceeded"), RANGE,
                            (True, False, True, None)),
    "range too large": (RpcError(-32005, "block range too large, at most 3 blocks per request"), RANGE,
                        (False, True, False, None)),
    "response size exceeded": (RpcError(-32008, "response size exceeded, at most 100 bytes"), RANGE,
                               (False, True, False, None)),
    "lagging backend, not split": (RpcError(-32602, "invalid block range params"), RANGE,
                                   (True, False, False, None)),
    "unknown block by hash": (RpcError(-32000, "unknown block"), BY_HASH, (True, False, False, None)),
    "too large, one block: nothing to split": (RpcError(-32005, "query returned more than 10 results"),
                                               ONE, (False, False, False,
        f"{URL}: eth_getLogs failed: query returned more than 10 results (-32005)")),
    "invalid params": (RpcError(-32602, "invalid argument 0"), RANGE, (False, False, False,
                       f"{URL}: eth_getLogs failed: invalid argument 0 (-32602)")),
    "no such method": (RpcError(-32601, "the method eth_getLogs does not exist/is not available"), RANGE,
                       (False, False, False, None)),
    "error object on HTTP 400": (_rpc.HttpStatus(400, None, '{"jsonrpc":"2.0","id":0,"error":'
                                                 '{"code":-32005,"message":"block range too large"}}'),
                                 RANGE, (False, True, False, None)),
    "deadline, ranged": (_rpc.DeadlineExceeded(10.0), RANGE, (False, True, False, None)),
    "deadline, one call": (_rpc.DeadlineExceeded(10.0), GetChainId(), (True, False, False, None)),
    "HTTP 429": (_rpc.HttpStatus(429, "3", ""), RANGE, (True, False, True, None)),
    "HTTP 413": (_rpc.HttpStatus(413, None, ""), RANGE, (False, True, False, None)),
    "HTTP 502": (_rpc.HttpStatus(502, None, ""), RANGE, (True, False, False, None)),
    "HTTP 501": (_rpc.HttpStatus(501, None, ""), GetChainId(), (False, False, False,
                 f"{URL} is not a JSON-RPC endpoint: HTTP 501 to a POST")),
    "HTML page": (_decode_error(b"<html><body><h1>502 Bad Gateway</h1></body></html>"), RANGE,
                  (True, False, False,
                   f'{URL}: eth_getLogs was answered with an HTML page: "<html><body><h1>502 Bad Gateway</h1></body></html>"')),
    "cut-short JSON": (_decode_error(b'{"jsonrpc":"2.0","id":0,"res'), RANGE, (True, False, False, None)),
    "null result": (_rpc.NullResult("eth_chainId was answered with null"), GetChainId(),
                    (True, False, False, None)),
    "connection refused": (ConnectionRefusedError(111, "Connection refused"), GetChainId(),
                           (True, False, False, f"cannot reach {URL}: connection refused")),
}


@pytest.mark.parametrize("name", CASES)
def test_judge(name):
    exc, request, (retry, refused, throttled, message) = CASES[name]
    verdict = _rpc.judge(exc, request, URL)
    assert (verdict.retry, verdict.refused, verdict.throttled) == (retry, refused, throttled)
    if message is not None:
        assert verdict.message == message


@pytest.mark.parametrize("error, refused_as_such", [
    (RpcError(-32600, "batch requests are not supported"), True),
    (RpcError(-32600, "batch too large, at most 5 calls"), False),
    (RpcError(-32601, "the method batch is not allowed"), True),
])
def test_a_batch_refused_as_such_is_told_from_one_too_long(error, refused_as_such):
    assert _rpc.batch_refusal(error) is refused_as_such


def test_until_the_first_good_answer_an_unreachable_node_is_given_up_on():
    retries = _rpc.Retries(URL, 0.0, 0.0, startup_timeout=0.0)
    verdict = retries.failed(GetChainId(), ConnectionRefusedError(111, "Connection refused"))
    assert not verdict.retry and verdict.message == f"cannot reach {URL}: connection refused (retried for 0 s)"
    retries = _rpc.Retries(URL, 0.0, 0.0, startup_timeout=0.0)
    retries.succeeded()
    assert retries.failed(GetChainId(), ConnectionRefusedError(111, "Connection refused")).retry


def test_backoff_grows_with_a_requests_own_tries_not_with_others_in_flight():
    retries = _rpc.Retries(URL, 1.0, 100.0, startup_timeout=0.0)
    retries.succeeded()
    refused = ConnectionRefusedError(111, "Connection refused")
    firsts = [retries.failed(GetChainId(), refused, 1).pause for _ in range(40)]
    assert max(firsts) <= 1.0
    assert max(retries.failed(GetChainId(), refused, 5).pause for _ in range(40)) > 1.0
