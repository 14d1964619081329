"""examples/follow_chain.py end to end: the follower over HTTP through a real reorganisation."""

from __future__ import annotations

import io
import os
import re
import shlex
import signal
import subprocess
import sys
from dataclasses import replace

import pytest

from devnode_fixture import EXAMPLES

for _module in ("web3", "eth_tester", "eth", "vyper", "vorlane_follow"):
    pytest.importorskip(_module)

import follow_chain as fc  # noqa: E402

# Setup takes blocks 1-7, so the fork is at 7 + 30 = 37; the abandoned branch
# is 38..45 and the follower, 3 blocks behind, reads it up to 42.
OPTIONS = fc.DemoOptions(blocks=60, reorg_depth=8, confirmation_depth=3, batch_size=7, checkpoint_interval=5,
                         seed=3)
# Whole runs of the example are pure Python: one interpreter is enough.
one_python = pytest.mark.skipif(sys.version_info[:2] != (3, 11) or bool(os.environ.get("VORLANE_SANITIZED"))
                                or bool(os.environ.get("VORLANE_SKIP_SLOW")),
                                reason="runs of the whole example go on Python 3.11 only, without "
                                       "sanitizers, from the tree's build")
SMALL = ["--blocks", "60", "--reorg-depth", "8", "--confirmations", "3", "--batch-size", "7",
         "--checkpoint-interval", "5", "--seed", "3"]


def stores_or_skip():
    try:
        import vorlane_stores  # noqa: F401
    except ImportError:
        if os.environ.get("CI") is None:
            pytest.skip("vorlane_stores is not built in this environment")
        raise


def canonical_transfers(result):
    chain = result.chain
    lines = chain.canonical_logs(0, result.to_block, [chain.token], [chain.transfer_topic0])
    return [(line["block_number"], line["transaction_hash"], line["log_index"]) for line in lines]


@pytest.fixture(scope="module")
def uninterrupted():
    out = io.StringIO()
    return fc.run_demo(OPTIONS, out=out), out.getvalue()


def test_follows_through_the_reorganisation(uninterrupted):
    result, out = uninterrupted
    chain = result.chain
    assert result.fork_point == 37 and result.to_block == 37 + 12 + 18
    assert result.head == (result.to_block, chain.block(result.to_block).hash)
    assert result.counters.rollback_depths == [42 - 37]
    assert result.book.blocks() == result.to_block + 1
    transfers = canonical_transfers(result)
    assert len(transfers) > 60 and result.book.transfers() == transfers
    # the decoy's Transfers and the token's Approvals were there to be ignored
    assert chain.canonical_logs(0, result.to_block, [chain.decoy], [chain.transfer_topic0])
    assert len(chain.canonical_logs(0, result.to_block, [chain.token])) > len(transfers)
    assert result.mismatches == {} and result.ok
    assert "reorganised: blocks 38..45 replaced by 12 others\n" in out
    assert "  rollbacks             1 (depths: 5)\n" in out
    assert "  balances verified     6 holders match balanceOf\n" in out


@pytest.fixture(scope="module", params=[30, 42], ids=["stop-before-fork", "stop-on-abandoned-branch"])
def resumed(request, tmp_path_factory):
    """A run stopped after N blocks, then the same options again on the same SQLite store."""
    stores_or_skip()
    path = tmp_path_factory.mktemp("resume") / "checkpoints.db"
    options = replace(OPTIONS, store=f"sqlite:{path}")
    first = fc.run_demo(replace(options, stop_after_blocks=request.param), out=None)
    out = io.StringIO()
    second = fc.run_demo(options, out=out)
    return request.param, first, second, out.getvalue()


@one_python
def test_resumed_run_ends_where_an_uninterrupted_one_does(resumed, uninterrupted):
    stop_after, first, second, out = resumed
    whole = uninterrupted[0]
    assert first.stopped == f"stopped after {stop_after} blocks"
    assert first.head[0] == stop_after - 1
    checkpoint = second.resumed_from
    assert (checkpoint.block_number, checkpoint.block_hash) == first.head
    assert out.startswith(f"resuming from checkpoint at block {stop_after - 1} ({first.head[1]}) in sqlite:")
    assert second.counters.blocks == whole.counters.blocks - stop_after
    assert second.head == whole.head
    assert second.book.transfers() == whole.book.transfers()
    assert second.book.balances() == whole.book.balances()
    assert second.counters.rollback_depths == [5] and second.ok


@one_python
def test_interrupt_saves_a_checkpoint_and_the_printed_command_resumes(tmp_path):
    stores_or_skip()
    command = [sys.executable, str(EXAMPLES / "follow_chain.py"), *SMALL, "--store", "sqlite:run.db"]
    process = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for line in process.stdout:
            if line.startswith("reorganised: "):
                process.send_signal(signal.SIGINT)
                break
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 130, out + err
    assert "Traceback" not in err and "summary so far (interrupted)\n" in out
    hint = re.search(r"stopped; the same command carries on from the last checkpoint in sqlite:run\.db:\n  (.+)\n",
                     out)
    assert hint is not None, out
    again = subprocess.run(shlex.split(hint.group(1)), cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert again.returncode == 0, again.stdout + again.stderr
    assert again.stdout.startswith("resuming from checkpoint at block ")
    assert "  balances verified     6 holders match balanceOf\n" in again.stdout


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--holders", "20"], "argument --holders: must be between 2 and 10, got 20"),
        (["--batch-size", "0"], "argument --batch-size: must be at least 1, got 0"),
        (["--checkpoint-interval", "2.5"], "argument --checkpoint-interval: expected a whole number, got '2.5'"),
        (["--store", "sqlite:"], "argument --store: expected sqlite:PATH, postgres:DSN or memory, got 'sqlite:'"),
        (["--reorg-depth", "6"], "--reorg-depth (6) must exceed --confirmations (6), "
                                 "or the follower never sees the abandoned branch"),
    ],
)
def test_bad_option_values_are_usage_errors(argv, message, capsys):
    with pytest.raises(SystemExit) as stop:
        fc.parse_args(argv)
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: ") and err.endswith(f": error: {message}\n")


@pytest.mark.parametrize("argv, code", [(["--help"], 0), ([], 1)])
def test_heavy_imports_come_after_the_options(argv, code):
    script = str(EXAMPLES / "follow_chain.py")
    blocked = "; ".join(f"sys.modules[{name!r}] = None" for name in ("web3", "devchain", "vorlane_follow", "vorlane"))
    run = f"import runpy, sys; {blocked}; sys.argv = [{script!r}, *{argv!r}]; runpy.run_path({script!r}, run_name='__main__')"
    done = subprocess.run([sys.executable, "-c", run], capture_output=True, text=True, timeout=60)
    assert done.returncode == code, done.stderr
    if code == 0:
        assert done.stdout.startswith("usage: ")
    else:
        assert done.stderr == (
            "follow_chain.py needs vorlane with its 'examples' and 'follow' extras (module 'devchain' is missing).\n"
            "Install them from the repository root with:  pip install '.[examples,follow]'\n"
        )


def test_a_checkpoint_without_the_handlers_state_is_refused(tmp_path):
    stores_or_skip()
    import vorlane
    import vorlane_stores

    path = tmp_path / "c.db"
    with vorlane_stores.SqliteStorage(path) as storage:
        storage.save_checkpoint(vorlane.Checkpoint("131277322940537", "follow-chain", 9, "0x" + "ab" * 32))
    with pytest.raises(fc.ResumeError) as refused:
        fc.run_demo(replace(OPTIONS, store=f"sqlite:{path}"), out=None)
    assert str(refused.value) == (
        f"sqlite:{path} holds a checkpoint at block 9, but the handler's state {path}.state.db does not hold "
        "that block; start over with --fresh"
    )
