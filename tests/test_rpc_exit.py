"""vorlane_rpc.decode() in daemon threads while the interpreter exits: the
threads parse with the GIL released, so they go on while the process runs
its exit-time destructors. Each child starts 12 of them decoding a ~10 MB
answer over and over and returns from its main code once they are under way;
every child must end with status 0 and nothing on stderr."""
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

pytestmark = pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="one Python version is enough")

CHILD = """
import sys, threading, vorlane_rpc
body = open(sys.argv[1], "rb").read()
kinds = bytes([vorlane_rpc.HEADER]) * int(sys.argv[2])
decoded = threading.Semaphore(0)

def work():
    while True:
        vorlane_rpc.decode(body, kinds)
        decoded.release()

for _ in range(12):
    threading.Thread(target=work, daemon=True).start()
for _ in range(3):
    decoded.acquire()
"""

# Under the sanitizers a child takes several times as long; fewer of them
# still meet a parse cut off by the exit.
CHILDREN = 10 if os.environ.get("VORLANE_SANITIZED") else 100


def test_exit_while_daemon_threads_decode(tmp_path):
    tx = "0x" + "ab" * 32
    header = {"number": "0x1", "hash": tx, "parentHash": tx, "timestamp": "0x1",
              "logsBloom": "0x" + "00" * 256, "transactions": [tx] * 150}
    count = 900
    answer = tmp_path / "answer.json"
    answer.write_bytes(json.dumps([{"jsonrpc": "2.0", "id": i, "result": header}
                                   for i in range(count)]).encode())
    assert 9e6 < answer.stat().st_size < 11e6
    # Freed large blocks go back to the system at once (no reuse from the
    # heap), so that a parse reading memory freed at exit faults.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")

    def child(_):
        try:
            done = subprocess.run([sys.executable, "-c", CHILD, str(answer), str(count)], env=env,
                                  capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            return "hung"
        return (done.returncode, done.stderr)

    with ThreadPoolExecutor(4) as pool:
        outcomes = list(pool.map(child, range(CHILDREN)))
    failed = [outcome for outcome in outcomes if outcome != (0, "")]
    assert failed == []
