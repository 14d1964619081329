"""PostgresStorage's timeout: calls end when the server, or something in
between, stops answering; catalog table names are refused."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("vorlane_stores")
from vorlane_stores import PostgresStorage  # noqa: E402

HELPER = pathlib.Path(__file__).with_name("pg_blackhole.py")
OPERATIONS = ["construction", "save_checkpoint", "load_checkpoint", "delete_checkpoint",
              "save_checkpoint_if"]
# The block number of the pair the operation ran on once traffic flowed again.
AFTER = {"construction": 7, "save_checkpoint": 8, "load_checkpoint": 7,
         "delete_checkpoint": None, "save_checkpoint_if": 8}
TIMEOUT = 1.0

# Each case waits out a timeout, so the matrix runs under one Python only.
pytestmark = pytest.mark.skipif(sys.version_info[:2] != (3, 11),
                                reason="the blackhole cases run under Python 3.11 only")


def _namespace_reason():
    try:
        probe = subprocess.run(["unshare", "-n", "true"], capture_output=True, text=True, timeout=30)
    except FileNotFoundError as e:
        return str(e)
    return None if probe.returncode == 0 else probe.stderr.strip() or f"exit {probe.returncode}"


@pytest.fixture(scope="module")
def server_dsn(pg_server):
    if not pg_server.dsn.split()[0].startswith("host=/"):
        pytest.skip("the blackholes relay to a server on a Unix socket (host=/dir in the DSN)")
    return pg_server.dsn


def run_blackhole(kind, operation, server_dsn, timeout=TIMEOUT, extra=""):
    command = [sys.executable, str(HELPER), kind, operation, str(timeout), server_dsn, extra]
    if kind == "silent":
        reason = _namespace_reason()
        if reason:
            message = f"cannot make a network namespace (unshare -n): {reason}"
            if os.environ.get("CI"):
                pytest.fail(message)
            pytest.skip(message)
        command = ["unshare", "-n", *command]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("kind", ["acking", "silent"])
def test_call_into_a_blackhole_times_out_then_the_store_recovers(kind, operation, server_dsn):
    outcome = run_blackhole(kind, operation, server_dsn)
    assert outcome["error"] == "Storage error: timed out after 1 s waiting for the server"
    assert TIMEOUT <= outcome["elapsed"] < 3 * TIMEOUT
    assert outcome["after"] == AFTER[operation]


def test_a_stricter_tcp_user_timeout_in_the_dsn_still_applies(server_dsn):
    outcome = run_blackhole("silent", "save_checkpoint", server_dsn, timeout=30,
                            extra="tcp_user_timeout=500")
    assert outcome["error"].startswith("Storage error: ")
    assert "Connection timed out" in outcome["error"]
    assert outcome["elapsed"] < 5
    assert outcome["after"] == 8
