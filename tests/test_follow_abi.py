"""Reading contract ABIs into events: every form users hold an ABI in, the
canonical signatures and topic0 values eth-utils computes for the same
fragments, name selection and the refusals."""

import json

import pytest

from follow_support import ROOT  # noqa: F401  (puts the source tree first)

pytest.importorskip("web3")
eth_utils = pytest.importorskip("eth_utils")

from vorlane_rpc import Log  # noqa: E402
from vorlane_follow.abi import decoder, read_events  # noqa: E402

TRANSFER = {"type": "event", "name": "Transfer", "anonymous": False, "inputs": [
    {"name": "from", "type": "address", "indexed": True},
    {"name": "to", "type": "address", "indexed": True},
    {"name": "value", "type": "uint256", "indexed": False}]}
SOLC = [{"type": "constructor", "inputs": []},
        {"type": "function", "name": "transfer", "inputs": [], "outputs": []},
        TRANSFER,
        {"type": "error", "name": "Nope", "inputs": []}]
HUMAN = "event Transfer(address indexed from, address indexed to, uint256 value)"


@pytest.mark.parametrize("abi", [
    json.dumps(SOLC),
    json.dumps({"abi": SOLC, "bytecode": {"object": "0x00"}}).encode(),
    SOLC,
    {"abi": SOLC},
    [TRANSFER],
    TRANSFER,
    HUMAN,
    [HUMAN, "function transfer(address to, uint256 value) returns (bool)"],
    f"  {HUMAN};\n\nerror Nope()\n",
    "Transfer(address indexed from,address indexed to,uint value)",
], ids=["solc text", "artifact bytes", "solc list", "artifact dict", "event list", "one fragment",
        "signature", "signature list", "lines", "without event"])
def test_every_form_reads_the_same_event(abi):
    (event,) = read_events(abi)
    assert (event.name, event.signature, event.fragment) == ("Transfer", "Transfer(address,address,uint256)", TRANSFER)


# Real events as users write them -> the canonical signature.
REAL = [
    (HUMAN, "Transfer(address,address,uint256)"),
    ("event Transfer(address indexed from, address indexed to, uint256 indexed tokenId)",
     "Transfer(address,address,uint256)"),
    ("event Swap(address indexed sender, address indexed recipient, int256 amount0, int256 amount1, "
     "uint160 sqrtPriceX96, uint128 liquidity, int24 tick)", "Swap(address,address,int256,int256,uint160,uint128,int24)"),
    ("event Batch(address indexed operator, (uint id, (bytes32 key, string[] tags)[2] meta)[] items, "
     "tuple(int,bool) indexed pair, bytes payload)", "Batch(address,(uint256,(bytes32,string[])[2])[],(int256,bool),bytes)"),
    ("Deposit(address,uint[3][],bytes4,bool)", "Deposit(address,uint256[3][],bytes4,bool)"),
]


@pytest.mark.parametrize("text, signature", REAL)
def test_signatures_and_topic0_agree_with_eth_utils(text, signature):
    (event,) = read_events(text)
    assert event.signature == signature == eth_utils.abi_to_signature(event.fragment)
    assert event.topic0 == eth_utils.event_abi_to_log_topic(event.fragment) == eth_utils.keccak(text=signature)
    assert event.topic0_hex == "0x" + event.topic0.hex()
    assert event == read_events(repr(event)[len("Event('"):-2])[0]  # repr shows the event as written


def test_fragment_is_normalised():
    (event,) = read_events("event E(uint, (uint x, int) indexed, address arg1x, bytes32[] indexed)")
    assert event.fragment == {"type": "event", "name": "E", "anonymous": False, "inputs": [
        {"name": "arg0", "type": "uint256", "indexed": False},
        {"name": "arg1", "type": "tuple", "indexed": True, "components": [
            {"name": "x", "type": "uint256"}, {"name": "", "type": "int256"}]},
        {"name": "arg1x", "type": "address", "indexed": False},
        {"name": "arg3", "type": "bytes32[]", "indexed": True}]}


ABI = [
    "event A(uint a)",
    "event B(address indexed who)",
    "event A(int a)",
    "event Q(uint q) anonymous",
    HUMAN,
    "event Transfer(address indexed from, address indexed to, uint256 indexed tokenId)",
    HUMAN,  # given twice: kept once
]


@pytest.mark.parametrize("names, expected", [
    (None, ["A(uint256)", "B(address)", "A(int256)", "Transfer(address,address,uint256)",
            "Transfer(address,address,uint256)"]),
    ("A", ["A(uint256)", "A(int256)"]),
    (["A(uint)"], ["A(uint256)"]),
    (["B", "A( int256 )", "A"], ["A(uint256)", "B(address)", "A(int256)"]),
    (("Transfer",), ["Transfer(address,address,uint256)", "Transfer(address,address,uint256)"]),
])
def test_names_select_events_in_abi_order(names, expected):
    assert [event.signature for event in read_events(ABI, names)] == expected


@pytest.mark.parametrize("abi, names, message", [
    (ABI, ["B", "Z"], "no event 'Z' in the ABI; it has: A(int256), A(uint256), B(address), "
                      "Transfer(address,address,uint256)"),
    (ABI, "A(address)", "no event 'A(address)' in the ABI; it has: A(int256), A(uint256), B(address), "
                        "Transfer(address,address,uint256)"),
    (ABI, "Q", "event Q is anonymous; anonymous events are not supported"),
    ("event Foo(uint x, address indexed x)", None, "event Foo has two arguments named 'x'"),
    ("event Foo(uint arg1, bool)", None, "event Foo has two arguments named 'arg1'"),
    ("event Foo((uint a, bool a) t)", None, "event Foo has two tuple components named 'a'"),
    ("event Foo(uint7 x)", None, "event Foo has a malformed type 'uint7'"),
    ("event Foo(bytes33 x)", None, "event Foo has a malformed type 'bytes33'"),
    ("event Foo(int264 x)", None, "event Foo has a malformed type 'int264'"),
    ("event Foo(uint[0] x)", None, "event Foo has a malformed type 'uint[0]'"),
    ("event Foo(fixed128x18 x)", None, "event Foo has the type 'fixed128x18', which cannot be decoded"),
    ("event Foo(function f)", None, "event Foo has the type 'function', which cannot be decoded"),
    ("event Foo(uint x", None, "malformed event signature 'event Foo(uint x' (it ends too soon)"),
    ("event Foo(uint x y)", None, "malformed event signature 'event Foo(uint x y)' (unexpected 'y')"),
    ("event Foo(uint[) x)", None, "malformed event signature 'event Foo(uint[) x)' (expected ']')"),
    ("event (uint x)", None, "malformed event signature 'event (uint x)' (expected the event's name)"),
    ("event Foo(()[] x)", None, "malformed event signature 'event Foo(()[] x)' (a tuple without components)"),
    ('[{"type": "event", "name": "Foo", "inputs": [{"name": "x", "type": "tuple"}]}]', None,
     'event Foo has a tuple without components: {"name": "x", "type": "tuple"}'),
    ([{"type": "event", "inputs": []}], None, 'an event fragment has no valid name: {"type": "event", "inputs": []}'),
    ([{"type": "event", "name": "Foo", "inputs": [{"name": "x", "type": "uint8", "indexed": "yes"}]}], None,
     'event Foo has a malformed input: {"name": "x", "type": "uint8", "indexed": "yes"}'),
    ("[{", None, "the ABI is not valid JSON: Expecting property name enclosed in double quotes: "
                 "line 1 column 3 (char 2)"),
    ([HUMAN, "event Transfer(address from, address indexed to, uint256 indexed value)"], None,
     "event Transfer(address,address,uint256) is given twice with 2 indexed arguments, differently: "
     "'event Transfer(address indexed from, address indexed to, uint256 value)' and "
     "'event Transfer(address from, address indexed to, uint256 indexed value)'"),
])
def test_refusals(abi, names, message):
    with pytest.raises(ValueError) as refused:
        read_events(abi, names)
    assert str(refused.value) == message


def test_unnamed_broken_or_anonymous_events_are_left_out_only_when_others_are_named():
    abi = ["event Good(uint a)", "event Bad(fixed x)", "event Q(uint q) anonymous"]
    assert [event.signature for event in read_events(abi, "Good")] == ["Good(uint256)"]
    assert [event.signature for event in read_events(abi[::2])] == ["Good(uint256)"]


def test_decoder_reads_the_events_logs_with_either_address_form():
    sender = "0x" + "ab" * 20
    log = Log(1, "0x" + "11" * 32, "0x" + "22" * 32, 0, "0x" + "33" * 20,
              (read_events(HUMAN)[0].topic0_hex, "0x" + "00" * 12 + sender[2:], "0x" + "00" * 32), "0x" + "00" * 31 + "07")
    (plain,) = decoder(read_events(HUMAN)).decode([log])
    (checksummed,) = decoder(read_events(HUMAN), checksum_addresses=True).decode([log])
    assert (getattr(plain, "from"), getattr(checksummed, "from"), plain.value) == (
        sender, eth_utils.to_checksum_address(sender), 7)
