"""The demo chain and its JSON-RPC dev node (examples/devchain), through web3.py and raw HTTP."""

from __future__ import annotations

import asyncio
import json
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from devnode_fixture import BASE_BLOCKS, BASE_SEED, EXAMPLES

web3 = pytest.importorskip("web3")
requests = pytest.importorskip("requests")
from web3 import AsyncWeb3, Web3  # noqa: E402
from web3.exceptions import BlockNotFound, ContractLogicError  # noqa: E402


def sync_web3(node):
    return Web3(Web3.HTTPProvider(node.url, exception_retry_configuration=None))


def post(node, body, timeout=10):
    """(HTTP status, decoded JSON or None, headers) of one raw POST."""
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(node.url, data=data, headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            status, payload, headers = answer.status, answer.read(), answer.headers
    except urllib.error.HTTPError as error:
        status, payload, headers = error.code, error.read(), error.headers
    return status, (json.loads(payload) if payload else None), headers


def call(method, *params, id=1):
    return {"jsonrpc": "2.0", "id": id, "method": method, "params": list(params)}


def fold_transfers(lines, token):
    """Balances from the token's Transfer log lines, as an indexer would keep them."""
    balances = {}
    for line in lines:
        if line["address"] != token.lower():
            continue
        value = int(line["data"], 16)
        sender, receiver = ("0x" + topic[-40:] for topic in line["topics"][1:3])
        balances[sender] = balances.get(sender, 0) - value
        balances[receiver] = balances.get(receiver, 0) + value
    return balances


# ---- the chain -----------------------------------------------------------


def test_restore_and_rebuild_repeat_hashes_and_reorg_replaces_them(demo_chain):
    chain = demo_chain
    assert chain.head == chain.setup_blocks + BASE_BLOCKS
    base = chain.snapshot()
    first = [chain.block(n).hash for n in range(chain.mine(3) + 1)]
    chain.restore(base)
    assert [chain.block(n).hash for n in range(chain.mine(3) + 1)] == first

    fork = chain.reorg(4, new_blocks=2)
    assert fork == len(first) - 1 - 4 and chain.head == fork + 2
    assert chain.block(fork).hash == first[fork]
    assert chain.block(fork + 1).parent_hash == first[fork]
    assert all(chain.block(n).hash != first[n] for n in range(fork + 1, chain.head + 1))
    assert chain.block_by_hash(first[fork + 1]).number == fork + 1  # the abandoned block is still known by hash
    assert (chain.setup_blocks, chain.head) == (7, 48)
    with pytest.raises(ValueError) as refused:
        chain.reorg(42)
    assert str(refused.value) == "a reorganisation 42 deep at head 48 would replace the setup blocks (1..7)"

    devchain = sys.modules["devchain"]
    rebuilt = devchain.DemoChain(seed=BASE_SEED, blocks=BASE_BLOCKS)
    chain.restore(base)
    assert rebuilt.block(rebuilt.head).hash == chain.block(chain.head).hash


def test_logs_fold_to_balance_of_and_count_within_blocks(demo_chain):
    chain = demo_chain
    lines = chain.canonical_logs(0, chain.head, [chain.token], [chain.transfer_topic0])
    decoys = chain.canonical_logs(0, chain.head, [chain.decoy.lower()])
    assert decoys and all(line["topics"][0] == chain.transfer_topic0 for line in decoys)
    folded = fold_transfers(lines, chain.token)
    assert {holder.lower(): balance for holder, balance in chain.balances().items()} == {
        holder: balance for holder, balance in folded.items() if holder != "0x" + "00" * 20
    }
    everything = chain.canonical_logs(0, chain.head)
    assert len(everything) > len(lines) + len(decoys)  # Approvals too
    for number in range(chain.head + 1):
        in_block = [line["log_index"] for line in everything if line["block_number"] == number]
        assert in_block == list(range(len(in_block)))


# ---- serving -------------------------------------------------------------


@pytest.mark.parametrize("flavour", ["sync", "async"])
def test_web3_reads_blocks_logs_and_balances(dev_node, flavour):
    chain = dev_node.chain
    token_abi = sys.modules["devchain"].compile_contract("Token")[0]
    numbers = list(range(chain.head - 5, chain.head + 1))

    def read(w3):
        blocks = [w3.eth.get_block(n) for n in numbers]
        by_hash = w3.eth.get_block(blocks[-1]["hash"])
        logs = w3.eth.get_logs({"fromBlock": 0, "toBlock": chain.head, "address": [chain.token],
                                "topics": [[chain.transfer_topic0]]})
        holder = chain.accounts[2]
        balance = w3.eth.contract(address=chain.token, abi=token_abi).functions.balanceOf(holder).call()
        return w3.eth.chain_id, blocks, by_hash, logs, balance, holder

    async def read_async():
        w3 = AsyncWeb3(AsyncWeb3.AsyncHTTPProvider(dev_node.url, exception_retry_configuration=None))
        try:
            blocks = [await w3.eth.get_block(n) for n in numbers]
            logs = await w3.eth.get_logs({"fromBlock": 0, "toBlock": chain.head, "address": chain.token,
                                          "topics": [chain.transfer_topic0]})
            contract = w3.eth.contract(address=chain.token, abi=token_abi)
            holder = chain.accounts[2]
            balance = await contract.functions.balanceOf(holder).call()
            return await w3.eth.chain_id, blocks, await w3.eth.get_block(blocks[-1]["hash"]), logs, balance, holder
        finally:
            await w3.provider.disconnect()

    chain_id, blocks, by_hash, logs, balance, holder = (
        read(sync_web3(dev_node)) if flavour == "sync" else asyncio.run(read_async())
    )
    assert chain_id == chain.chain_id
    assert [b["number"] for b in blocks] == numbers
    for parent, child in zip(blocks, blocks[1:]):
        assert child["parentHash"] == parent["hash"]
        assert child["timestamp"] - parent["timestamp"] == 12
    assert by_hash == blocks[-1]
    lines = [
        {"type": "log", "block_number": log["blockNumber"], "block_hash": "0x" + log["blockHash"].hex(),
         "transaction_hash": "0x" + log["transactionHash"].hex(), "log_index": log["logIndex"],
         "address": log["address"].lower(), "topics": ["0x" + t.hex() for t in log["topics"]],
         "data": "0x" + log["data"].hex()}
        for log in logs
    ]
    assert lines == chain.canonical_logs(0, chain.head, [chain.token], [chain.transfer_topic0])
    assert balance == fold_transfers(lines, chain.token)[holder.lower()]


def test_block_tags_receipts_and_reverts(dev_node):
    chain = dev_node.chain
    chain.safe_depth, chain.finalized_depth = 3, 9
    w3 = sync_web3(dev_node)
    tags = {tag: w3.eth.get_block(tag)["number"] for tag in ("latest", "safe", "finalized", "earliest")}
    assert tags == {"latest": chain.head, "safe": chain.head - 3, "finalized": chain.head - 9, "earliest": 0}
    with pytest.raises(BlockNotFound):
        w3.eth.get_block(chain.head + 1)
    line = chain.canonical_logs(chain.head - 10, chain.head, [chain.token])[-1]
    receipt = w3.eth.get_transaction_receipt(line["transaction_hash"])
    assert (receipt["status"], receipt["blockNumber"]) == (1, line["block_number"])
    assert [log["logIndex"] for log in receipt["logs"]].count(line["log_index"]) == 1
    token = w3.eth.contract(address=chain.token, abi=sys.modules["devchain"].compile_contract("Token")[0])
    with pytest.raises(ContractLogicError) as reverted:
        token.functions.transfer(chain.accounts[1], 10**40).call({"from": chain.accounts[2]})
    assert reverted.value.message == "execution reverted"


def test_batch_is_one_round_trip(dev_node):
    w3 = sync_web3(dev_node)
    with w3.batch_requests() as batch:
        for number in range(10):
            batch.add(w3.eth.get_block(number))
        blocks = batch.execute()
    assert [b["number"] for b in blocks] == list(range(10))
    assert dev_node.round_trips == 1 and dev_node.requests == {"eth_getBlockByNumber": 10}


@pytest.mark.parametrize(
    "setup, body, status, answer",
    [
        (lambda f: None, call("eth_nope"), 200,
         {"jsonrpc": "2.0", "id": 1, "error": {"code": -32601,
                                               "message": "the method eth_nope does not exist/is not available"}}),
        (lambda f: None, b"{not json", 200,
         {"jsonrpc": "2.0", "id": None, "error": {"code": -32700, "message": "parse error"}}),
        (lambda f: None, [], 200, {"jsonrpc": "2.0", "id": None, "error": {"code": -32600, "message": "empty batch"}}),
        (lambda f: setattr(f, "max_batch", 2), [call("eth_blockNumber", id=i) for i in range(3)], 200,
         {"jsonrpc": "2.0", "id": None, "error": {"code": -32600, "message": "batch too large, at most 2 calls"}}),
        (lambda f: (setattr(f, "max_batch", 2), setattr(f, "batch_refusal", "http")),
         [call("eth_blockNumber", id=i) for i in range(3)], 413,
         {"jsonrpc": "2.0", "id": None, "error": {"code": -32600, "message": "batch too large, at most 2 calls"}}),
        (lambda f: setattr(f, "max_log_range", 10), call("eth_getLogs", {"fromBlock": "0x0", "toBlock": "0xa"}), 200,
         {"jsonrpc": "2.0", "id": 1, "error": {"code": -32005,
                                               "message": "block range too large, at most 10 blocks per request"}}),
        (lambda f: setattr(f, "max_logs", 3), call("eth_getLogs", {"fromBlock": "0x0", "toBlock": "0x20"}), 200,
         {"jsonrpc": "2.0", "id": 1, "error": {"code": -32005, "message": "query returned more than 3 results"}}),
        (lambda f: setattr(f, "max_response_bytes", 500), call("eth_getBlockByNumber", "0x3", False), 200,
         {"jsonrpc": "2.0", "id": 1, "error": {"code": -32008, "message": "response size exceeded, at most 500 bytes"}}),
        (lambda f: f.status_next(1, 429, retry_after=2), call("eth_blockNumber"), 429, {"error": "HTTP 429"}),
        (lambda f: f.status_next(1, 503, method="eth_getLogs"), [call("eth_blockNumber"), call("eth_getLogs", {})],
         503, {"error": "HTTP 503"}),
    ],
    ids=["unknown-method", "parse-error", "empty-batch", "batch-error", "batch-413", "log-range", "log-count",
         "response-size", "429", "503-for-logs"],
)
def test_refusals_are_answered_like_a_node(dev_node, setup, body, status, answer):
    setup(dev_node.faults)
    got_status, got, headers = post(dev_node, body)
    assert (got_status, got) == (status, answer)
    assert headers.get("Retry-After") == ("2" if status == 429 else None)
    # one-shot faults are spent, the others stay until cleared
    dev_node.faults.clear()
    assert post(dev_node, call("eth_blockNumber"))[1]["result"] == hex(dev_node.chain.head)


def test_dropped_and_delayed_requests(dev_node):
    dev_node.faults.drop_next(2, method="eth_getLogs")
    w3 = sync_web3(dev_node)
    for _ in range(2):
        with pytest.raises(requests.exceptions.ConnectionError):
            w3.eth.get_logs({"fromBlock": 0, "toBlock": 1})
    assert w3.eth.block_number == dev_node.chain.head  # other methods pass meanwhile
    assert w3.eth.get_logs({"fromBlock": 0, "toBlock": 1})[0]["blockNumber"] == 1
    assert dev_node.requests["eth_getLogs"] == 3

    dev_node.faults.delay = 0.5
    started = time.monotonic()
    w3.eth.block_number
    assert 0.5 <= time.monotonic() - started < 5


def test_reorg_between_the_headers_and_the_logs(dev_node):
    chain = dev_node.chain
    w3 = sync_web3(dev_node)
    dev_node.faults.reorg_after(0, depth=5, new_blocks=6, method="eth_getLogs")
    head = chain.head
    with w3.batch_requests() as batch:
        for number in range(head - 4, head + 1):
            batch.add(w3.eth.get_block(number))
        headers = batch.execute()
    logs = w3.eth.get_logs({"fromBlock": head - 4, "toBlock": head})
    assert chain.head == head + 1
    assert logs and {log["blockHash"] for log in logs}.isdisjoint(h["hash"] for h in headers)
    assert w3.eth.get_block(head - 4)["parentHash"] == headers[0]["parentHash"]


def test_mining_thread_applies_scheduled_reorg(dev_node):
    chain = dev_node.chain
    start = chain.head
    before = chain.block(start).hash
    dev_node.schedule_reorg(at_head=start + 2, depth=3, new_blocks=4)
    dev_node.mine_every(0.01)
    deadline = time.monotonic() + 60
    while chain.head < start + 8 and time.monotonic() < deadline:
        time.sleep(0.02)
    dev_node.stop_mining()
    stopped_at = chain.head
    assert stopped_at >= start + 8
    assert chain.block(start).hash != before  # start was within the three replaced blocks
    assert chain.block(start - 1).hash == chain.block(start).parent_hash
    time.sleep(0.05)
    assert chain.head == stopped_at


def test_stop_closes_kept_alive_connections(demo_chain):
    devchain = sys.modules["devchain"]
    node = devchain.DevNode(demo_chain).start()
    session = requests.Session()
    assert session.post(node.url, json=call("eth_chainId")).json()["result"] == hex(demo_chain.chain_id)
    url = node.url
    node.stop()
    with pytest.raises(requests.exceptions.ConnectionError):
        session.post(url, json=call("eth_chainId"), timeout=5)


# ---- the command ---------------------------------------------------------


def test_serve_prints_url_and_chain_then_stops_on_sigterm():
    command = [sys.executable, str(EXAMPLES / "devchain"), "serve", "--blocks", "3", "--block-time", "0.05",
               "--max-head", "14", "--reorg-at", "12:2", "--max-batch", "4"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = process.stdout.readline().strip()
        info = json.loads(process.stdout.readline())
        assert url.startswith("http://127.0.0.1:")
        assert info["token"] == "0xF2E246BB76DF876Cef8b38ae84130F4F55De395b"
        assert info["head"] == 7 + 3
        deadline = time.monotonic() + 60
        head = requests_made = 0
        while head < 14 and time.monotonic() < deadline:
            time.sleep(0.1)
            session_answer = requests.post(url, json=[call("eth_blockNumber", id=i) for i in range(5)]).json()
            assert session_answer["error"]["message"] == "batch too large, at most 4 calls"
            head = int(requests.post(url, json=call("eth_blockNumber")).json()["result"], 16)
            requests_made += 1
        assert head == 14
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0
        assert process.stderr.read().splitlines() == [
            "devchain: reorganised at head 12: blocks 11..12 replaced, head now 13",
            "devchain: stopped at head 14 after " + str(2 * requests_made) + " requests",
        ]
    finally:
        process.kill()
        process.communicate()


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--reorg-at", "12"], "argument --reorg-at: expected HEAD:DEPTH (two whole numbers), got '12'"),
        (["--holders", "11"], "argument --holders: must be between 2 and 10, got 11"),
        (["--block-time", "-1"], "argument --block-time: must be at least 0, got -1"),
    ],
)
def test_serve_rejects_bad_options(argv, message):
    done = subprocess.run([sys.executable, str(EXAMPLES / "devchain"), "serve", *argv],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert done.stderr.endswith(f"python examples/devchain serve: error: {message}\n")


def test_serve_on_a_busy_port_says_so_in_one_line():
    with socket.create_server(("127.0.0.1", 0)) as busy:
        port = busy.getsockname()[1]
        done = subprocess.run([sys.executable, str(EXAMPLES / "devchain"), "serve", "--port", str(port)],
                              capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"devchain: cannot listen on 127.0.0.1:{port}: Address already in use\n"


def test_a_lagging_log_backend_answers_short_empty_or_refuses_but_never_empties_a_hash_query(dev_node):
    chain, faults = dev_node.chain, dev_node.faults
    head = chain.head
    faults.logs_lag = 5

    def logs(**query):
        query = {k: hex(v) if isinstance(v, int) else v for k, v in query.items()}
        return post(dev_node, call("eth_getLogs", query))[1]

    assert logs(fromBlock=head - 9, toBlock=head)["result"] == chain.logs(head - 9, head - 5, None, None)
    assert logs(fromBlock=head - 4, toBlock=head)["result"] == []
    assert logs(blockHash=chain.block(head - 4).hash)["error"] == {"code": -32000, "message": "unknown block"}
    assert logs(blockHash=chain.block(head - 5).hash)["result"] == chain.logs(head - 5, head - 5, None, None)
    faults.logs_lag_refuses = True
    assert logs(fromBlock=head - 4, toBlock=head)["error"] == {"code": -32000,
                                                               "message": "invalid block range params"}
    faults.logs_lag_share = 0.5
    answers = [logs(fromBlock=head - 4, toBlock=head) for _ in range(40)]
    assert 10 < sum("error" in a for a in answers) < 30
    assert faults.served["logs_lag"] == 4 + sum("error" in a for a in answers)


def test_trickled_answers_and_rate_limited_batch_items(dev_node):
    batch = [call("eth_getBlockByNumber", hex(n), False, id=n) for n in range(8)]
    plain = post(dev_node, batch)[1]
    dev_node.faults.trickle_next(1, 1.5)
    started = time.monotonic()
    assert post(dev_node, batch)[1] == plain
    assert time.monotonic() - started >= 1.5

    dev_node.faults.rate_limit_next(1)
    post(dev_node, call("eth_blockNumber"))  # a single call is no batch: not counted
    limited = post(dev_node, batch)[1]
    refused = [a for a in limited if "error" in a]
    assert 0 < len(refused) < len(batch) and all(a in plain for a in limited if "error" not in a)
    assert {a["id"] for a in limited} == set(range(8))
    assert all(a["error"] == {"code": -32005, "message": "request rate exceeded"} for a in refused)
    assert post(dev_node, batch)[1] == plain
