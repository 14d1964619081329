"""Writes the seed corpus of the event decoder's fuzz target: one valid log
for each of its event layouts, and a few types for its type parser.

Each file is one input: a first byte naming the layout (the target's table),
then each indexed argument's 32-byte topic, then the data, as bytes.

    python3 tools/abi_fuzz_corpus.py CORPUS_DIR
"""
import re
import sys
from pathlib import Path

# A type is a str ("uint8[2][]") or, for tuples, a (components, suffix) pair.


def split(t):
    """(element type, "" / "k") of an array type, else None."""
    if isinstance(t, tuple):
        components, suffix = t
        m = re.fullmatch(r"(.*)\[(\d*)\]", suffix)
        return ((components, m.group(1)), m.group(2)) if m else None
    m = re.fullmatch(r"(.*)\[(\d*)\]", t)
    return (m.group(1), m.group(2)) if m else None


def is_dynamic(t):
    array = split(t)
    if array:
        return array[1] == "" or is_dynamic(array[0])
    if isinstance(t, tuple):
        return any(is_dynamic(c) for c in t[0])
    return t in ("bytes", "string")


def encode_all(types, values):
    bodies = [encode(t, v) for t, v in zip(types, values)]
    size = sum(32 if is_dynamic(t) else len(b) for t, b in zip(types, bodies))
    heads, tails = [], b""
    for t, body in zip(types, bodies):
        if is_dynamic(t):
            heads.append((size + len(tails)).to_bytes(32, "big"))
            tails += body
        else:
            heads.append(body)
    return b"".join(heads) + tails


def encode(t, v):
    array = split(t)
    if array:
        items = encode_all([array[0]] * len(v), v)
        return items if array[1] else len(v).to_bytes(32, "big") + items
    if isinstance(t, tuple):
        return encode_all(t[0], v)
    if t in ("bytes", "string"):
        raw = v.encode() if t == "string" else v
        return len(raw).to_bytes(32, "big") + raw.ljust((len(raw) + 31) // 32 * 32, b"\0")
    if t.startswith("bytes"):
        return v.ljust(32, b"\0")
    return int(v).to_bytes(32, "big", signed=t.startswith("int"))


def word(v):
    return int(v).to_bytes(32, "big")


# (topics, data types, data values) for each layout of the fuzz target.
LOGS = [
    ([word(0x11), word(0x22)], ["uint256"], [10**18]),
    ([word(0x11), word(0x22)], ["int256", "int256", "uint160", "uint128", "int24"],
     [-5, 2**200, 2**159, 7, -887272]),
    ([], ["string", "bytes", "uint8[2][]", "bool[]"], ["héllo", b"\x01\x02", [[1, 2], [3, 4]], [True]]),
    ([b"\xee" * 32], [(["uint16", "string[]", (["bytes3", "int8"], "[]")], "[]")],
     [[(7, ["a", "bc"], [(b"xyz", -1)])]]),
    ([], ["uint256[][][][]"], [[[[[1, 2]], [[3]]]]]),
    ([b"\xab" * 32], [(["address", "bool[3]"], "[2]"), "int40"],
     [[(0x33, [True, False, True]), (0x44, [False, False, True])], -3]),
]
TYPES = ["uint8[2][]", "bytes32[3][][4]", "uint", "fixed128x18", "int264"]


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for index, (topics, types, values) in enumerate(LOGS):
        (out / f"log{index}").write_bytes(bytes([index]) + b"".join(topics) + encode_all(types, values))
    for index, t in enumerate(TYPES):
        (out / f"type{index}").write_bytes(b"\xff" + t.encode())


if __name__ == "__main__":
    main()
