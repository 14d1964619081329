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


def test_importing_without_web3_names_the_extra():
    done = subprocess.run([sys.executable, "-c", "import sys; sys.modules['web3'] = None; import vorlane_follow"],
                          env={"PYTHONPATH": str(ROOT / "python")}, capture_output=True, text=True, timeout=60)
    assert done.stderr.splitlines()[-1] == (
        "ImportError: vorlane_follow needs web3.py, which comes with the 'follow' extra: "
        "pip install 'vorlane[follow]'")
