"""Scripts run as root (under sudo) leave no root-owned files in a work tree
that belongs to someone else: scripts/owner.sh hands them back to its owner,
whichever way the script ends."""
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

SCRIPT = """set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mkdir -p .venv/bin tests/__pycache__
touch .venv/bin/python tests/__pycache__/x.pyc
[ "$1" != wait ] || sleep 60
exit "$1"
"""


def owners(tree):
    return {(p.stat().st_uid, p.stat().st_gid) for p in [tree, *tree.rglob("*")]}


@pytest.mark.parametrize("owner, how, status", [
    ((4242, 4343), "3", 3),
    ((4242, 4343), "wait", 130),  # Ctrl-C while it runs
    ((0, 0), "0", 0),             # root's own tree stays root's
])
def test_files_left_in_the_tree_belong_to_its_owner(tmp_path, owner, how, status):
    tree = tmp_path / "tree"
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "owner.sh", tree / "scripts")
    (tree / "scripts" / "make.sh").write_text(SCRIPT)
    for path in [tree, *tree.rglob("*")]:
        os.chown(path, *owner)
    env = {k: v for k, v in os.environ.items() if k != "VORLANE_TREE_OWNER"}
    run = subprocess.Popen(["bash", str(tree / "scripts" / "make.sh"), how], env=env, start_new_session=True)
    try:
        if how == "wait":
            deadline = time.monotonic() + 30
            while not (tree / "tests" / "__pycache__" / "x.pyc").exists():
                assert time.monotonic() < deadline and run.poll() is None
                time.sleep(0.05)
            os.killpg(run.pid, signal.SIGINT)
        assert run.wait(timeout=30) == status
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
    assert (tree / ".venv" / "bin" / "python").exists()
    assert owners(tree) == {owner}
