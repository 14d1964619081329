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


@pytest.mark.parametrize("argv0, code, stderr", [
    ("", "import vorlane_follow", None),
    # what the console script does
    ("/venv/bin/vorlane-follow", "from vorlane_follow.cli import main; main()", "vorlane-follow: error: " + EXTRA + "\n"),
], ids=["library", "command"])
def test_without_web3_the_extra_is_named(argv0, code, stderr):
    done = subprocess.run([sys.executable, "-c", f"import sys; sys.modules['web3'] = None; sys.argv[0] = {argv0!r}; "
                           + code], env={"PYTHONPATH": str(ROOT / "python")}, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 1
    if stderr is None:
        assert done.stderr.splitlines()[-1] == "ImportError: " + EXTRA
    else:
        assert done.stderr == stderr
