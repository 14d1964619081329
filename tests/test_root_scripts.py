"""The scripts that run as root: under sudo they leave no root-owned files in
a work tree that belongs to someone else (scripts/owner.sh hands them back to
its owner, whichever way the script ends), and the Debian unstable root's
script says in one line what it found."""
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


NOT_A_MOUNT_POINT = ("sid-root.sh: / is not a mount point here (a chroot?): run this outside the chroot, or enter "
                     "the chroot after binding its folder onto itself (mount --bind DIR DIR)\n")


@pytest.mark.parametrize("args, mounted, status, stdout, stderr", [
    (["prepare"], True, 0, "==> the Debian unstable root in {sid} is ready (made before; remove the folder to "
                           "make it again)\n", ""),
    (["run", "true"], False, 1, "", NOT_A_MOUNT_POINT),
])
def test_sid_root_says_what_it_found(tmp_path, args, mounted, status, stdout, stderr):
    sid = tmp_path / "sid"
    (sid / "etc" / "vorlane").mkdir(parents=True)
    (sid / "etc" / "vorlane" / "prepared").touch()
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "mountpoint").write_text(f"#!/bin/sh\nexit {0 if mounted else 1}\n")
    (fake / "mountpoint").chmod(0o755)
    env = {**os.environ, "VORLANE_SID_ROOT": str(sid), "PATH": f"{fake}:{os.environ['PATH']}"}
    done = subprocess.run(["bash", str(ROOT / "scripts" / "sid-root.sh"), *args], env=env,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (status, stdout.format(sid=sid), stderr)
