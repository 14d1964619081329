"""How the follower sorts what a node answers: retried, refused for its
size, or fatal, and the one line each fatal error reads as."""

import pytest

from follow_support import ROOT  # noqa: F401  (puts the source tree first)

pytest.importorskip("web3")

from vorlane_rpc import RpcError, decode, QUANTITY  # noqa: E402
from vorlane_follow import _judge  # noqa: E402
from vorlane_follow._http import DeadlineExceeded  # noqa: E402
from vorlane_follow._http import Malformed  # noqa: E402
from vorlane_follow.engine import GetBlockLogs, GetChainId, GetHeaders, GetLogs  # noqa: E402

URL = "http://127.0.0.1:8545"
RETRY, SPLIT, STOP = _judge.RETRY, _judge.SPLIT, _judge.STOP
RANGE, ONE = GetLogs(10, 19, (), ()), GetLogs(10, 10, (), ())
HEADERS = GetHeaders(10, 19, chain_id=True)
QUOTA = ("Monthly capacity limit exceeded. Visit https://dashboard.example.com to upgrade your scaling "
         "policy for more throughput.")
BY_HASH = GetBlockLogs("0x" + "ab" * 32, 10, (), ())


def _decode_error(body):
    try:
        decode(body, bytes([QUANTITY]))
    except ValueError as exc:
        return exc
    raise AssertionError("decoded")


# (exception, request) -> (fate, throttled, message)
CASES = {
    "rate limit by code": (RpcError(-32005, "request rate exceeded"), RANGE, (RETRY, True, None)),
    "rate limit by words": (RpcError(-32000, "compute units per second capacity exceeded"), RANGE,
                            (RETRY, True, None)),
    "range too large": (RpcError(-32005, "block range too large, at most 3 blocks per request"), RANGE,
                        (SPLIT, False, None)),
    "response size exceeded": (RpcError(-32008, "response size exceeded, at most 100 bytes"), RANGE,
                               (SPLIT, False, None)),
    "lagging backend, not split": (RpcError(-32602, "invalid block range params"), RANGE,
                                   (RETRY, False, None)),
    "unknown block by hash": (RpcError(-32000, "unknown block"), BY_HASH, (RETRY, False, None)),
    "too large, one block: nothing to split": (RpcError(-32005, "query returned more than 10 results"),
                                               ONE, (STOP, False,
        f"{URL}: eth_getLogs failed: query returned more than 10 results (-32005)")),
    "invalid params": (RpcError(-32602, "invalid argument 0"), RANGE, (STOP, False,
                       f"{URL}: eth_getLogs failed: invalid argument 0 (-32602)")),
    "no such method": (RpcError(-32601, "the method eth_getLogs does not exist/is not available"), RANGE,
                       (STOP, False, None)),
    "error object on HTTP 400": (_judge.HttpStatus(400, None, '{"jsonrpc":"2.0","id":0,"error":'
                                                 '{"code":-32005,"message":"block range too large"}}'),
                                 RANGE, (SPLIT, False, None)),
    "deadline, ranged": (DeadlineExceeded(10.0), RANGE, (SPLIT, False, None)),
    "deadline, one call": (DeadlineExceeded(10.0), GetChainId(), (RETRY, False, None)),
    "HTTP 429": (_judge.HttpStatus(429, "3", ""), RANGE, (RETRY, True, None)),
    "HTTP 413": (_judge.HttpStatus(413, None, ""), RANGE, (SPLIT, False, None)),
    "HTTP 502": (_judge.HttpStatus(502, None, ""), RANGE, (RETRY, False, None)),
    "HTTP 501": (_judge.HttpStatus(501, None, ""), GetChainId(), (STOP, False,
                 f"{URL} is not a JSON-RPC endpoint: HTTP 501 to a POST")),
    "HTML page": (_decode_error(b"<html><body><h1>502 Bad Gateway</h1></body></html>"), RANGE,
                  (RETRY, False,
                   f'{URL}: eth_getLogs was answered with an HTML page: "<html><body><h1>502 Bad Gateway</h1></body></html>"')),
    "cut-short JSON": (_decode_error(b'{"jsonrpc":"2.0","id":0,"res'), RANGE, (RETRY, False, None)),
    "null result": (_judge.NullResult("eth_chainId was answered with null"), GetChainId(),
                    (RETRY, False, None)),
    "request timed out, ranged: split": (RpcError(-32002, "request timed out"), RANGE, (SPLIT, False, None)),
    "execution timeout, one block: retried": (RpcError(-32000, "execution timeout"), ONE, (RETRY, False, None)),
    "batch too large: split": (RpcError(-32600, "batch too large"), HEADERS, (SPLIT, False, None)),
    "lagging backend by number": (RpcError(-32001, "28392580 could not be found"), RANGE, (RETRY, False, None)),
    "quota on HTTP 403": (_judge.HttpStatus(403, None, '{"jsonrpc":"2.0","id":0,"error":{"code":-32600,'
                                                       f'"message":"{QUOTA}"}}}}'), RANGE,
                          (STOP, False, f'{URL}: eth_getLogs was refused: HTTP 403: {QUOTA[:100]}…')),
    "daily limit on HTTP 429": (_judge.HttpStatus(429, None, "daily request limit reached"), ONE,
                                (STOP, False, f"{URL}: eth_getLogs was refused: HTTP 429: daily request limit reached")),
    "HTTP 401, nothing said": (_judge.HttpStatus(401, None, " "), GetChainId(),
                               (STOP, False, f"{URL}: eth_chainId was refused: HTTP 401")),
    "HTTP 402": (_judge.HttpStatus(402, None, "Payment Required"), GetChainId(),
                 (STOP, False, f"{URL}: eth_chainId was refused: HTTP 402: Payment Required")),
    "malformed chunk size": (Malformed("a malformed HTTP chunk size: b'zz'"), HEADERS, (RETRY, False,
                             f"{URL}: eth_getBlockByNumber was answered with a malformed HTTP chunk size: b'zz'")),
    "connection refused": (ConnectionRefusedError(111, "Connection refused"), GetChainId(),
                           (RETRY, False, f"cannot reach {URL}: connection refused")),
}


@pytest.mark.parametrize("name", CASES)
def test_judge(name):
    exc, request, (fate, throttled, message) = CASES[name]
    verdict = _judge.judge(exc, request, URL)
    assert (verdict.fate, verdict.throttled) == (fate, throttled)
    if message is not None:
        assert verdict.message == message


@pytest.mark.parametrize("error, refused_as_such", [
    (RpcError(-32600, "batch requests are not supported"), True),
    (RpcError(-32600, "batch too large, at most 5 calls"), False),
    (RpcError(-32601, "the method batch is not allowed"), True),
])
def test_a_batch_refused_as_such_is_told_from_one_too_long(error, refused_as_such):
    assert _judge.batch_refusal(error) is refused_as_such


def test_until_the_first_good_answer_an_unreachable_node_is_given_up_on():
    refused = ConnectionRefusedError(111, "Connection refused")
    attempt = _judge.Retries(URL, 0.0, 0.0, startup_timeout=0.0).attempt(GetChainId())
    verdict = attempt.failed(refused)
    assert verdict.fate == STOP and verdict.message == f"cannot reach {URL}: connection refused (retried for 0 s)"
    retries = _judge.Retries(URL, 0.0, 0.0, startup_timeout=0.0)
    retries.attempt(GetChainId()).succeeded()
    assert retries.attempt(GetChainId()).failed(refused).fate == RETRY


@pytest.mark.parametrize("exc, warning", [
    # What no wait can change ends the start at once.
    (_judge.HttpStatus(404, None, "Not Found"), None),
    (_judge.HttpStatus(501, None, ""), None),
    # A node, or the proxy in front of it, that may still be starting.
    (_judge.HttpStatus(425, None, ""), "{}; retrying for up to 12.5 s"),
    (_judge.HttpStatus(504, None, ""), "{}; retrying for up to 12.5 s"),
    (_judge.HttpStatus(505, None, ""), "{}; retrying for up to 12.5 s"),
    (_decode_error(b"<html><body>starting</body></html>"), "{}; retrying for up to 12.5 s"),
    (ConnectionRefusedError(111, "Connection refused"), "{}; retrying for up to 12.5 s"),
    (DeadlineExceeded(10.0), "{}; retrying for up to 12.5 s"),
    # Throttled: retried for as long as it lasts.
    (_judge.HttpStatus(429, None, ""), "{}; retrying with backoff"),
])
def test_the_first_failure_at_start_up(exc, warning, caplog):
    verdict = _judge.Retries(URL, 0.5, 10.0, startup_timeout=12.5).attempt(GetChainId()).failed(exc)
    assert verdict.fate == (STOP if warning is None else RETRY)
    said = [r.getMessage() for r in caplog.records if r.name == "vorlane_follow"]
    assert said == ([] if warning is None else [warning.format(verdict.message)])


@pytest.mark.parametrize("exc, pauses, fate", [
    # Grows with each try of the request, up to the cap; each retry counted.
    (ConnectionRefusedError(111, "Connection refused"), [(0.75, 1), (1.5, 2), (3, 4), (3, 4), (3, 4), (3, 4)], RETRY),
    # The poll interval, however often.
    (RpcError(-32001, "28392580 could not be found"), [(0.25, 0.25)] * 6, RETRY),
    # The same broken answer a fifth time stops the run.
    (_judge.NullResult("eth_getLogs was answered with null"), [(0.75, 1), (1.5, 2), (3, 4), (3, 4)], STOP),
])
def test_pauses_of_one_request(exc, pauses, fate):
    class Counters:
        retries = 0

    counters = Counters()
    retries = _judge.Retries(URL, 1.0, 4.0, startup_timeout=0.0, poll=0.25, counters=counters)
    retries.attempt(ONE).succeeded()
    attempt, other = retries.attempt(ONE), retries.attempt(ONE)
    other.failed(exc)  # another request's failures do not add to this one's pause
    for low, high in pauses:
        assert low <= attempt.failed(exc).pause <= high
    assert attempt.failed(exc).fate == fate
    assert counters.retries == 1 + len(pauses) + (fate == RETRY)


def test_retry_after_holds_every_request_to_the_endpoint():
    now = [100.0]
    retries = _judge.Retries(URL, 0.01, 30.0, startup_timeout=0.0, clock=lambda: now[0])
    retries.attempt(ONE).succeeded()
    assert retries.attempt(ONE).failed(_judge.HttpStatus(429, "3", "")).pause == 3
    now[0] += 1
    assert retries.hold() == 2
