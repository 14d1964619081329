"""Followers and the command given an ABI: typed records (or lines with
"event" and "args") for the dev chain's emitters and token, in log order, the
topic0 the ABI implies, and logs no event fits delivered as they are."""

import json
import logging
import re

import pytest

from follow_support import TRANSFER_ABI, make_follower, run

pytest.importorskip("web3")

from vorlane import EventFilter  # noqa: E402
from vorlane_rpc import Log  # noqa: E402

from test_follow_cli import command, finish  # noqa: E402

EMITTERS = ("Collectible", "Pool", "Notes")


def contracts_abi():
    from devchain.chain import compile_contract

    return [fragment for name in ("Token", *EMITTERS) for fragment in compile_contract(name)[0]]


def emitters_filter(chain):
    f = EventFilter.for_address(chain.token)
    for address in (chain.collectible, chain.pool, chain.notes):
        f.add_address(address)
    return f


def raw_logs(chain, last, addresses, topic0s=None):
    """The canonical log objects of `addresses` in log order."""
    return chain.logs(0, last, addresses, None if topic0s is None else [list(topic0s)])


def token_args(log):
    """An ERC-20 Transfer's or Approval's arguments, read from the log by hand."""
    return ("0x" + log["topics"][1][-40:], "0x" + log["topics"][2][-40:], int(log["data"], 16))


class Events:
    def __init__(self):
        self.events = []

    def on_block(self, block, events):
        assert all(e.block_hash == block.hash for e in events)
        self.events.extend(events)

    def on_rollback(self, block_number):
        self.events = [e for e in self.events if e.block_number <= block_number]


@pytest.mark.parametrize("driver", ["sync", "async"])
def test_the_handler_gets_each_events_record_in_log_order(dev_node, demo_chain, driver):
    chain, last = demo_chain, demo_chain.head - 3
    user_filter = emitters_filter(chain)
    handler = Events()
    follower = make_follower(driver, dev_node, chain, handler, to_block=last, abi=contracts_abi(),
                             event_filter=user_filter)
    counters = run(follower)
    assert repr(user_filter).endswith("topic0_values=[])")  # the caller's filter is left alone
    records = handler.events
    # ERC-20 and ERC-721 Transfers share a topic0: each gets its own type.
    by_log = {(r.block_number, r.log_index): r for r in records}
    expected = raw_logs(chain, last, [chain.token, chain.collectible, chain.pool, chain.notes],
                        {"0x" + t.__topic0__.hex() for t in follower.engine.decoder.types})
    assert [(r.block_number, r.log_index) for r in records] == [
        (int(x["blockNumber"], 16), int(x["logIndex"], 16)) for x in expected]
    assert not any(isinstance(r, Log) for r in records) and counters.undecoded == 0
    token = [x for x in expected if x["address"] == chain.token.lower()]
    assert [(type(r).__event_name__, tuple(r)) for r in records if r.address == chain.token.lower()] == [
        ({chain.transfer_topic0: "Transfer"}.get(x["topics"][0], "Approval"), token_args(x)) for x in token]
    emitted = [{"block_number": r.block_number, "log_index": r.log_index, "address": r.address,
                "event": type(r).__event_name__, "args": dict(zip((s[0] for s in r.__schema__), r))}
               for r in records if r.address != chain.token.lower()]
    assert emitted == chain.emitted_events(0, last)
    assert {e["event"] for e in emitted} == {"Transfer", "Swap", "Note", "Tagged"}
    assert len(records) == counters.logs


@pytest.mark.parametrize("approvals, undecoded_from, warning", [
    # the ABI's topic0: the ERC-721 Transfers break the ERC-20 one's layout
    (False, "collectible", "logs of Transfer(address,address,uint256) from {address} are delivered undecoded: "
                           "4 topics, the event has 3"),
    (True, "token", None),  # the filter's own topic0: the token's Approvals fit no event
], ids=["abi-topic0", "filter-topic0"])
def test_logs_no_event_fits_are_delivered_as_logs_with_one_warning_per_contract(dev_node, demo_chain, caplog,
                                                                                  approvals, undecoded_from, warning):
    from devchain.chain import APPROVAL_TOPIC0

    chain = demo_chain
    chain.mine(30)  # more than one ERC-721 Transfer
    last = chain.head - 3
    f = EventFilter.for_address(chain.token)
    f.add_address(chain.collectible)
    if approvals:
        f.add_topic0(APPROVAL_TOPIC0)
    handler = Events()
    with caplog.at_level(logging.WARNING, logger="vorlane_follow"):
        counters = run(make_follower("sync", dev_node, chain, handler, to_block=last, abi=TRANSFER_ABI,
                                     event_filter=f, batch_size=5))
    address = getattr(chain, undecoded_from).lower()
    expected = raw_logs(chain, last, [chain.token, chain.collectible],
                        [APPROVAL_TOPIC0 if approvals else chain.transfer_topic0])
    logs = [e for e in handler.events if isinstance(e, Log)]
    assert [(e.block_number, e.log_index) for e in handler.events] == [
        (int(x["blockNumber"], 16), int(x["logIndex"], 16)) for x in expected]
    assert {e.address for e in logs} == {address} and counters.undecoded == len(logs) > 1
    assert all(tuple(r) == token_args(x) for r, x in zip(handler.events, expected) if not isinstance(r, Log))
    warnings = [r.getMessage() for r in caplog.records if "undecoded" in r.getMessage()]
    assert warnings == ([] if warning is None else [warning.format(address=address)])


def json_value(value, abi_type):
    """A decoded value as the command writes it."""
    if abi_type.endswith("]"):
        inner = abi_type[:abi_type.rindex("[")]
        return [json_value(v, inner) for v in value]
    if isinstance(value, bytes):
        return "0x" + value.hex()
    bits = re.fullmatch(r"u?int(\d+)", abi_type)
    return str(value) if bits and int(bits[1]) > 53 else value


@pytest.mark.parametrize("extra, events", [
    ([], {"Transfer", "Swap", "Note", "Tagged", "Approval"}),
    (["--event", "Swap", "--event", "Note"], {"Swap", "Note"}),
    (["--event", "Swap", "--topic0", "transfer"], {None}),  # an explicit --topic0 replaces the default
], ids=["all", "events", "topic0"])
def test_the_command_writes_decoded_lines(dev_node, demo_chain, tmp_path, extra, events):
    chain, last = demo_chain, demo_chain.head - 3
    abi = tmp_path / "abi.json"
    abi.write_text(json.dumps(contracts_abi()))
    extra = [chain.transfer_topic0 if word == "transfer" else word for word in extra]
    addresses = [chain.token, chain.collectible, chain.pool, chain.notes]
    code, out, err = finish(command("--rpc", dev_node.url, *(w for a in addresses for w in ("--address", a)),
                                    "--abi", abi, *extra, "--to-block", last, "--confirmations", 3,
                                    "--store", "memory"))
    assert (code, err) == (0, "")
    texts = out.splitlines()[1:]
    lines = [json.loads(text) for text in texts]
    assert {line.get("event") for line in lines} == events
    types = {f["name"]: [i["type"] for i in f["inputs"]] for f in contracts_abi() if f["type"] == "event"}
    emitted = {(e["block_number"], e["log_index"]): e for e in chain.emitted_events(0, last)}
    for line in lines:
        event = emitted.get((line["block_number"], line["log_index"]))
        if "event" not in line:  # let through by --topic0, fitting no given event: as it came
            assert line["topics"][0] == chain.transfer_topic0
        elif event is None:  # the token's, decoded by hand
            assert list(line["args"].values()) == [*token_args(line)[:2], str(token_args(line)[2])]
        else:
            assert line["event"] == event["event"]
            assert line["args"] == {name: json_value(value, abi_type) for (name, value), abi_type
                                    in zip(event["args"].items(), types[event["event"]])}
    assert len(lines) == len(raw_logs(chain, last, addresses, {x["topics"][0] for x in lines}))
    if "Transfer" in events:
        text, log = next((t, x) for t, x in zip(texts, lines)
                         if x.get("event") == "Transfer" and x["address"] == chain.token.lower())
        sender, receiver, value = token_args(log)
        assert text == (
            f'{{"type": "log", "block_number": {log["block_number"]}, "block_hash": "{log["block_hash"]}", '
            f'"transaction_hash": "{log["transaction_hash"]}", "log_index": {log["log_index"]}, '
            f'"address": "{chain.token.lower()}", "topics": ["{chain.transfer_topic0}", "{log["topics"][1]}", '
            f'"{log["topics"][2]}"], "data": "{log["data"]}", "event": "Transfer", '
            f'"args": {{"sender": "{sender}", "receiver": "{receiver}", "value": "{value}"}}}}')


@pytest.mark.parametrize("abi, events, message", [
    (None, ["Transfer"], "events= names events of an ABI: give abi= too"),
    (TRANSFER_ABI, ["Swap"], "no event 'Swap' in the ABI; it has: Transfer(address,address,uint256)"),
    ("", None, "the ABI has no events to decode"),
])
def test_an_unusable_abi_is_refused_at_construction(abi, events, message):
    from vorlane import IndexerConfig, InMemoryStorage
    from web3 import HTTPProvider, Web3

    from vorlane_follow import Follower

    with pytest.raises(ValueError) as raised:
        Follower(Web3(HTTPProvider("http://127.0.0.1:1")), IndexerConfig(), EventFilter(), InMemoryStorage(),
                 Events(), abi=abi, events=events)
    assert str(raised.value) == message
