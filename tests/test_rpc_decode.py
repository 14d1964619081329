"""vorlane_rpc: JSON-RPC answers decoded into the follower's values, the
errors malformed answers raise, the Log record against the dataclass it
replaces, and the JSON Lines writer against the json module."""
import copy
import dataclasses
import json
import os
import pickle
import re
import subprocess
import sys

import pytest

import vorlane
import vorlane_rpc as rpc
from vorlane_rpc import HEADER, LOGS, QUANTITY, DecodeError, Log, RpcError

H1, H2 = "0x" + "ab" * 32, "0x" + "cd" * 32
ADDR = "0x" + "12" * 20
BLOOM = bytes(range(256))


@dataclasses.dataclass(frozen=True, slots=True)
class DataclassLog:  # the follower's former record, for comparison
    block_number: int
    block_hash: str
    transaction_hash: str
    log_index: int
    address: str
    topics: tuple[str, ...]
    data: str


def header(number="0x1b4", hash_=H1.upper().replace("X", "x"), **extra):
    result = {"number": number, "hash": hash_, "parentHash": H2, "timestamp": "0x64f0",
              "logsBloom": "0x" + BLOOM.hex().upper(), "transactions": [H1] * 150, "miner": ADDR,
              **extra}
    return result


def log(index, removed=None, topics=(H1,), data="0xDEADbeef"):
    entry = {"address": ADDR.upper().replace("X", "x"), "topics": list(topics), "data": data,
             "blockNumber": "0x1b4", "transactionHash": H2, "blockHash": H1,
             "logIndex": hex(index), "transactionIndex": "0x0"}
    if removed is not None:
        entry["removed"] = removed
    return entry


def answer(id_, result):
    return {"jsonrpc": "2.0", "id": id_, "result": result}


def body(value):
    return json.dumps(value).encode()


def expected_log(index, topics=(H1,), data="0xdeadbeef"):
    return (436, H1, H2, index, ADDR, topics, data)


def plain(value):
    """Decoded values in comparable form."""
    if isinstance(value, tuple):
        summary, bloom = value
        return ("header", summary.number, summary.hash, summary.parent_hash, summary.timestamp,
                summary.tx_count, bloom)
    if isinstance(value, list):
        return [(l.block_number, l.block_hash, l.transaction_hash, l.log_index, l.address,
                 l.topics, l.data) for l in value]
    if isinstance(value, RpcError):
        return ("error", value.code, value.message, value.data, str(value))
    return value


HEADER_VALUE = ("header", 436, H1, H2, 0x64F0, 150, BLOOM)

VALID = [
    ("single quantity", [QUANTITY], answer(0, "0x0001"), [1]),
    ("single in an array", [QUANTITY], [answer(0, "0xFF")], [255]),
    ("header with upper-case hex", [HEADER], answer(0, header()), [HEADER_VALUE]),
    ("null results", [HEADER, LOGS, QUANTITY],
     [answer(2, None), answer(0, None), answer(1, None)], [None, None, None]),
    ("shuffled batch", [LOGS, HEADER, QUANTITY],
     [answer(1, header()), answer(2, "0x1"), answer(0, [log(0), log(1, topics=(), data="0x")])],
     [[expected_log(0), expected_log(1, topics=(), data="0x")], HEADER_VALUE, 1]),
    ("removed logs left out", [LOGS],
     answer(0, [log(0, removed=True), log(1, removed=False, topics=(H1, H2, H1, H2))]),
     [[expected_log(1, topics=(H1, H2, H1, H2))]]),
    ("error items", [QUANTITY, LOGS],
     [{"jsonrpc": "2.0", "id": 1, "error": {"code": -32005, "message": "limit exceeded",
                                            "data": {"max": 10000}}},
      {"jsonrpc": "2.0", "id": 0, "error": {"code": 3, "message": "reverted", "data": "0x08c3"}}],
     [("error", 3, "reverted", "0x08c3", "reverted (3)"),
      ("error", -32005, "limit exceeded", '{"max": 10000}', "limit exceeded (-32005)")]),
    ("result before id", [QUANTITY, QUANTITY],
     [{"result": "0x2", "id": 1}, {"result": "0x1", "id": 0}], [1, 2]),
]


@pytest.mark.parametrize("kinds, value, expected", [case[1:] for case in VALID],
                         ids=[case[0] for case in VALID])
def test_valid_answers(kinds, value, expected):
    assert [plain(v) for v in rpc.decode(body(value), bytes(kinds))] == expected


def test_header_is_vorlanes_block_summary():
    ((summary, _),) = rpc.decode(body(answer(0, header())), bytes([HEADER]))
    assert type(summary) is vorlane.BlockSummary
    assert summary.extends_parent(vorlane.BlockSummary(435, H2, H1, 0, 0))


REFUSED = [
    ("empty", [QUANTITY], b"", DecodeError, "the answer is empty"),
    ("html", [QUANTITY], b"<html>" + b"x" * 200, DecodeError,
     "the answer is an HTML page, not JSON: '<html>" + "x" * 94 + "'..."),
    ("cut short", [QUANTITY], b'{"id":0,"result":"0x', DecodeError,
     "the answer is not valid JSON: cut short after 20 bytes, ending '{\"id\":0,\"result\":\"0x'"),
    ("not an object", [QUANTITY], b'"0x1"', DecodeError,
     "the answer is a string, not a JSON object or array: '\"0x1\"'"),
    ("batch refused", [QUANTITY, QUANTITY],
     b'{"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"batch too large"}}',
     RpcError, "batch too large (-32600)"),
    ("batch answered by one result", [QUANTITY, QUANTITY], body(answer(0, "0x1")), DecodeError,
     "expected an array of 2 responses, got one response object"),
    ("missing id", [QUANTITY, QUANTITY], body([answer(0, "0x1"), {"result": "0x1"}]), DecodeError,
     "response at position 1: missing field 'id'"),
    ("duplicate id", [QUANTITY, QUANTITY], body([answer(1, "0x1"), answer(1, "0x1")]), DecodeError,
     "response at position 1: duplicate id 1"),
    ("unexpected id", [QUANTITY], body(answer(7, "0x1")), DecodeError, "response: unexpected id 7"),
    ("absent response", [QUANTITY] * 3, body([answer(1, "0x1")]), DecodeError,
     "no response to calls 0, 2"),
    ("missing field", [HEADER], body(answer(0, {k: v for k, v in header().items() if k != "timestamp"})),
     DecodeError, "response: result: missing field 'timestamp'"),
    ("wrong type", [HEADER], body(answer(0, header(number=436))), DecodeError,
     "response: result.number: expected a hex quantity, got a number: '436'"),
    ("odd hex", [LOGS], body(answer(0, [log(0), log(1, data="0x123")])), DecodeError,
     "response: result[1].data: odd number of hex digits: '\"0x123\"'"),
    ("non-hex digit", [LOGS], body(answer(0, [log(0, topics=("0x" + "ab" * 31 + "zz",))])), DecodeError,
     "response: result[0].topics[0]: non-hex character 'z': '\"0x" + "ab" * 31 + "zz\"'"),
    ("short hash", [HEADER], body(answer(0, header(hash_="0x1234"))), DecodeError,
     "response: result.hash: expected 32 bytes, got 2: '\"0x1234\"'"),
    ("quantity too large", [QUANTITY], body(answer(0, "0x0" + "f" * 17)), DecodeError,
     "response: result: does not fit in 64 bits: '\"0x0" + "f" * 17 + "\"'"),
    ("unknown kind", [QUANTITY, 9], b"[]", DecodeError, "unknown result kind 9 for call 1"),
]


@pytest.mark.parametrize("kinds, data, error, message", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_malformed_answers(kinds, data, error, message):
    with pytest.raises(error) as raised:
        rpc.decode(data, bytes(kinds))
    assert type(raised.value) is error
    assert str(raised.value) == message


FIELDS = (436, H1, H2, 3, ADDR, (H1, H2), "0x")


@pytest.mark.parametrize("fields", [FIELDS, (1, "a", "b", 0, "c", (), "0x"), ([1], None, 2.5, "x", b"y", [], {})])
def test_log_matches_the_dataclass(fields):
    new, old = Log(*fields), DataclassLog(*fields)
    names = [f.name for f in dataclasses.fields(DataclassLog)]
    assert Log(**dict(zip(names, fields))) == new
    assert repr(new) == repr(old).replace("DataclassLog(", "Log(")
    assert Log.__match_args__ == DataclassLog.__match_args__
    assert [getattr(new, n) for n in names] == list(fields)
    if all(f.__hash__ is not None for f in fields):
        assert hash(new) == hash(old)
    else:
        with pytest.raises(TypeError):
            hash(new)
    for made in (copy.copy(new), copy.deepcopy(new), pickle.loads(pickle.dumps(new))):
        assert type(made) is Log and made == new
    with pytest.raises(AttributeError):
        new.data = "0x1"


def test_transaction_index_rides_along_outside_the_fields():
    plain_, indexed = Log(*FIELDS), Log(*FIELDS, transaction_index=True)
    assert (plain_.transaction_index, indexed.transaction_index) == (None, 1)
    assert type(indexed.transaction_index) is int  # an exact int, whatever was given
    assert indexed == plain_ and hash(indexed) == hash(plain_) and repr(indexed) == repr(plain_)
    copies = [copy.copy(indexed), copy.deepcopy(indexed)]
    copies += [pickle.loads(pickle.dumps(indexed, protocol)) for protocol in (0, pickle.HIGHEST_PROTOCOL)]
    assert [made.transaction_index for made in copies] == [1] * 4
    assert pickle.loads(pickle.dumps(plain_)).transaction_index is None
    with pytest.raises(TypeError, match=re.escape("Log() takes at most 7 positional arguments (8 given)")):
        Log(*FIELDS, 1)
    with pytest.raises(TypeError, match=re.escape("Log() argument 'transaction_index' must be int or None, not str")):
        Log(*FIELDS, transaction_index="1")
    with pytest.raises(AttributeError):
        indexed.transaction_index = 2


def test_decoded_logs_carry_their_transaction_index():
    logs = [dict(log(0), transactionIndex="0x1B"), dict(log(1), transactionIndex=None),
            {k: v for k, v in log(2).items() if k != "transactionIndex"}]
    decoded = rpc.decode(body(answer(0, logs)), bytes([LOGS]))[0]
    assert [x.transaction_index for x in decoded] == [27, None, None]


def test_log_equality_is_by_fields_and_type():
    log_ = Log(*FIELDS)
    assert log_ == Log(*FIELDS) and not log_ != Log(*FIELDS)
    assert log_ != Log(*FIELDS[:-1], "0x00")
    assert log_ != DataclassLog(*FIELDS) and log_.__eq__(FIELDS) is NotImplemented


def test_rpc_error():
    error = RpcError(-32000, "header not found", None)
    assert isinstance(error, Exception) and str(error) == "header not found (-32000)"
    again = pickle.loads(pickle.dumps(error))
    assert (again.code, again.message, again.data) == (-32000, "header not found", None)
    assert issubclass(DecodeError, ValueError)


HOSTILE = ['"\\\n\r\t\b\f\x00\x1f\x7f', "é€😀", "\ud800 lone", "'quote'", "</script>"]


@pytest.mark.parametrize("fields", [
    FIELDS,
    (0, "", "", 0, "", (), ""),
    (2**70, H1, H2, -(2**65), ADDR, (), "0x"),
    *[(1, text, text, 2, text, (text, text), text) for text in HOSTILE],
    (True, H1, H2, None, ADDR, [H1], 1.5),  # not plain str/int: json itself writes it
])
def test_encode_log_lines_matches_json(fields):
    logs = [Log(*fields), DataclassLog(*fields), Log(*FIELDS)]
    encode = json.JSONEncoder().encode
    expected = "".join(
        encode({"type": "log", "block_number": x.block_number, "block_hash": x.block_hash,
                "transaction_hash": x.transaction_hash, "log_index": x.log_index,
                "address": x.address, "topics": list(x.topics), "data": x.data}) + "\n"
        for x in logs)
    assert rpc.encode_log_lines(logs) == expected.encode()


def test_encode_log_lines_refuses_what_json_refuses():
    with pytest.raises(TypeError, match="Object of type bytes is not JSON serializable"):
        rpc.encode_log_lines([Log(1, b"x", H2, 0, ADDR, (), "0x")])


def test_stub_agrees_with_the_module(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "mypy.ini").write_text("[mypy]\nsqlite_cache = False\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "mypy.ini",
                             "vorlane_rpc"], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_threads_decoding_at_once_each_get_their_own_answer():
    # The parse runs without the GIL, each call in a workspace of its own.
    import threading

    def body(n):
        logs = [{"address": ADDR, "topics": [H1], "data": "0x%04x" % i, "blockNumber": hex(n),
                 "transactionHash": H2, "blockHash": H1, "logIndex": hex(i), "removed": False}
                for i in range(200)]
        return json.dumps({"jsonrpc": "2.0", "id": 0, "result": logs}).encode()

    bodies = {n: body(n) for n in range(1, 9)}
    wrong = []

    def work(n):
        for _ in range(50):
            logs = rpc.decode(bodies[n], bytes([LOGS]))[0]
            if {x.block_number for x in logs} != {n} or [x.data for x in logs][-1] != "0x00c7":
                wrong.append(n)

    threads = [threading.Thread(target=work, args=(n,)) for n in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


def test_select_logs_orders_each_block_by_log_index():
    logs = [Log(7, H1, H2, i, ADDR, (H1,), "0x") for i in (3, 1, 2, 0)] + [Log(8, H2, H2, 0, ADDR, (), "0x")]
    by_block, moved_at, doubtful = rpc.select_logs(logs, {7: H1, 8: H1}, str, str)
    assert {n: [x.log_index for x in found] for n, found in by_block.items()} == {7: [0, 1, 2, 3]}
    assert (moved_at, doubtful) == (8, set())
    # Two different logs under one key, whatever the size of the numbers.
    for number, index in ((7, 1), (2**70, 0), (7, -1)):
        twice = [Log(number, H1, H2, index, ADDR, (H1,), data) for data in ("0x", "0x", "0x01")]
        assert rpc.select_logs(twice, {number: H1}, str, str) == ({}, None, {number})


def _clears(logs):
    def method(value):
        logs.clear()
        return True
    return method


@pytest.mark.parametrize("make, error", [
    (lambda logs: (logs + [object()], {7: H1}, str, str), "select_logs() takes Log records, not object"),
    (lambda logs: (logs, {7: H1}, str, lambda v: 1 / 0), "division by zero"),
    (lambda logs: (logs + [Log(7, H1, H2, None, ADDR, (H1,), "0x")], {7: H1}, str, str), "not supported"),
    (lambda logs: (logs, {7: H1}, _clears(logs), str), None),
])
def test_select_logs_survives_hostile_input(make, error):
    logs = [Log(7, H1, H2, i, ADDR, (H1,), "0x") for i in (1, 0)]
    args = make(logs)
    if error is None:  # the list emptied while its first log was looked at
        assert rpc.select_logs(*args) == ({7: [Log(7, H1, H2, 1, ADDR, (H1,), "0x")]}, None, set())
    else:
        with pytest.raises(Exception, match=re.escape(error)):
            rpc.select_logs(*args)
