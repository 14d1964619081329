"""What a node can select for a filter, and whether a block's logsBloom
admits a log it would select."""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence

from vorlane import EventFilter

# A quoted text of the filter's repr, or the start of its second list
# (matched only outside quotes: a quoted text is consumed whole first).
_TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|(topic0_values=)')
_ADDRESS = re.compile(r"0x[0-9a-fA-F]{40}")
_TOPIC = re.compile(r"0x[0-9a-fA-F]{64}")


def _lists(event_filter: EventFilter) -> tuple[list[str], list[str]]:
    """The filter's addresses and topic0 values as its repr quotes them (the
    filter shows its lists nowhere else)."""
    lists: tuple[list[str], list[str]] = ([], [])
    which = 0
    for m in _TOKEN.finditer(repr(event_filter)):
        if m.group(2):
            which = 1
        else:
            lists[which].append(m.group(1))
    return lists


def node_selection(event_filter: EventFilter) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The filter's addresses and topic0 values that a node can select by,
    lower-cased. Entries that are not well-formed hex can never equal what a
    node returns, so leaving them out only widens the node's answer; the
    filter still has the last word."""
    lists = _lists(event_filter)

    def pick(found: list[str], shape: re.Pattern[str]) -> tuple[str, ...]:
        return tuple(dict.fromkeys(v.lower() for v in found if shape.fullmatch(v)))

    return pick(lists[0], _ADDRESS), pick(lists[1], _TOPIC)


def bloom_masks(items: Iterable[str]) -> tuple[int, ...]:
    """Each item's three logsBloom bits, as a mask over the bloom read as a
    big-endian integer."""
    from eth_hash.auto import keccak

    masks = []
    for item in items:
        digest = keccak(bytes.fromhex(item[2:]))
        mask = 0
        for i in (0, 2, 4):
            mask |= 1 << (((digest[i] << 8) | digest[i + 1]) & 2047)
        masks.append(mask)
    return tuple(masks)


class BloomTest:
    """Whether a block's logsBloom admits a log the node would select: one of
    the addresses and one of the topic0 values (each list only when set);
    with neither, any bit at all."""

    def __init__(self, addresses: Sequence[str], topic0s: Sequence[str]) -> None:
        self._groups = tuple(bloom_masks(g) for g in (addresses, topic0s) if g)
        # One address and one topic0 at most (the usual filter): one mask.
        self._mask = 0
        if all(len(group) == 1 for group in self._groups):
            for (mask,) in self._groups:
                self._mask |= mask

    def admits(self, bloom: bytes) -> bool:
        bits = int.from_bytes(bloom, "big")
        if self._mask:
            return bits & self._mask == self._mask
        if not self._groups:
            return bits != 0
        return all(any(bits & m == m for m in group) for group in self._groups)


def with_topic0s(event_filter: EventFilter, topic0s: Iterable[str]) -> EventFilter:
    """`event_filter` itself when it names a topic0; else a new filter with
    its addresses and `topic0s` (the user's filter is left as it is)."""
    addresses, named = _lists(event_filter)
    if named:
        return event_filter
    own = EventFilter()
    for address in addresses:
        own.add_address(address)
    for topic0 in topic0s:
        own.add_topic0(topic0)
    return own
