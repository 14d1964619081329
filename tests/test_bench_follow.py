"""The follower benchmark's node and delay proxy serve what they claim to."""

import json
import socket
import subprocess
import sys

import pytest

from conftest import ROOT

sys.path.insert(0, str(ROOT / "bench"))
eth_bloom = pytest.importorskip("eth_bloom")
_follow_node = pytest.importorskip("_follow_node")

BLOCKS = 8


@pytest.fixture(scope="module")
def node():
    return _follow_node.Node(_follow_node.Chain(BLOCKS))


def call(node, method, *params):
    answer = json.loads(b"".join(node.answer(json.dumps(
        {"jsonrpc": "2.0", "id": 7, "method": method, "params": list(params)}).encode())))
    assert answer["id"] == 7
    return answer["result"] if "result" in answer else answer["error"]


@pytest.mark.parametrize("logs", [0, 5, 20])
def test_segment_headers_and_logs(node, logs):
    first, last = node.chain.segments[logs]
    assert last - first + 1 == BLOCKS
    token, topic0 = _follow_node.TOKEN, _follow_node.TRANSFER
    headers = json.loads(b"".join(node.answer(json.dumps([
        {"jsonrpc": "2.0", "id": i, "method": "eth_getBlockByNumber", "params": [hex(n), False]}
        for i, n in enumerate(range(first - 1, last + 1))]).encode())))
    assert [h["id"] for h in headers] == list(range(BLOCKS + 1))
    blocks = [h["result"] for h in headers]
    for parent, block in zip(blocks, blocks[1:]):
        assert block["parentHash"] == parent["hash"]
        assert len(block["transactions"]) == 150 and len(block["logsBloom"]) == 2 + 512
        assert 10_000 <= len(json.dumps(block, separators=(",", ":"))) <= 12_500
        bloom = eth_bloom.BloomFilter(int(block["logsBloom"], 16))
        both = bytes.fromhex(token[2:]) in bloom and bytes.fromhex(topic0[2:]) in bloom
        assert both == (logs > 0)
        by_hash = call(node, "eth_getLogs", {"blockHash": block["hash"]})
        assert len(by_hash) == logs
        assert all(e["transactionHash"] in block["transactions"] for e in by_hash)
    selected = call(node, "eth_getLogs", {"fromBlock": hex(first), "toBlock": hex(last),
                                          "address": [token.upper().replace("0X", "0x")],
                                          "topics": [[topic0]]})
    assert len(selected) == logs * BLOCKS
    assert [int(e["blockNumber"], 16) for e in selected] == sorted(
        n for n in range(first, last + 1) for _ in range(logs))
    other = "0x" + "11" * 20
    assert call(node, "eth_getLogs", {"fromBlock": hex(first), "toBlock": hex(last),
                                      "address": other}) == []
    assert call(node, "eth_getLogs", {"fromBlock": hex(first), "toBlock": hex(last),
                                      "topics": ["0x" + "22" * 32]}) == []


def test_errors_and_head(node):
    assert int(call(node, "eth_blockNumber"), 16) == node.chain.head
    assert call(node, "eth_chainId") == "0x1"
    assert call(node, "eth_getBlockByNumber", hex(node.chain.head + 1), False) is None
    assert call(node, "eth_getLogs", {"blockHash": "0x" + "33" * 32}) == {
        "code": -32000, "message": "unknown block"}
    assert call(node, "eth_sendTransaction")["code"] == -32601


def test_proxy_carries_both_ways_in_order_then_the_end():
    echo = socket.create_server(("127.0.0.1", 0))
    echo.settimeout(30)
    proxy = subprocess.Popen([sys.executable, str(ROOT / "bench" / "_delay_proxy.py"),
                              "--upstream", f"127.0.0.1:{echo.getsockname()[1]}", "--rtt-ms", "0,4"],
                             stdout=subprocess.PIPE, text=True)
    try:
        ports = json.loads(proxy.stdout.readline())
        assert sorted(ports) == ["0", "4"]
        payload = bytes(range(256)) * 20_000  # 5 MB, more than any socket buffer
        for port in ports.values():
            client = socket.create_connection(("127.0.0.1", port), timeout=30)
            server, _ = echo.accept()
            server.settimeout(30)
            client.sendall(payload)
            client.shutdown(socket.SHUT_WR)
            received = bytearray()
            while chunk := server.recv(1 << 16):
                received += chunk
            assert received == payload
            server.sendall(b"answer")
            server.close()
            back = bytearray()
            while chunk := client.recv(1 << 16):
                back += chunk
            assert back == b"answer"
            client.close()
    finally:
        proxy.terminate()
        proxy.wait(10)
        echo.close()
