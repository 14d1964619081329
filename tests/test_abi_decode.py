"""The native event decoder against eth-abi: generated events and values
decode to what eth-abi's strict decoder reads from the same topics and data,
and corrupted logs come back undecoded whenever eth-abi refuses them, never
as other values."""

import pytest

from follow_support import ROOT  # noqa: F401  (puts the source tree first)

pytest.importorskip("web3")
eth_abi = pytest.importorskip("eth_abi")
eth_utils = pytest.importorskip("eth_utils")
vorlane_rpc = pytest.importorskip("vorlane_rpc")
if not hasattr(vorlane_rpc, "EventDecoder"):
    pytest.skip("vorlane_rpc has no EventDecoder", allow_module_level=True)

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from vorlane_follow.abi import decoder, read_events  # noqa: E402

BLOCK_HASH, TX_HASH = "0x" + "b1" * 32, "0x" + "7a" * 32
EMITTER = "0x" + "e1" * 20
LOG_FIELDS = {"address", "block_number", "block_hash", "transaction_hash", "transaction_index", "log_index"}


def log(topics, data, index=0):
    return vorlane_rpc.Log(7, BLOCK_HASH, TX_HASH, index, EMITTER,
                           tuple("0x" + bytes(t).hex() for t in topics), "0x" + bytes(data).hex())


# ---- generated types and values -------------------------------------------------
# A type is (fragment parameter without name, canonical type, value strategy).


def _elementary():
    sizes = st.integers(1, 32)
    return st.one_of(
        sizes.map(lambda n: ({"type": f"uint{8 * n}"}, f"uint{8 * n}", st.integers(0, 2 ** (8 * n) - 1))),
        sizes.map(lambda n: ({"type": f"int{8 * n}"}, f"int{8 * n}",
                             st.integers(-(2 ** (8 * n - 1)), 2 ** (8 * n - 1) - 1))),
        sizes.map(lambda n: ({"type": f"bytes{n}"}, f"bytes{n}", st.binary(min_size=n, max_size=n))),
        st.just(({"type": "address"}, "address", st.binary(min_size=20, max_size=20))),
        st.just(({"type": "bool"}, "bool", st.booleans())),
        st.just(({"type": "bytes"}, "bytes", st.binary(max_size=70))),
        st.just(({"type": "string"}, "string", st.text(max_size=12))),
    )


@st.composite
def _array(draw, inner):
    fragment, canonical, values = draw(inner)
    size = draw(st.sampled_from(["", "1", "2", "3"]))
    return ({**fragment, "type": f"{fragment['type']}[{size}]"}, f"{canonical}[{size}]",
            st.lists(values, min_size=int(size or 0), max_size=int(size or 3)).map(tuple))


@st.composite
def _tuple(draw, inner):
    parts = draw(st.lists(inner, min_size=1, max_size=3))
    named = draw(st.booleans())
    components = [{"name": f"c{i}" if named else "", **fragment} for i, (fragment, _, _) in enumerate(parts)]
    return ({"type": "tuple", "components": components}, "(" + ",".join(c for _, c, _ in parts) + ")",
            st.tuples(*(values for _, _, values in parts)))


TYPES = st.recursive(_elementary(), lambda inner: st.one_of(_array(inner), _tuple(inner)), max_leaves=5)
NAMES = ["", "", "value", "from", "to", "amount", "address", "log_index", "x"]


@st.composite
def events(draw):
    """(Event, canonical types, value lists strategy): up to 5 arguments, up to 3 indexed."""
    kinds = draw(st.lists(TYPES, max_size=5))
    names = draw(st.lists(st.sampled_from(NAMES), min_size=len(kinds), max_size=len(kinds)))
    names = [n if n not in names[:i] else "" for i, n in enumerate(names)]
    indexed = draw(st.lists(st.booleans(), min_size=len(kinds), max_size=len(kinds)))
    while sum(indexed) > 3:
        indexed[indexed.index(True)] = False
    inputs = [{"name": n, "indexed": i, **fragment} for n, i, (fragment, _, _) in zip(names, indexed, kinds)]
    (event,) = read_events([{"type": "event", "name": "Generated", "anonymous": False, "inputs": inputs}])
    return event, [c for _, c, _ in kinds], st.tuples(*(values for _, _, values in kinds))


def encode(event, types, values):
    """(topics, data) as a compiler writes them; an indexed argument of a
    dynamic or composite type is a hash of its encoding."""
    topics, data_types, data_values = [event.topic0], [], []
    for argument, kind, value in zip(event.fragment["inputs"], types, values):
        if not argument["indexed"]:
            data_types.append(kind)
            data_values.append(value)
        elif _by_value(kind):
            topics.append(eth_abi.encode([kind], [value]))
        else:
            topics.append(eth_utils.keccak(eth_abi.encode([kind], [value])))
    return topics, eth_abi.encode(data_types, data_values)


def _static_size(kind):
    """Bytes of a static type's encoding; None for a dynamic type."""
    if kind in ("bytes", "string") or kind.endswith("[]"):
        return None
    if kind.endswith("]"):
        inner = _static_size(kind[:kind.rindex("[")])
        return None if inner is None else inner * int(kind[kind.rindex("[") + 1:-1])
    if kind.startswith("("):
        sizes = [_static_size(k) for k in _components(kind)]
        return None if None in sizes else sum(sizes)
    return 32


def _by_value(kind):
    return not (kind in ("bytes", "string") or kind.endswith("]") or kind.startswith("("))


def oracle(event, types, topics, data):
    """What eth-abi's strict decoder reads from the log, in the decoder's
    conventions, or None where it refuses the log."""
    indexed = [a["indexed"] for a in event.fragment["inputs"]]
    if len(topics) != 1 + sum(indexed) or topics[0] != event.topic0:
        return None
    try:
        data_values = iter(eth_abi.decode([k for k, i in zip(types, indexed) if not i], bytes(data), strict=True))
        values, topic = [], iter(topics[1:])
        for kind, is_indexed in zip(types, indexed):
            if not is_indexed:
                values.append(_convention(kind, next(data_values)))
            elif _by_value(kind):
                values.append(_convention(kind, eth_abi.decode([kind], bytes(next(topic)), strict=True)[0]))
            else:
                values.append(bytes(next(topic)))
    except Exception:  # eth-abi's refusals share no base class
        return None
    return tuple(values)


def _convention(kind, value):
    if kind.endswith("]"):
        return tuple(_convention(kind[:kind.rindex("[")], v) for v in value)
    if kind.startswith("("):
        return tuple(_convention(k, v) for k, v in zip(_components(kind), value))
    return value.lower() if kind == "address" else value


def _components(kind):
    """The component types of the canonical tuple type ``(t1,t2,...)``."""
    depth, start, parts = 0, 1, []
    for i, c in enumerate(kind[:-1]):
        depth += c == "("
        depth -= c == ")"
        if c == "," and depth == 1:
            parts.append(kind[start:i])
            start = i + 1
    return parts + [kind[start:-1]]


def plain(value):
    """Records and named tuples as plain tuples, recursively."""
    if isinstance(value, (str, bytes, int)):
        return value
    return tuple(plain(v) for v in value)


def check_record(record, event, expected):
    assert record.__event_signature__ == event.signature and record.__topic0__ == event.topic0
    assert plain(record) == expected and len(record) == len(expected)
    for position, argument in enumerate(event.fragment["inputs"]):
        name = argument["name"] + "_" if argument["name"] in LOG_FIELDS else argument["name"]
        assert getattr(record, name) == record[position]
        components = argument.get("components")
        if argument["type"] == "tuple" and not argument["indexed"] and all(c["name"] for c in components):
            for index, component in enumerate(components):
                assert plain(getattr(record[position], component["name"])) == expected[position][index]
    assert (record.address, record.block_number, record.block_hash, record.log_index) == (EMITTER, 7, BLOCK_HASH, 3)


SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(st.data())
def test_generated_events_decode_as_eth_abi_reads_them(data):
    event, types, values = data.draw(events())
    value = data.draw(values)
    topics, body = encode(event, types, value)
    expected = oracle(event, types, topics, body)
    assert expected is not None
    decoding = decoder([event])
    (record,) = decoding.decode([log(topics, body, 3)])
    assert not isinstance(record, vorlane_rpc.Log), decoding.new_failures()
    check_record(record, event, expected)


@st.composite
def corruptions(draw, topics, data):
    """One fault in a log: data cut short or extended, bytes overwritten in the
    data or a topic (padding, offsets, lengths, bool and sign bytes, UTF-8)."""
    data, topics = bytearray(data), [bytearray(t) for t in topics]
    fault = draw(st.sampled_from(["truncate", "extend", "data byte", "topic byte", "topic count"]))
    if fault == "truncate" and data:
        del data[draw(st.integers(0, len(data) - 1)):]
    elif fault == "extend":
        data += draw(st.sampled_from([b"\0", b"\0" * 32, b"\x01" + b"\0" * 31]))
    elif fault == "data byte" and data:
        data[draw(st.integers(0, len(data) - 1))] = draw(st.sampled_from([0x00, 0x01, 0x02, 0x7f, 0x80, 0xc3, 0xff]))
    elif fault == "topic byte" and len(topics) > 1:
        topic = topics[draw(st.integers(1, len(topics) - 1))]
        topic[draw(st.integers(0, 31))] = draw(st.sampled_from([0x00, 0x01, 0x02, 0x80, 0xff]))
    elif fault == "topic count":
        topics = topics[:-1] if len(topics) > 1 and draw(st.booleans()) else topics + [bytearray(32)]
    return topics, data


@SETTINGS
@given(st.data())
def test_corrupted_logs_decode_as_eth_abi_reads_them_or_not_at_all(data):
    event, types, values = data.draw(events())
    topics, body = data.draw(corruptions(*encode(event, types, data.draw(values))))
    expected = oracle(event, types, topics, body)
    original = log(topics, body, 3)
    decoding = decoder([event])
    (result,) = decoding.decode([original])
    if expected is None:
        assert result is original
    elif result is not original:
        check_record(result, event, expected)
    else:  # stricter than eth-abi only about the length of an all-static event's data
        sizes = [_static_size(k) for k, a in zip(types, event.fragment["inputs"]) if not a["indexed"]]
        assert None not in sizes and len(body) != sum(sizes), decoding.new_failures()


# ---- real events -------------------------------------------------------------------

ERC20 = "event Transfer(address indexed from, address indexed to, uint256 value)"
ERC721 = "event Transfer(address indexed from, address indexed to, uint256 indexed tokenId)"
SWAP = ("event Swap(address indexed sender, address indexed recipient, int256 amount0, int256 amount1, "
        "uint160 sqrtPriceX96, uint128 liquidity, int24 tick)")
NOTE = "event Note(address indexed author, string text, bytes payload, uint256[] amounts)"
A_UINT, A_INT = "event A(uint256 a)", "event A(int256 a)"
ALICE, BOB = "0x" + "a1" * 20, "0x" + "b0" * 20


def word(kind, value):
    return eth_abi.encode([kind], [value])


def topic0(signature):
    return eth_utils.keccak(text=signature)


TRANSFER = topic0("Transfer(address,address,uint256)")
REAL = [
    # (events, topics, data, expected (signature, argument names, values) or None: undecoded)
    ([ERC20, ERC721], [TRANSFER, word("address", ALICE), word("address", BOB)], word("uint256", 5),
     ("Transfer(address,address,uint256)", ("from", "to", "value"), (ALICE, BOB, 5))),
    ([ERC20, ERC721], [TRANSFER, word("address", ALICE), word("address", BOB), word("uint256", 2**255)], b"",
     ("Transfer(address,address,uint256)", ("from", "to", "tokenId"), (ALICE, BOB, 2**255))),
    ([ERC20, ERC721], [TRANSFER, word("address", ALICE)], word("uint256", 5), None),
    ([ERC721], [TRANSFER, word("address", ALICE), word("address", BOB)], word("uint256", 5), None),
    ([A_UINT, A_INT], [topic0("A(int256)")], word("int256", -1), ("A(int256)", ("a",), (-1,))),
    ([A_UINT, A_INT], [topic0("A(uint256)")], word("int256", -1), ("A(uint256)", ("a",), (2**256 - 1,))),
    ([SWAP], [topic0("Swap(address,address,int256,int256,uint160,uint128,int24)"), word("address", ALICE),
              word("address", BOB)],
     eth_abi.encode(["int256", "int256", "uint160", "uint128", "int24"],
                    [-10**18, 3 * 10**6, 2**160 - 1, 0, -887272]),
     ("Swap(address,address,int256,int256,uint160,uint128,int24)",
      ("sender", "recipient", "amount0", "amount1", "sqrtPriceX96", "liquidity", "tick"),
      (ALICE, BOB, -10**18, 3 * 10**6, 2**160 - 1, 0, -887272))),
    ([NOTE], [topic0("Note(address,string,bytes,uint256[])"), word("address", ALICE)],
     eth_abi.encode(["string", "bytes", "uint256[]"], ["", b"", ()]),
     ("Note(address,string,bytes,uint256[])", ("author", "text", "payload", "amounts"), (ALICE, "", b"", ()))),
    ([ERC20], [], b"", None),
    ([ERC20], [topic0("Approval(address,address,uint256)"), word("address", ALICE), word("address", BOB)],
     word("uint256", 5), None),
]


@pytest.mark.parametrize("abi, topics, data, expected", REAL)
def test_real_events(abi, topics, data, expected):
    original = log(topics, data)
    decoding = decoder(read_events(abi))
    (result,) = decoding.decode([original])
    if expected is None:
        assert result is original
    else:
        assert not isinstance(result, vorlane_rpc.Log), decoding.new_failures()
        assert (result.__event_signature__, tuple(n for n, _, _ in result.__schema__), tuple(result)) == expected


def test_the_dev_chains_logs_decode_to_what_was_emitted(demo_chain):
    import devchain  # the demo_chain fixture put examples/ on the path

    chain = demo_chain
    chain.mine(40)
    abi = [f for name in ("Token", *devchain.chain.EMITTERS) for f in devchain.compile_contract(name)[0]]
    logs = [vorlane_rpc.Log(x["block_number"], x["block_hash"], x["transaction_hash"], x["log_index"], x["address"],
                            tuple(x["topics"]), x["data"]) for x in chain.canonical_logs(0, chain.head)]
    records = decoder(read_events(abi)).decode(logs)
    assert not [r for r in records if isinstance(r, vorlane_rpc.Log)]
    emitters = {chain.collectible.lower(), chain.pool.lower(), chain.notes.lower()}
    decoded = [{"block_number": r.block_number, "log_index": r.log_index, "address": r.address,
                "event": r.__event_name__, "args": {name: getattr(r, name) for name, _, _ in r.__schema__}}
               for r in records if r.address in emitters]
    emitted = chain.emitted_events(0, chain.head)
    assert decoded == emitted and {e["event"] for e in emitted} == {"Transfer", "Swap", "Note", "Tagged"}


# One fault each in the data of K(bool,address,int24,string) = (true, ALICE, -2, "ok"): words 0-3
# are the head, word 4 the string's length, word 5 its content.
K_TYPES = ["bool", "address", "int24", "string"]
K_DATA = eth_abi.encode(K_TYPES, [True, ALICE, -2, "ok"])


def patched(position, replacement):
    return K_DATA[:position] + replacement + K_DATA[position + len(replacement):]


@pytest.mark.parametrize("data", [
    patched(31, b"\x02"),                              # bool 2
    patched(32, b"\x01"),                              # dirty address padding
    patched(64, b"\0" * 29),                           # int24 -2 not sign-extended
    patched(96, word("uint256", len(K_DATA))),         # offset past the end
    patched(96, word("uint256", 2**64 + 128)),          # offset past 64 bits
    patched(128, word("uint256", 33)),                 # length past the end
    patched(160, b"\xff"),                             # invalid UTF-8
    patched(162, b"\x01"),                             # dirty padding after the string
    K_DATA[:-1],
    K_DATA[:-32],
], ids=["bool", "address", "sign", "offset", "offset 2^64", "length", "utf-8", "string padding", "cut 1",
        "cut 32"])
def test_corruptions_eth_abi_refuses_stay_undecoded(data):
    (event,) = read_events("event K(bool b, address a, int24 i, string s)")
    assert oracle(event, K_TYPES, [event.topic0], data) is None
    original = log([event.topic0], data)
    (result,) = decoder([event]).decode([original])
    assert result is original
