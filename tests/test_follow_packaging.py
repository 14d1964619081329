"""vorlane_follow as a package: strictly typed, and clear about its extra."""

import subprocess
import sys

import pytest

from follow_support import ROOT


def test_the_package_type_checks_strictly(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("web3")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir",
                           str(tmp_path / "cache"), str(ROOT / "python" / "vorlane_follow")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


EXTRA = ("vorlane_follow needs web3.py, which comes with the 'follow' extra: "
         "pip install 'vorlane[follow]'")


@pytest.mark.parametrize("code, last_line, status", [
    ("import vorlane_follow.engine; from vorlane_follow import Follower",
     "ImportError: " + EXTRA, 1),
    ("from vorlane_follow.cli import main; sys.exit(main(['--rpc', 'http://127.0.0.1:9', '--store', 'memory',"
     " '--output', 'out.jsonl']))",
     "vorlane-follow: error: " + EXTRA, 1),
], ids=["library", "command"])
def test_without_web3_the_extra_is_named(tmp_path, code, last_line, status):
    done = subprocess.run([sys.executable, "-c", "import sys; sys.modules['web3'] = None; " + code],
                          env={"PYTHONPATH": str(ROOT / "python")}, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr.splitlines()[-1]) == (status, last_line)
    assert not (tmp_path / "out.jsonl").exists()
