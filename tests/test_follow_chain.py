"""examples/follow_chain.py end to end, on a small chain with a real reorganisation.

Needs the ``examples`` extra (web3, eth-tester with py-evm, vyper).
"""

from __future__ import annotations

import io
import json
import os
import re
import shlex
import signal
import subprocess
import sys
from dataclasses import replace
from pathlib import Path

import pytest

pytest.importorskip("web3")
pytest.importorskip("eth_tester")
pytest.importorskip("eth")  # py-evm
pytest.importorskip("vyper")

import vorlane  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import follow_chain as fc  # noqa: E402

from eth_utils import keccak  # noqa: E402

APPROVAL_TOPIC0 = "0x" + keccak(text="Approval(address,address,uint256)").hex()
CHECKPOINT_FIELDS = ("chain_id", "indexer_id", "block_number", "block_hash", "updated_at")

# Setup takes blocks 1-7 (two deployments, five fundings), so the snapshot is
# taken at block 7 + 45 = 52; the abandoned branch runs to 64 and the indexer,
# 3 blocks behind, reads it up to 61 before the switch.
OPTIONS = fc.DemoOptions(
    blocks=90,
    reorg_depth=12,
    confirmation_depth=3,
    batch_size=7,
    checkpoint_interval=5,
    holders=6,
    seed=7,
)
SETUP_BLOCKS = 1 + 1 + (OPTIONS.holders - 1)


# The command-line runs: a smaller chain, three holders.
SMALL_CHAIN = [
    "--blocks", "30", "--reorg-depth", "7", "--confirmations", "2",
    "--batch-size", "4", "--checkpoint-interval", "3", "--holders", "3", "--seed", "3",
]


def vorlane_stores_or_skip():
    try:
        import vorlane_stores
    except ImportError:
        if os.environ.get("CI") is None:
            pytest.skip("vorlane_stores is not built in this environment")
        raise
    return vorlane_stores


@pytest.fixture(scope="module")
def demo():
    out, progress = io.StringIO(), io.StringIO()
    result = fc.run_demo(OPTIONS, out=out, progress_stream=progress)
    return result, out.getvalue(), progress.getvalue()


def canonical_logs(result, address, topic0):
    head = result.indexer.head.number
    return result.chain.w3.eth.get_logs(
        {"fromBlock": 0, "toBlock": head, "address": address, "topics": [topic0]}
    )


def log_key(log):
    return (fc.to_hex(log["transactionHash"]), log["logIndex"])


def checkpoint_attrs(checkpoint):
    return tuple(getattr(checkpoint, name) for name in CHECKPOINT_FIELDS)


def test_scenario_shape(demo):
    result, _, _ = demo
    assert result.fork_point == SETUP_BLOCKS + OPTIONS.blocks // 2 == 52
    assert result.orphaned_head == result.fork_point + OPTIONS.reorg_depth == 64
    # every block from genesis to the head is indexed, the last few are left unconfirmed
    indexer = result.indexer
    head = indexer.head.number
    assert head == result.chain.head - OPTIONS.confirmation_depth
    assert sorted(indexer.records) == list(range(0, head + 1))
    assert indexer.stats.blocks_indexed == head + 1
    # the chain really has empty blocks and blocks with several transfers
    records = indexer.records.values()
    assert any(r.summary.tx_count == 0 for r in records if r.summary.number > SETUP_BLOCKS)
    assert any(len(r.transfers) >= 3 for r in records)
    assert result.ok


def test_every_token_transfer_counted_once(demo):
    result, _, _ = demo
    expected = [log_key(log) for log in canonical_logs(result, result.chain.token.address, fc.TRANSFER_TOPIC0)]
    assert len(expected) == len(set(expected)) > 60
    indexed = result.indexer.matched_transfers()
    assert len(indexed) == len(set(indexed))
    assert set(indexed) == set(expected)
    assert result.indexer.stats.logs_matched == len(expected)


def test_block_summaries_chain_together(demo):
    result, _, _ = demo
    records = result.indexer.records
    w3 = result.chain.w3
    for number in range(1, result.indexer.head.number + 1):
        summary = records[number].summary
        assert summary.extends_parent(records[number - 1].summary)
        block = w3.eth.get_block(number)
        assert summary.hash == fc.to_hex(block["hash"])
        assert summary.tx_count == len(block["transactions"])


def test_foreign_contract_and_other_events_ignored(demo):
    result, _, _ = demo
    decoy_logs = canonical_logs(result, result.chain.decoy.address, fc.TRANSFER_TOPIC0)
    assert len(decoy_logs) > 5
    assert all(fc.to_hex(log["topics"][0]) == fc.TRANSFER_TOPIC0 for log in decoy_logs)
    assert result.indexer.stats.foreign_logs_ignored == len(decoy_logs)
    assert not {log_key(log) for log in decoy_logs} & set(result.indexer.matched_transfers())

    approvals = canonical_logs(result, result.chain.token.address, APPROVAL_TOPIC0)
    assert len(approvals) > 0
    assert result.indexer.stats.other_events_ignored == len(approvals)


def test_filter_matches_checksummed_and_lower_case_addresses(demo):
    result, _, _ = demo
    token = result.chain.token.address
    decoy = result.chain.decoy.address
    assert token != token.lower()  # the checksummed form has capitals
    filters = (result.event_filter, fc.build_filter(token), fc.build_filter(token.lower()))
    for event_filter in filters:
        assert event_filter.matches_address(token)
        assert event_filter.matches_address(token.lower())
        assert not event_filter.matches_address(decoy)
        assert not event_filter.matches_address(decoy.lower())
        assert event_filter.matches_topic0(fc.TRANSFER_TOPIC0)
        assert not event_filter.matches_topic0(APPROVAL_TOPIC0)


def test_indexer_accepts_either_address_form_in_logs():
    token = "0xF2E246BB76DF876Cef8b38ae84130F4F55De395b"
    decoy = "0x2946259E0334f33A064106302415aD3391BeD384"
    alice = "0x7E5F4552091A69125d5DfCb7b8C2659029395Bdf"
    bob = "0x2B5AD5c4795c026514f8317c7a215E218DcCD6cF"
    config = vorlane.IndexerConfig(id="t", chain="test", checkpoint_interval=1000)
    indexer = fc.TransferIndexer(None, config, fc.build_filter(token), vorlane.InMemoryStorage())

    def log(address, index, sender, receiver, value, topic0=fc.TRANSFER_TOPIC0):
        return {
            "address": address,
            "logIndex": index,
            "transactionHash": bytes([index]) * 32,
            "topics": [bytes.fromhex(topic0[2:]), bytes(12) + bytes.fromhex(sender[2:]),
                       bytes(12) + bytes.fromhex(receiver[2:])],
            "data": value.to_bytes(32, "big"),
        }

    summary = vorlane.BlockSummary(1, "0x" + "11" * 32, "0x" + "00" * 32, 1_700_000_000, 4)
    indexer.apply_block(
        summary,
        [
            log(token, 0, alice, bob, 100),
            log(token.lower(), 1, bob, alice, 30),
            log(decoy, 2, alice, bob, 7),
            log(token, 3, alice, bob, 5, topic0=APPROVAL_TOPIC0),
        ],
    )
    assert indexer.matched_transfers() == [("0x" + "00" * 32, 0), ("0x" + "01" * 32, 1)]
    assert indexer.balances == {alice: -70, bob: 70}
    assert indexer.stats.foreign_logs_ignored == 1
    assert indexer.stats.other_events_ignored == 1
    assert indexer.head is summary


def test_reorg_detected_and_rolled_back_to_the_right_checkpoint(demo):
    result, _, _ = demo
    w3 = result.chain.w3
    interval = OPTIONS.checkpoint_interval
    reorgs = result.indexer.stats.reorgs
    assert len(reorgs) == 1
    reorg = reorgs[0]

    read_until = result.orphaned_head - OPTIONS.confirmation_depth
    assert reorg.old_head == read_until == 61
    assert reorg.detected_at == read_until + 1
    assert reorg.fork_point == result.fork_point

    # The blocks dropped above the fork were really replaced: other hashes on
    # the chain now, and the first of them sat on the shared fork block.
    assert [s.number for s in reorg.orphaned] == list(range(result.fork_point + 1, read_until + 1))
    for summary in reorg.orphaned:
        assert summary.hash != fc.to_hex(w3.eth.get_block(summary.number)["hash"])
    assert reorg.orphaned[0].parent_hash == fc.to_hex(w3.eth.get_block(result.fork_point)["hash"])

    # A checkpoint (block 55, 60) was saved on the abandoned branch; the
    # rollback skipped it for the newest one at or below the fork.
    expected = (result.fork_point // interval) * interval
    assert expected == 50
    assert any(result.fork_point < n <= read_until for n in range(0, read_until + 1, interval))
    assert reorg.checkpoint is not None
    assert reorg.checkpoint.block_number == expected
    assert reorg.checkpoint.block_hash == fc.to_hex(w3.eth.get_block(expected)["hash"])
    assert reorg.resumed_from == expected + 1
    assert reorg.blocks_dropped == read_until - expected
    assert reorg.logs_dropped > 0


def test_balances_equal_balance_of(demo):
    result, _, _ = demo
    assert result.mismatches == {}
    token = result.chain.token
    balances = result.indexer.balances
    holders = set(result.chain.accounts) | set(balances)
    assert set(balances) == set(result.chain.accounts)
    for holder in holders:
        # the tail is confirmed, so the head's balances are also the latest ones
        assert balances.get(holder, 0) == token.functions.balanceOf(holder).call()
    assert sum(balances.values()) == fc.INITIAL_SUPPLY == token.functions.totalSupply().call()
    assert len(set(balances.values())) == len(balances)  # random transfers, no two alike


def test_checkpoints_load_back_as_saved(demo):
    result, _, _ = demo
    interval = OPTIONS.checkpoint_interval
    saved = result.indexer.saved_checkpoints
    w3 = result.chain.w3
    head = result.indexer.head.number
    # after the rollback only canonical checkpoints remain, one per interval,
    # and the finished run leaves one at its head
    assert [c.block_number for c in saved] == list(range(0, head + 1, interval)) + [head]
    for checkpoint in saved:
        assert checkpoint.chain_id == "eth-tester"
        assert checkpoint.indexer_id == "follow-chain"
        assert checkpoint.block_hash == fc.to_hex(w3.eth.get_block(checkpoint.block_number)["hash"])

    loaded = result.storage.load_checkpoint("eth-tester", "follow-chain")
    assert loaded is not None
    assert checkpoint_attrs(loaded) == checkpoint_attrs(saved[-1])
    # the checkpoint the rollback read back is the one saved at that block
    reorg = result.indexer.stats.reorgs[0]
    same_block = [c for c in saved if c.block_number == reorg.checkpoint.block_number]
    assert [checkpoint_attrs(c) for c in same_block] == [checkpoint_attrs(reorg.checkpoint)]
    # each one survives a round trip through a fresh storage
    storage = vorlane.InMemoryStorage()
    for checkpoint in saved:
        storage.save_checkpoint(checkpoint)
        loaded_back = storage.load_checkpoint("eth-tester", "follow-chain")
        assert checkpoint_attrs(loaded_back) == checkpoint_attrs(checkpoint)
    assert storage.load_checkpoint("eth-tester", "other") is None


def test_output_shows_config_progress_and_summary(demo):
    result, out, progress = demo
    config_lines = [line for line in out.splitlines() if line.startswith("config ")]
    assert len(config_lines) == 1
    assert json.loads(config_lines[0][len("config "):]) == {
        "id": "follow-chain",
        "chain": "eth-tester",
        "from_block": 0,
        "to_block": None,
        "confirmation_depth": OPTIONS.confirmation_depth,
        "batch_size": OPTIONS.batch_size,
        "checkpoint_interval": OPTIONS.checkpoint_interval,
        "poll_interval_ms": 0,
        "filter": {"addresses": [], "topic0_values": [], "from_block": None, "to_block": None},
    }
    # not a terminal: whole lines, no carriage returns
    assert "\r" not in progress and progress.endswith("\n")
    last = progress.splitlines()[-1]
    stats = result.indexer.stats
    assert last.startswith(f"block {result.indexer.head.number} (tip {result.chain.head}) | ")
    assert f"{stats.logs_matched} transfers matched | 1 reorgs handled" in last
    assert "blocks/s" in last
    assert f"  transfers matched     {stats.logs_matched}\n" in out
    assert f"  foreign logs ignored  {stats.foreign_logs_ignored} (decoy contract)\n" in out
    assert "  reorgs handled        1\n" in out
    assert "fork at 52; rolled back to checkpoint 50" in out
    assert f"  balances verified     {OPTIONS.holders} holders match balanceOf\n" in out

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    terminal = Terminal()
    line = fc.Progress(terminal)
    line.update(result.indexer)
    line.finish(result.indexer)
    redrawn = terminal.getvalue()
    assert redrawn.startswith("\rblock ") and redrawn.count("\r") == 2 and redrawn.endswith("\n")


def test_reorg_must_outrun_confirmations():
    with pytest.raises(ValueError, match="reorg_depth"):
        fc.run_demo(fc.DemoOptions(reorg_depth=4, confirmation_depth=4), out=None, progress_stream=None)



# ---- stop and resume ---------------------------------------------------------


def indexed_hashes(result):
    return {number: record.summary.hash for number, record in result.indexer.records.items()}


@pytest.fixture(scope="module", params=[40, 58], ids=["stop-before-fork", "stop-on-abandoned-branch"])
def resumed(request, tmp_path_factory):
    """A run stopped after N blocks, then the same command again on the same SQLite store.

    Block 57 lies on the branch that is abandoned later (fork at 52), so the
    second case meets the reorganisation only after the resume."""
    stores = vorlane_stores_or_skip()
    path = tmp_path_factory.mktemp("resume") / "checkpoints.db"
    options = replace(OPTIONS, store=fc.StoreSpec("sqlite", str(path)))
    first = fc.run_demo(replace(options, stop_after_blocks=request.param), out=None, progress_stream=None)
    with stores.SqliteStorage(path) as storage:
        stored = storage.load_checkpoint("eth-tester", "follow-chain")
    out = io.StringIO()
    second = fc.run_demo(options, out=out, progress_stream=None)
    return request.param, first, stored, second, out.getvalue()


def test_resumed_run_continues_right_after_the_checkpoint(resumed, demo):
    stop_after, first, stored, second, out = resumed
    uninterrupted = demo[0]
    assert first.stopped == f"stopped after {stop_after} blocks"
    assert first.indexer.stats.applied == list(range(stop_after))
    # the first run left its head as the checkpoint, the second took up exactly there
    assert (stored.block_number, stored.block_hash) == (stop_after - 1, first.indexer.head.hash)
    assert second.indexer.resumed_from.block_number == stored.block_number
    assert f"resuming from checkpoint at block {stored.block_number} ({stored.block_hash}) in sqlite:" in out
    assert second.indexer.stats.applied[0] == stored.block_number + 1
    # Together the two runs indexed exactly what one uninterrupted run does:
    # nothing twice, nothing skipped (blocks read again after the reorg included).
    applied = first.indexer.stats.applied + second.indexer.stats.applied
    assert applied == uninterrupted.indexer.stats.applied
    if stop_after < uninterrupted.fork_point:
        assert set(first.indexer.stats.applied).isdisjoint(second.indexer.stats.applied)
        assert set(applied) == set(range(second.indexer.head.number + 1))
    assert second.indexer.reorgs_handled == 1 and len(second.indexer.stats.reorgs) == 1


def test_resumed_run_rebuilds_the_same_chain_and_ends_with_the_same_index(resumed, demo):
    _, first, _, second, _ = resumed
    uninterrupted = demo[0]
    # block hashes repeat across runs: three chains, one history
    w3 = second.chain.w3
    for number, block_hash in indexed_hashes(first).items():
        if number <= uninterrupted.fork_point:
            assert fc.to_hex(w3.eth.get_block(number)["hash"]) == block_hash
    assert indexed_hashes(second) == indexed_hashes(uninterrupted)
    # each Transfer once, balances equal balanceOf
    expected = [log_key(log) for log in canonical_logs(second, second.chain.token.address, fc.TRANSFER_TOPIC0)]
    assert second.indexer.matched_transfers() == uninterrupted.indexer.matched_transfers()
    assert sorted(second.indexer.matched_transfers()) == sorted(expected)
    assert second.mismatches == {} and second.ok
    assert second.indexer.balances == uninterrupted.indexer.balances
    assert second.indexer.stats.logs_matched == len(expected)


def test_state_written_after_the_checkpoint_is_cut_back_to_it(demo):
    result = demo[0]
    chain, indexer = result.chain, result.indexer
    state = indexer.snapshot()  # head 97; as if a stop came before checkpoint 97 was stored
    checkpoint = indexer.saved_checkpoints[-3]
    assert checkpoint.block_number == 90
    resumed = fc.TransferIndexer(chain.w3, result.config, result.event_filter, fc.MemoryStore())
    resumed.resume(checkpoint, state)
    assert sorted(resumed.records) == list(range(91))
    assert resumed.stored_block == 90 and resumed.reorgs_handled == 1
    for holder in chain.accounts:
        assert resumed.balances[holder] == chain.token.functions.balanceOf(holder).call(block_identifier=90)
    assert resumed.stats.logs_matched == sum(len(resumed.records[n].transfers) for n in range(91))

    elsewhere = vorlane.Checkpoint("eth-tester", "follow-chain", 90, "0x" + "ab" * 32)
    with pytest.raises(fc.ResumeError, match=f"does not hold block 90 {elsewhere.block_hash} "):
        fc.TransferIndexer(chain.w3, result.config, result.event_filter, fc.MemoryStore()).resume(elsewhere, state)


@pytest.mark.parametrize("kind", ["memory", "sqlite"])
def test_second_indexer_on_the_same_pair_fails_instead_of_overwriting(kind, tmp_path):
    if kind == "memory":
        shared = fc.MemoryStore()
        stores = (shared, shared)
    else:
        sqlite = vorlane_stores_or_skip().SqliteStorage
        stores = (sqlite(tmp_path / "c.db"), sqlite(tmp_path / "c.db"))
    config = vorlane.IndexerConfig(id="follow-chain", chain="eth-tester", checkpoint_interval=1)
    token = "0xF2E246BB76DF876Cef8b38ae84130F4F55De395b"
    one, two = (fc.TransferIndexer(None, config, fc.build_filter(token), store) for store in stores)

    def block(number, tag):
        return vorlane.BlockSummary(number, f"0x{tag}{number}", f"0x{tag}{number - 1}", 1_700_000_000, 0)

    one.apply_block(block(0, "a"), [])
    with pytest.raises(RuntimeError, match=r"^Checkpoint mismatch at block 0$"):
        two.apply_block(block(0, "b"), [])  # expects nothing stored
    one.apply_block(block(1, "a"), [])
    two.stored_block = 0  # even a stale view of the pair cannot overwrite
    with pytest.raises(RuntimeError, match=r"^Checkpoint mismatch at block 1$"):
        two.apply_block(block(1, "b"), [])
    stored = stores[0].load_checkpoint("eth-tester", "follow-chain")
    assert (stored.block_number, stored.block_hash) == (1, "0xa1")


# ---- the command line --------------------------------------------------------


@pytest.fixture(scope="module")
def interrupted(tmp_path_factory):
    """SIGINT once indexing has begun, then the resume command the run printed."""
    vorlane_stores_or_skip()
    workdir = tmp_path_factory.mktemp("interrupt")
    command = [sys.executable, str(EXAMPLES / "follow_chain.py"), *SMALL_CHAIN, "--store", "sqlite:run.db"]
    process = subprocess.Popen(command, cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first_line = process.stderr.readline()  # the first progress line
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    stopped = subprocess.CompletedProcess(command, process.returncode, out, first_line + err)
    hint = re.search(r"resume with:\n  (.+)\n", out)
    assert hint is not None, out + err
    again = subprocess.run(shlex.split(hint.group(1)), cwd=workdir, capture_output=True, text=True, timeout=300)
    return stopped, again


def test_interrupt_saves_a_checkpoint_and_the_printed_command_resumes(interrupted):
    stopped, again = interrupted
    assert stopped.returncode == 130, stopped.stdout + stopped.stderr
    assert "Traceback" not in stopped.stderr
    assert "summary so far (interrupted)\n" in stopped.stdout
    head = int(re.search(r"checkpoint at block (\d+) saved in sqlite:run\.db; resume with:\n", stopped.stdout)[1])
    assert f"(head {head} 0x" in stopped.stdout

    assert again.returncode == 0, again.stdout + again.stderr
    assert f"resuming from checkpoint at block {head} (0x" in again.stdout
    assert "\n  reorgs handled        1" in again.stdout
    assert "  balances verified     3 holders match balanceOf\n" in again.stdout
    for run in interrupted:  # into a pipe the progress comes as plain lines
        assert "\r" not in run.stdout + run.stderr
        assert re.search(r"^block \d+ \(tip \d+\) \| ", run.stderr, re.MULTILINE)


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--holders", "20"], "argument --holders: must be between 2 and 10, got 20"),
        (["--batch-size", "0"], "argument --batch-size: must be at least 1, got 0"),
        (["--blocks", "-5"], "argument --blocks: must be at least 1, got -5"),
        (["--checkpoint-interval", "2.5"], "argument --checkpoint-interval: expected a whole number, got '2.5'"),
        (["--stop-after-blocks", "0"], "argument --stop-after-blocks: must be at least 1, got 0"),
        (["--store", "sqlite:"], "argument --store: expected sqlite:PATH, postgres:DSN or memory, got 'sqlite:'"),
        (["--store", "mysql:x"], "argument --store: expected sqlite:PATH, postgres:DSN or memory, got 'mysql:x'"),
        (["--reorg-depth", "6"], "--reorg-depth (6) must exceed --confirmations (6), "
                                 "or the indexer never sees the abandoned branch"),
    ],
)
def test_bad_option_values_are_usage_errors(argv, message, capsys):
    with pytest.raises(SystemExit) as stop:
        fc.parse_args(argv)
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: ")
    assert err.endswith(f": error: {message}\n")


def test_without_the_examples_extra_it_names_the_install_command():
    script = str(EXAMPLES / "follow_chain.py")
    code = f"import runpy, sys; sys.modules['web3'] = None; sys.argv = [{script!r}]; runpy.run_path({script!r}, run_name='__main__')"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == (
        "follow_chain.py needs vorlane with its 'examples' extra (module 'web3' is missing).\n"
        "Install both from the repository root with:  pip install '.[examples]'\n"
    )
