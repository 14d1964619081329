"""The judgement of failures, shared by both drivers and free of I/O: what
went wrong with one request, and its fate. A failure is split (a range or a
batch the node refuses for its size), retried after a pause, or stops the
run with one line naming the method and the URL; falling back to single
requests is the connection's own (`batch_refusal`).

`Retries` holds what the requests of one run share (the endpoint's pause,
the start-up allowance, one warning per episode, the `retries` counter);
`Attempt` the tries of one request, whose pause grows with each of them."""

from __future__ import annotations

import asyncio
import dataclasses
import json
import logging
import random
import re
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vorlane_rpc import DecodeError, RpcError

from ._http import DeadlineExceeded, Malformed
from ._messages import (Failed, GetBlockLogs, GetHeaders, GetLogs, NodeError, Refused, Request,
                        method_of)

log = logging.getLogger("vorlane_follow")

RETRY, SPLIT, STOP = "retry", "split", "stop"
MOST_IN_A_ROW = 5  # the same broken answer to the same request this often stops the run


class NullResult(Exception):
    """A call answered with `"result": null` where a value is due."""


class BadAnswer(Exception):
    """An answer that parses but is not what was asked for."""


class HttpStatus(Exception):
    """An HTTP answer other than 200."""

    def __init__(self, status: int, retry_after: str | None, text: str) -> None:
        super().__init__(f"HTTP {status}")
        self.status = status
        self.retry_after = retry_after
        self.text = text


@dataclass(frozen=True, slots=True)
class Verdict:
    fate: str            # RETRY, SPLIT or STOP
    message: str         # one line naming what happened ("" for a fault of ours: raised as it is)
    throttled: bool = False
    startup: bool = False  # counts against the start-up allowance: the node may not be one
    lagging: bool = False  # a backend behind the others: asked again at the poll interval
    broken: bool = False   # not a JSON-RPC answer: limited to MOST_IN_A_ROW in a row
    hold: float = 0.0      # the endpoint's own pause (Retry-After), for every request to it
    pause: float = 0.0     # set by `Attempt.failed`: how long this request waits


# A plan's or a period's allowance used up: retrying cannot help before the
# user acts, and every try may cost them.
_QUOTA = ("capacity limit", "daily request", "monthly", "upgrade your", "upgrade to", "your plan",
          "plan limit", "quota exceeded", "exceeded your quota", "billing", "payment required",
          "out of credits", "insufficient credits")
_THROTTLED = ("rate", "capacity", "compute unit", "too many requests", "throttl", "per second",
              "overload", "busy", "try again", "temporarily", "unavailable", "quota", "credits",
              "request count")
_TIMEOUT = ("timed out", "timeout")
# A backend behind the others does not know a block the head already passed.
_LAGGING = ("invalid block range", "beyond", "unknown block", "not found", "not be found",
            "not available", "after last accepted", "future block", "no historical", "is not yet")
_TOO_BIG = ("range", "more than", "too many", "too large", "too big", "response size",
            "result window", "max results", "limit", "batch", "exceed")
_NO_BATCHES = ("not supported", "unsupported", "not allowed", "disabled", "not permitted")
_BACKOFF = re.compile(r"(?:retry|try again|back ?off)\D{0,20}?(\d+(?:\.\d+)?)\s*(ms|milli|s|sec)?", re.I)

_HTML = re.compile(r"the answer is an HTML page, not JSON: '(.*)'(\.\.\.)?$", re.S)


def quote(text: str, most: int = 100) -> str:
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


def _ranged(request: Request) -> bool:
    return isinstance(request, (GetHeaders, GetLogs)) and request.last > request.first


def judge(exc: BaseException, request: Request, url: str) -> Verdict:
    """The fate of `request` after `exc`, raised while performing it on `url`."""
    method = method_of(request)
    if isinstance(exc, DeadlineExceeded):
        text = f"{url}: {method} got no full answer within {exc.args[0]:g} s"
        if _ranged(request):
            return Verdict(SPLIT, text)
        return Verdict(RETRY, text, startup=True)  # a node too busy yet, or none at all
    if isinstance(exc, HttpStatus):
        return _judge_status(exc, request, method, url)
    if isinstance(exc, RpcError):
        return _judge_error(exc, request, method, url)
    if isinstance(exc, DecodeError):
        html = _HTML.match(str(exc))
        if html:
            page = quote(html[1] + ("…" if html[2] else ""))
            return Verdict(RETRY, f"{url}: {method} was answered with an HTML page: {page}",
                           startup=True, broken=True)
        return Verdict(RETRY, f"{url}: {method}: {exc}", startup=True, broken=True)
    if isinstance(exc, Malformed):
        return Verdict(RETRY, f"{url}: {method} was answered with {exc}", startup=True, broken=True)
    if isinstance(exc, (NullResult, BadAnswer)):
        return Verdict(RETRY, f"{url}: {exc}", broken=True)
    if _cut_short(exc):
        return Verdict(RETRY, f"{url}: {method}'s answer was cut short by the connection closing",
                       startup=True)
    if isinstance(exc, (NodeError, TypeError, AttributeError, AssertionError, ValueError)):
        # Ours: a fault in the follower or its caller, not in the node.
        return Verdict(STOP, "")
    # Everything else went wrong on the way: the connection, TLS, a provider.
    return Verdict(RETRY, f"cannot reach {url}: {_reason(exc)}", startup=True)


def _judge_status(exc: HttpStatus, request: Request, method: str, url: str) -> Verdict:
    status = exc.status
    hold = _seconds(exc.retry_after)
    error = _error_in(exc.text)
    said = error.message if error is not None else exc.text
    if status in (401, 402, 403) or _any(said, _QUOTA):
        text = f": {quote(said)[1:-1]}" if said.strip() else ""
        return Verdict(STOP, f"{url}: {method} was refused: HTTP {status}{text}")
    if error is not None and status != 429:  # a JSON-RPC error sent with an HTTP error status
        return _judge_error(error, request, method, url)
    if status == 429:
        return Verdict(RETRY, f"{url}: {method} was throttled: HTTP 429", throttled=True, hold=hold)
    if status == 413 and _ranged(request):
        return Verdict(SPLIT, f"{url}: {method} was refused as too large: HTTP 413")
    if status in (408, 425, 500, 502, 503, 504) or status >= 520:  # overloaded, or a proxy in the way
        return Verdict(RETRY, f"{url}: {method} failed: HTTP {status}", hold=hold, startup=True)
    # A client error, or a server that does not implement POST, says the same
    # to every try: the start-up wait is for what may still come up.
    return Verdict(STOP, f"{url} is not a JSON-RPC endpoint: HTTP {status} to a POST",
                   startup=not (400 <= status < 500 or status == 501))


def _any(text: str, words: tuple[str, ...]) -> bool:
    text = text.lower()
    return any(w in text for w in words)


def _error_in(text: str) -> RpcError | None:
    """The JSON-RPC error object an HTTP error answer carries, if any."""
    try:
        document = json.loads(text)
    except ValueError:
        return None
    if isinstance(document, list):  # a batch's: its first error
        document = next((item for item in document if isinstance(item, dict) and "error" in item), None)
    error = document.get("error") if isinstance(document, dict) else None
    if not isinstance(error, dict) or not isinstance(error.get("code"), int):
        return None
    return RpcError(error["code"], str(error.get("message", "")))


def _judge_error(error: RpcError, request: Request, method: str, url: str) -> Verdict:
    text = error.message.lower()
    message = f"{url}: {method} failed: {quote(error.message)[1:-1]} ({error.code})"
    ranged = _ranged(request)
    if error.code == -32601:  # no such method here: no retry brings it
        return Verdict(STOP, message)
    if _any(text, _QUOTA):
        return Verdict(STOP, message)
    if _any(text, _THROTTLED) or error.code == 429:
        return Verdict(RETRY, message, throttled=True, hold=_backoff(error))
    if error.code == -32002 or _any(text, _TIMEOUT):
        # The node gave up on the work: less of it at once, if it can be split.
        return Verdict(SPLIT if ranged and isinstance(request, GetLogs) else RETRY, message)
    if _any(text, _LAGGING):
        return Verdict(RETRY, message, lagging=True)
    if _any(text, _TOO_BIG):  # split a range; one block cannot be
        return Verdict(SPLIT if ranged else STOP, message)
    if error.code == -32005:
        return Verdict(RETRY, message, throttled=True, hold=_backoff(error))
    if error.code in (-32603, -32000):
        return Verdict(RETRY, message)
    return Verdict(STOP, message)


def _seconds(retry_after: str | None) -> float:
    try:
        return max(0.0, float(retry_after)) if retry_after else 0.0
    except ValueError:
        return 0.0


def _backoff(error: RpcError) -> float:
    """The pause a rate-limit answer asks for in its message or data, if any."""
    for text in (error.message, getattr(error, "data", None) or ""):
        found = _BACKOFF.search(str(text))
        if found:
            value = float(found[1])
            return value / 1000 if (found[2] or "").lower().startswith(("ms", "milli")) else value
    return 0.0


def batch_refusal(error: RpcError) -> bool:
    """A batch answered by one error saying batches are not taken at all
    (not that this one was too long)."""
    text = error.message.lower()
    return any(w in text for w in _NO_BATCHES) or (error.code == -32600 and "batch" in text
                                                    and not any(w in text for w in _TOO_BIG))


class Retries:
    """What the requests of one run share. Capped exponential backoff over
    each request's own tries (the failures of requests in flight together
    do not compound); a lagging backend asked again every `poll` seconds; a
    node's Retry-After holds every request to the endpoint; one warning per
    episode (from the first failure until every request that failed has
    had a good answer); each retry counted in `counters.retries`; and the
    start-up allowance: until the node's first good answer, failures that
    say it may not be a node at all end the run after `startup_timeout`."""

    def __init__(self, url: str, base: float, cap: float, startup_timeout: float, poll: float = 1.0,
                 counters: Any = None, rng: random.Random | None = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.url = url
        self.base = base
        self.cap = cap
        self.startup_timeout = startup_timeout
        self.poll = poll
        self.counters = counters
        self._rng = rng or random.Random()
        self._clock = clock
        self._lock = threading.Lock()
        self._failing: set[int] = set()  # attempts in the current episode
        self._episode = 0  # retries in it
        self._answered = False
        self._since: float | None = None
        self._hold_until = 0.0

    def attempt(self, request: Request) -> Attempt:
        return Attempt(self, request)

    def hold(self) -> float:
        """Seconds every request to the endpoint still waits before it is sent."""
        with self._lock:
            return max(0.0, self._hold_until - self._clock())

    def _startup(self, verdict: Verdict) -> Verdict:
        """Under the lock: a failure that may mean no node is there, judged
        against the start-up allowance."""
        if self._answered or not verdict.startup:
            return verdict
        now = self._clock()
        if self._since is None:
            self._since = now
        waited = now - self._since
        if waited >= self.startup_timeout:
            text = verdict.message
            if text.startswith("cannot reach"):
                text += f" (retried for {waited:.0f} s)"
            return Verdict(STOP, text)
        # Not JSON-RPC (yet?): it may be a node still starting.
        return dataclasses.replace(verdict, fate=RETRY)

    def _retried(self, attempt: Attempt, verdict: Verdict) -> None:
        if not self._failing:
            if self._since is not None and verdict.startup:
                left = max(0.0, self._since + self.startup_timeout - self._clock())
                log.warning("%s; retrying for up to %s s", verdict.message, f"{round(left, 1):g}")
            else:
                log.warning("%s; retrying with backoff", verdict.message)
            self._episode = 0
        self._failing.add(id(attempt))
        self._episode += 1
        if self.counters is not None:  # written here alone, under the lock
            self.counters.retries += 1

    def _ended(self, attempt: Attempt, answered: bool) -> None:
        if answered:
            self._answered = True
            self._since = None
        if id(attempt) in self._failing:
            self._failing.discard(id(attempt))
            if answered and not self._failing:
                log.info("the node answers again after %d retries", self._episode)


class Attempt:
    """The tries of one request: after each failure, its fate and pause."""

    def __init__(self, retries: Retries, request: Request) -> None:
        self.retries = retries
        self.request = request
        self.tries = 0
        self.throttled = False
        self._last = ""
        self._in_a_row = 0

    def failed(self, exc: BaseException) -> Verdict:
        """The fate of the request after `exc`. A retry's `pause` is three
        quarters to all of `retry_base` × 2^(tries - 1), capped at
        `retry_cap`: it grows with each try (the next one's least is above
        this one's most) and never answers at once; a lagging backend's is
        the poll interval, and a Retry-After is obeyed up to the cap."""
        shared = self.retries
        verdict = judge(exc, self.request, shared.url)
        with shared._lock:
            verdict = shared._startup(verdict)
            if verdict.fate == RETRY and verdict.broken:
                self._in_a_row = self._in_a_row + 1 if verdict.message == self._last else 1
                if self._in_a_row >= MOST_IN_A_ROW:
                    verdict = dataclasses.replace(
                        verdict, fate=STOP, message=f"{verdict.message} ({self._in_a_row} times in a row)")
            self._last = verdict.message
            if verdict.fate != RETRY:
                shared._ended(self, False)
                return verdict
            self.tries += 1
            self.throttled = self.throttled or verdict.throttled
            now = shared._clock()
            if verdict.lagging:
                pause = shared.poll
            else:
                top = min(shared.cap, shared.base * 2 ** min(self.tries - 1, 60))
                pause = top * shared._rng.uniform(0.75, 1.0)
            if verdict.hold:
                hold = min(shared.cap, verdict.hold)
                shared._hold_until = max(shared._hold_until, now + hold)
                pause = max(pause, hold)
            if shared._since is not None:  # the last try falls on the start-up allowance's end
                pause = min(pause, max(0.0, shared._since + shared.startup_timeout - now))
            shared._retried(self, verdict)
        return dataclasses.replace(verdict, pause=pause)

    def succeeded(self) -> None:
        with self.retries._lock:
            self.retries._ended(self, True)

    def abandoned(self) -> None:
        with self.retries._lock:
            self.retries._ended(self, False)


def outcome(verdict: Verdict, exc: BaseException) -> Refused | Failed:
    """What the engine is told of a request that ends with `verdict`."""
    return Refused(verdict.message) if verdict.fate == SPLIT else Failed(fatal(verdict, exc))


def fatal(verdict: Verdict, exc: BaseException) -> BaseException:
    """The error to raise for `exc`: the node's fault as a `NodeError`, or
    `exc` itself when the fault is ours."""
    if not verdict.message:
        return exc
    error = NodeError(verdict.message)
    error.__cause__ = exc
    return error
