"""vorlane_rpc.EventDecoder: the record classes it makes (fields, repr,
equality, pickling, interning, schema), the JSON Lines it writes, and logs
that break their event's encoding, delivered undecoded and counted."""
import pickle
import subprocess
import sys

import pytest

import vorlane_rpc as rpc
from vorlane_rpc import EventDecoder, Log

keccak256 = pytest.importorskip("Crypto.Hash.keccak")  # the follow extra
eth_abi = pytest.importorskip("eth_abi")  # the test extra

BLOCK, TX = "0x" + "ab" * 32, "0x" + "cd" * 32
CONTRACT = "0x" + "c0" * 20
A1, A2 = "11" * 20, "22" * 20


def keccak(text):
    return keccak256.new(digest_bits=256, data=text.encode()).digest()


def param(name, type_, extra=None):
    """An input: (name, type), (name, type, True) when indexed, or (name,
    "tuple", [components])."""
    p = {"name": name, "type": type_}
    if isinstance(extra, list):
        p["components"] = [param(*c) for c in extra]
    return p


def fragment(name, *inputs):
    return {"type": "event", "name": name, "anonymous": False,
            "inputs": [dict(param(*i), indexed=len(i) > 2 and i[2] is True) for i in inputs]}


def pair(frag):
    def canonical(p):
        if p["type"].startswith("tuple"):
            return "(" + ",".join(canonical(c) for c in p["components"]) + ")" + p["type"][5:]
        return p["type"]

    sig = frag["name"] + "(" + ",".join(canonical(p) for p in frag["inputs"]) + ")"
    return frag, keccak(sig)


def word(hex_tail, fill="0"):
    return "0x" + hex_tail.rjust(64, fill)


def log(frag_pair, topics=(), data="0x", *, number=5, index=0, address=CONTRACT, tx_index=None):
    return Log(number, BLOCK, TX, index, address, ("0x" + frag_pair[1].hex(), *topics), data,
               transaction_index=tx_index)


TRANSFER = pair(fragment("Transfer", ("from", "address", True), ("to", "address", True),
                         ("value", "uint256")))
NFT = pair(fragment("Transfer", ("from", "address", True), ("to", "address", True),
                    ("tokenId", "uint256", True)))
SWAP = pair(fragment("Swap", ("sender", "address", True), ("recipient", "address", True),
                     ("amount0", "int256"), ("amount1", "int256"), ("sqrtPriceX96", "uint160"),
                     ("liquidity", "uint128"), ("tick", "int24")))
# Argument names that shadow a log field, and named and unnamed tuples.
MIXED = pair(fragment("Mixed", ("tag", "string", True), ("address", "address"), ("flag", "bool"),
                      ("code", "bytes3"), ("blob", "bytes"), ("text", "string"),
                      ("small", "int8"), ("grid", "uint8[2][]"),
                      ("pair", "tuple", [("a", "uint16"), ("b", "string")]),
                      ("plain", "tuple", [("", "uint8"), ("", "bool")])))

TRANSFER_LOG = log(TRANSFER, (word(A1), word(A2)), word("3e8"), tx_index=2)


def swap_log():
    data = eth_abi.encode(["int256", "int256", "uint160", "uint128", "int24"],
                          [-(2**100), 2**200, 2**159, 7, -887272])
    return log(SWAP, (word(A1), word(A2)), "0x" + data.hex())


def mixed_log():
    data = eth_abi.encode(
        ["address", "bool", "bytes3", "bytes", "string", "int8", "uint8[2][]", "(uint16,string)",
         "(uint8,bool)"],
        ["0x" + A1, True, b"abc", b"\x00\xff", 'é "q"\n', -2, [[1, 2], [3, 4]], (9, "x"),
         (1, False)])
    return log(MIXED, ("0x" + "ee" * 32,), "0x" + data.hex())


def test_record_fields_repr_equality_and_schema():
    decoder = EventDecoder([TRANSFER, NFT])
    erc20, erc721 = decoder.types
    nft_log = log(NFT, (word(A1), word(A2), word("7")))
    record, nft = decoder.decode([TRANSFER_LOG, nft_log])
    assert (type(record), type(nft)) == (erc20, erc721)  # told apart by topic count
    assert (getattr(record, "from"), record.to, record.value) == ("0x" + A1, "0x" + A2, 1000)
    assert (record[0], record[-1], len(record), list(nft)) == ("0x" + A1, 1000, 3, ["0x" + A1, "0x" + A2, 7])
    assert (record.address, record.block_number, record.block_hash, record.transaction_hash,
            record.transaction_index, record.log_index) == (CONTRACT, 5, BLOCK, TX, 2, 0)
    assert record.block_hash is TRANSFER_LOG.block_hash
    assert repr(record) == (f"Transfer(block_number=5, log_index=0, from='0x{A1}', to='0x{A2}', "
                            "value=1000)")
    with pytest.raises(AttributeError):
        record.value = 1
    with pytest.raises(AttributeError):
        record.extra = 1
    assert erc20.__match_args__ == ("from", "to", "value")
    assert (erc20.__qualname__, erc20.__module__) == ("Transfer", "vorlane_follow.events")
    assert erc20.__event_name__ == "Transfer"
    assert erc721.__event_signature__ == "Transfer(address,address,uint256)"
    assert erc20.__topic0__ == TRANSFER[1]
    assert erc721.__schema__ == (("from", "address", True), ("to", "address", True),
                                 ("tokenId", "uint256", True))
    assert erc20.__abi__ == TRANSFER[0] and erc20.__abi__ is not TRANSFER[0]
    # Interned: another decoder of the event makes records of the same class.
    again = EventDecoder([TRANSFER]).decode([TRANSFER_LOG])[0]
    assert type(again) is erc20 and again == record and hash(again) == hash(record)
    moved = log(TRANSFER, (word(A1), word(A2)), word("3e8"), index=1)
    assert decoder.decode([moved])[0] != record
    assert EventDecoder([TRANSFER], checksum_addresses=True).types[0] is not erc20


def test_values_of_every_kind():
    decoder = EventDecoder([MIXED])
    (record,) = decoder.decode([mixed_log()])
    assert record.tag == b"\xee" * 32
    assert record.address_ == "0x" + A1 and record.address == CONTRACT
    assert (record.flag, record.code, record.blob, record.text, record.small) == (
        True, b"abc", b"\x00\xff", 'é "q"\n', -2)
    assert record.grid == ((1, 2), (3, 4))
    assert (record.pair.a, record.pair.b, tuple(record.pair)) == (9, "x", (9, "x"))
    assert type(record.pair).__name__ == "Tuple" and record.plain == (1, False)
    assert type(record).__match_args__[1] == "address_"


def test_pickle_round_trips_in_a_fresh_process():
    records = EventDecoder([TRANSFER, MIXED]).decode([TRANSFER_LOG, mixed_log()])
    blob = pickle.dumps(records)
    assert pickle.loads(blob) == records
    code = ("import pickle, sys; r = pickle.loads(sys.stdin.buffer.read()); "
            "print(repr(r)); print(type(r[0]).__event_signature__, type(r[1]).__schema__[8])")
    out = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True, check=True)
    assert out.stdout.decode().splitlines() == [
        repr(records), "Transfer(address,address,uint256) ('pair', '(uint16,string)', False)"]


def test_encode_lines_writes_the_log_line_with_event_and_args():
    decoder = EventDecoder([TRANSFER, SWAP, MIXED])
    logs = [TRANSFER_LOG, swap_log(), mixed_log(), log(pair(fragment("Other")))]
    raw = rpc.encode_log_lines(logs).splitlines(keepends=True)
    args = [
        f'"event": "Transfer", "args": {{"from": "0x{A1}", "to": "0x{A2}", "value": "1000"}}',
        f'"event": "Swap", "args": {{"sender": "0x{A1}", "recipient": "0x{A2}", "amount0": "{-(2**100)}", '
        f'"amount1": "{2**200}", "sqrtPriceX96": "{2**159}", "liquidity": "7", "tick": -887272}}',
        '"event": "Mixed", "args": {"tag": "0x' + "ee" * 32 + f'", "address": "0x{A1}", '
        '"flag": true, "code": "0x616263", "blob": "0x00ff", "text": "\u00e9 \\"q\\"\\n", '
        '"small": -2, "grid": [[1, 2], [3, 4]], "pair": {"a": 9, "b": "x"}, "plain": [1, false]}',
    ]
    expected = b"".join(line[:-2] + b", " + a.encode() + b"}\n" for line, a in zip(raw, args))
    assert decoder.encode_lines(logs) == expected + raw[3]
    assert tuple(decoder.decode(logs)[1])[2:] == (-(2**100), 2**200, 2**159, 7, -887272)


def test_checksum_addresses():
    address = "5aaeb6053f3e94c9b9a09f33669435e7ef1beaed"
    checksummed = "0x5aAeb6053F3E94C9b9A09f33669435E7Ef1BeAed"
    decoder = EventDecoder([TRANSFER], checksum_addresses=True)
    transfer = log(TRANSFER, (word(address), word(address.upper())), word("1"))
    record = decoder.decode([transfer])[0]
    assert (getattr(record, "from"), record.to) == (checksummed, checksummed)
    assert f'"from": "{checksummed}", "to": "{checksummed}"'.encode() in decoder.encode_lines([transfer])


def test_malformed_logs_are_delivered_undecoded_and_reported_once_per_contract():
    decoder = EventDecoder([TRANSFER, MIXED])
    other = "0x" + "0d" * 20
    bad = [
        log(TRANSFER, (word(A1),), word("1")),                               # topic count
        log(TRANSFER, (word(A1, "f"), word(A2)), word("1")),                  # address topic
        log(TRANSFER, (word(A1), word(A2)), word("1") + "00", address=other),  # static size
        log(MIXED, ("0x" + "ee" * 32,), "0xab" + mixed_log().data[4:]),     # address
    ]
    unmatched = log(pair(fragment("Other")))
    assert decoder.decode(bad + [unmatched]) == bad + [unmatched]
    assert decoder.undecoded == 4
    assert decoder.new_failures() == [
        ("Transfer(address,address,uint256)", CONTRACT, "2 topics, the event has 3"),
        ("Transfer(address,address,uint256)", other, "data is 33 bytes, the event's static data is 32"),
        ("Mixed(string,address,bool,bytes3,bytes,string,int8,uint8[2][],(uint16,string),(uint8,bool))",
         CONTRACT, "dirty padding in address"),
    ]
    assert decoder.encode_lines(bad[:1]) == rpc.encode_log_lines(bad[:1])
    assert (decoder.undecoded, decoder.new_failures()) == (5, [])


def test_hostile_logs():
    decoder = EventDecoder([TRANSFER])
    many = log(TRANSFER, tuple(word(A1) for _ in range(10_000)), word("1"))
    listed = Log(5, BLOCK, TX, 0, CONTRACT, ["0x" + TRANSFER[1].hex(), word(A1), word(A2)], word("1"))
    odd = Log(5, BLOCK, TX, 0, None, ("0x" + TRANSFER[1].hex(), word(A1), word(A2)), 12)
    assert decoder.decode([many, listed, odd]) == [many, listed, odd]
    assert decoder.undecoded == 2
    assert [f[2] for f in decoder.new_failures()] == ["10001 topics, the event has 3", "data is not hex"]
    for method in (decoder.decode, decoder.encode_lines):
        with pytest.raises(TypeError, match="takes Log records, not str"):
            method([TRANSFER_LOG, "log"])


@pytest.mark.parametrize(
    "events, error, message",
    [
        ([pair(fragment("E", ("a", "uint8"), ("a", "bool")))], ValueError,
         "event E has two arguments named 'a'"),
        ([pair(fragment("E", ("a", "fixed128x18")))], ValueError,
         "event E: unsupported type 'fixed128x18'"),
        ([pair(fragment("E", ("a", "uint8[]" + "[]" * 40)))], ValueError,
         "nested more than 32 levels deep"),
        ([pair(fragment("E", ("address", "uint8"), ("address_", "bool")))], ValueError,
         "event E has two arguments named 'address_'"),
        ([(dict(fragment("E"), anonymous=True), bytes(32))], ValueError,
         "event E: anonymous events are not supported"),
        ([(fragment("E"), b"short")], ValueError, "event E: topic0 must be 32 bytes"),
        ([fragment("E")], TypeError, r"takes \(fragment, topic0\) pairs"),
    ],
)
def test_refusals_at_construction(events, error, message):
    with pytest.raises(error, match=message):
        EventDecoder(events)


def test_threads_sharing_a_decoder_each_get_their_own_records():
    # Batches of 64 logs and more are walked without the GIL: a call that
    # starts meanwhile must not write into the running call's workspace.
    import threading

    decoder = EventDecoder([TRANSFER])
    batches = {n: [log(TRANSFER, (word(A1), word(A2)), word(f"{n:x}{i:04x}"), index=i) for i in range(200)]
               for n in range(1, 5)}
    wrong = []

    def work(n):
        for _ in range(30):
            if [r.value for r in decoder.decode(batches[n])] != [n * 65536 + i for i in range(200)]:
                wrong.append(n)

    threads = [threading.Thread(target=work, args=(n,)) for n in batches]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == [] and decoder.undecoded == 0
