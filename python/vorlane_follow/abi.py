"""Contract ABIs read into the events the follower decodes.

`read_events(abi, names=None)` takes the ABI in any form users hold it: the
JSON `solc --abi` writes (a list of fragments), a Foundry or Hardhat artifact
(an object with an "abi" member), either already parsed, a list of event
fragments, or human-readable signatures such as
``"event Transfer(address indexed from, address indexed to, uint256 value)"``
(one string, one per line, or a list of them). Every event comes back
normalised: canonical types (``uint`` is ``uint256``, tuples in the
fragment's "components"), every argument named (an unnamed one is
``arg<position>``) and its topic0 computed once.

Anonymous events have no topic0 to be matched by, so they are not decoded:
they are left out of a whole ABI and refused when asked for by name. An
event that cannot be decoded (a malformed or unsupported type, two arguments
of one name) is refused when it is read; with `names`, only the named events
are checked.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

from Crypto.Hash import keccak
from vorlane_rpc import EventDecoder

__all__ = ["Event", "decoder", "read_events"]

AbiSource = Union[str, bytes, Mapping[str, Any], Sequence[Any]]


@dataclass(frozen=True)
class Event:
    """One event as the decoder takes it: `fragment` is the normalised ABI
    fragment, `signature` the canonical one and `topic0` its Keccak-256."""

    name: str
    signature: str
    topic0: bytes
    fragment: dict[str, Any] = field(hash=False, repr=False)

    @property
    def topic0_hex(self) -> str:
        return "0x" + self.topic0.hex()

    def __repr__(self) -> str:
        return f"Event({_human(self.fragment)!r})"


def read_events(abi: AbiSource, names: str | Iterable[str] | None = None) -> list[Event]:
    """The events of `abi`, in ABI order; with `names`, only those named, each
    by name (every overload) or by signature (``"Transfer(address,address,uint256)"``)."""
    entries: list[_Entry] = []
    for fragment in _fragments(abi):
        entry = _entry(fragment)
        if entry is not None:
            entries.append(entry)
    if names is None:
        events = [_built(entry) for entry in entries if not entry.anonymous]
    else:
        wanted = [names] if isinstance(names, str) else list(names)
        chosen: list[_Entry] = []
        for name in wanted:
            matched = [entry for entry in entries if _matches(entry, name)]
            if not matched:
                there = sorted({entry.display for entry in entries if not entry.anonymous})
                raise ValueError(f"no event {name!r} in the ABI; it has: {', '.join(there) or 'no events'}")
            chosen.extend(entry for entry in matched if entry not in chosen)
        for entry in chosen:
            if entry.anonymous:
                raise ValueError(f"event {entry.name} is anonymous; anonymous events are not supported")
        events = [_built(entry) for entry in entries if entry in chosen]
    return _deduplicated(events)


def decoder(events: Iterable[Event], checksum_addresses: bool = False) -> EventDecoder:
    """A `vorlane_rpc.EventDecoder` for `events`."""
    return EventDecoder([(event.fragment, event.topic0) for event in events],
                        checksum_addresses=checksum_addresses)


# ---- reading the source ---------------------------------------------------------


def _fragments(abi: AbiSource) -> list[Any]:
    if isinstance(abi, bytes):
        abi = abi.decode("utf-8")
    if isinstance(abi, str):
        text = abi.strip()
        if not text.startswith(("[", "{")):
            return [line for line in text.splitlines() if line.strip()]
        try:
            abi = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"the ABI is not valid JSON: {error}") from None
    if isinstance(abi, Mapping):
        if "abi" in abi:
            return _fragments(abi["abi"])
        return [abi]
    if isinstance(abi, Sequence):
        return list(abi)
    raise TypeError(f"an ABI is JSON text, a list of fragments or signatures, or an artifact, not {type(abi).__name__}")


@dataclass(frozen=True, eq=False)
class _Entry:
    """An event read from the source: its name always, its Event or the
    reason it cannot be decoded."""

    name: str
    anonymous: bool
    event: Event | None
    error: ValueError | None

    @property
    def display(self) -> str:
        return self.event.signature if self.event is not None else self.name


def _entry(fragment: Any) -> _Entry | None:
    if isinstance(fragment, str):
        text = fragment.strip().rstrip(";").strip()
        keyword = re.match(r"[A-Za-z_$][\w$]*", text)
        if keyword and keyword.group() in ("function", "constructor", "error", "fallback", "receive", "struct"):
            return None
        name, inputs, anonymous = _parse_signature(text)
    elif isinstance(fragment, Mapping):
        if fragment.get("type", "function") != "event":
            return None
        given = fragment.get("name")
        if not isinstance(given, str) or not _IDENTIFIER.fullmatch(given):
            raise ValueError(f"an event fragment has no valid name: {_quote(fragment)}")
        name = given
        inputs = fragment.get("inputs", [])
        anonymous = fragment.get("anonymous", False) is True
        if not isinstance(inputs, list):
            raise ValueError(f"event {name} has no list of inputs: {_quote(fragment)}")
    else:
        raise ValueError(f"an ABI entry is neither a fragment nor a signature: {_quote(fragment)}")
    try:
        return _Entry(name, anonymous, _event(name, inputs), None)
    except ValueError as error:
        return _Entry(name, anonymous, None, error)


def _built(entry: _Entry) -> Event:
    if entry.error is not None:
        raise entry.error
    assert entry.event is not None
    return entry.event


def _matches(entry: _Entry, name: str) -> bool:
    if "(" not in name:
        return entry.name == name
    if entry.event is None:
        return False
    wanted, inputs, _ = _parse_signature(name)
    return entry.event.signature == _event(wanted, inputs).signature


def _deduplicated(events: list[Event]) -> list[Event]:
    # One event is often given twice (two contracts' ABIs share it). The same
    # signature with as many topics but other indexed arguments cannot be
    # told apart by a log.
    kept: dict[tuple[bytes, int], Event] = {}
    result = []
    for event in events:
        topics = 1 + sum(1 for i in event.fragment["inputs"] if i["indexed"])
        other = kept.get((event.topic0, topics))
        if other is None:
            kept[(event.topic0, topics)] = event
            result.append(event)
        elif other.fragment != event.fragment:
            raise ValueError(f"event {event.signature} is given twice with {topics - 1} indexed "
                             f"arguments, differently: {_human(other.fragment)!r} and {_human(event.fragment)!r}")
    return result


# ---- normalising ---------------------------------------------------------------

_IDENTIFIER = re.compile(r"[A-Za-z_$][\w$]*", re.ASCII)
_ARRAYS = re.compile(r"(\[([1-9][0-9]*)?\])*")
_UNSUPPORTED = re.compile(r"u?fixed([0-9]+x[0-9]+)?|function")


def _event(name: str, inputs: list[Any]) -> Event:
    normalised = []
    seen: set[str] = set()
    for position, raw in enumerate(inputs):
        if not isinstance(raw, Mapping):
            raise ValueError(f"event {name} has an input that is not an object: {_quote(raw)}")
        argument = _parameter(name, raw, top=True)
        if not argument["name"]:
            argument["name"] = f"arg{position}"
        if argument["name"] in seen:
            raise ValueError(f"event {name} has two arguments named {argument['name']!r}")
        seen.add(argument["name"])
        normalised.append(argument)
    fragment = {"type": "event", "name": name, "anonymous": False, "inputs": normalised}
    signature = name + "(" + ",".join(_canonical(i) for i in normalised) + ")"
    topic0 = keccak.new(digest_bits=256, data=signature.encode()).digest()
    return Event(name, signature, topic0, fragment)


def _parameter(event: str, raw: Mapping[str, Any], top: bool) -> dict[str, Any]:
    """`raw` checked and made canonical: name, type, indexed (at the top), components."""
    kind, name = raw.get("type"), raw.get("name") or ""
    if not isinstance(kind, str) or not isinstance(name, str) or (name and not _IDENTIFIER.fullmatch(name)):
        raise ValueError(f"event {event} has a malformed input: {_quote(raw)}")
    kind = kind.strip()
    bracket = kind.find("[")
    base, arrays = (kind, "") if bracket < 0 else (kind[:bracket], kind[bracket:])
    if not _ARRAYS.fullmatch(arrays):
        raise ValueError(f"event {event} has a malformed type {kind!r}")
    result: dict[str, Any] = {"name": name}
    components = raw.get("components")
    if base == "tuple":
        if not isinstance(components, list) or not components:
            raise ValueError(f"event {event} has a tuple without components: {_quote(raw)}")
        parts = [_parameter(event, c, top=False) if isinstance(c, Mapping) else None for c in components]
        if any(p is None for p in parts):
            raise ValueError(f"event {event} has a malformed input: {_quote(raw)}")
        names = [p["name"] for p in parts if p and p["name"]]
        for twice in sorted({n for n in names if names.count(n) > 1}):
            raise ValueError(f"event {event} has two tuple components named {twice!r}")
        result["type"] = "tuple" + arrays
        result["components"] = parts
    else:
        if components is not None:
            raise ValueError(f"event {event} gives components to the type {kind!r}")
        result["type"] = _elementary(event, base) + arrays
    if top:
        indexed = raw.get("indexed", False)
        if not isinstance(indexed, bool):
            raise ValueError(f"event {event} has a malformed input: {_quote(raw)}")
        result["indexed"] = indexed
    return result


def _elementary(event: str, base: str) -> str:
    if base in ("uint", "int"):
        return base + "256"
    if base in ("address", "bool", "string", "bytes"):
        return base
    match = re.fullmatch(r"(u?int)([1-9][0-9]*)|bytes([1-9][0-9]?)", base)
    if match:
        bits, size = match.group(2), match.group(3)
        if (bits and int(bits) % 8 == 0 and int(bits) <= 256) or (size and int(size) <= 32):
            return base
    if _UNSUPPORTED.fullmatch(base):
        raise ValueError(f"event {event} has the type {base!r}, which cannot be decoded")
    raise ValueError(f"event {event} has a malformed type {base!r}")


def _canonical(parameter: Mapping[str, Any]) -> str:
    """The type as a signature spells it: tuples as ``(t1,t2)``."""
    kind = str(parameter["type"])
    if "components" not in parameter:
        return kind
    inner = ",".join(_canonical(c) for c in parameter["components"])
    return f"({inner}){kind[len('tuple'):]}"


def _human(fragment: Mapping[str, Any]) -> str:
    def kind(parameter: Mapping[str, Any]) -> str:
        if "components" not in parameter:
            return str(parameter["type"])
        inner = ", ".join(" ".join(filter(None, (kind(c), c["name"]))) for c in parameter["components"])
        return f"({inner}){parameter['type'][len('tuple'):]}"

    arguments = ", ".join(
        " ".join(filter(None, (kind(i), "indexed" if i["indexed"] else "", i["name"])))
        for i in fragment["inputs"])
    return f"event {fragment['name']}({arguments})"


def _quote(value: Any, limit: int = 120) -> str:
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


# ---- human-readable signatures ----------------------------------------------------

_TOKEN = re.compile(r"\s*(?:([A-Za-z_$][\w$]*)|([0-9]+)|(\S))", re.ASCII)


class _Malformed(Exception):
    pass


def _parse_signature(text: str) -> tuple[str, list[dict[str, Any]], bool]:
    """(name, inputs as JSON fragments, anonymous) of ``[event] Name(type [indexed] [name], ...) [anonymous]``."""
    tokens = [m.group(m.lastindex or 0) for m in _TOKEN.finditer(text.strip())]
    position = 0

    def peek() -> str | None:
        return tokens[position] if position < len(tokens) else None

    def take(expected: str | None = None) -> str:
        nonlocal position
        token = peek()
        if token is None or (expected is not None and token != expected):
            raise _Malformed(f"expected {expected!r}" if expected else "it ends too soon")
        position += 1
        return token

    def identifier(token: str | None) -> bool:
        return token is not None and _IDENTIFIER.fullmatch(token) is not None

    def parameters(top: bool) -> list[dict[str, Any]]:
        take("(")
        result: list[dict[str, Any]] = []
        if peek() == ")":
            take()
            return result
        while True:
            parameter = kind()
            if top:
                parameter["indexed"] = peek() == "indexed"
                if parameter["indexed"]:
                    take()
            parameter["name"] = take() if identifier(peek()) else ""
            result.append(parameter)
            separator = take()
            if separator == ")":
                return result
            if separator != ",":
                raise _Malformed(f"unexpected {separator!r}")

    def kind() -> dict[str, Any]:
        token = peek()
        if token == "tuple" or token == "(":
            if token == "tuple":
                take()
            parameter: dict[str, Any] = {"type": "tuple", "components": parameters(top=False)}
            if not parameter["components"]:
                raise _Malformed("a tuple without components")
        elif identifier(token):
            parameter = {"type": take()}
        else:
            raise _Malformed(f"expected a type, not {token!r}" if token else "it ends too soon")
        while peek() == "[":
            take()
            size = take() if (peek() or "").isdigit() else ""
            take("]")
            parameter["type"] += f"[{size}]"
        return parameter

    try:
        if peek() == "event":
            take()
        name = take()
        if not identifier(name):
            raise _Malformed("expected the event's name")
        inputs = parameters(top=True)
        anonymous = peek() == "anonymous"
        if anonymous:
            take()
        if peek() is not None:
            raise _Malformed(f"unexpected {peek()!r}")
    except _Malformed as error:
        raise ValueError(f"malformed event signature {text!r} ({error})") from None
    return name, inputs, anonymous
