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


def follow_extra():
    import tomllib
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]["optional-dependencies"]["follow"]


# The last command installs what the 'follow' extra names, word for word.
EXTRA = ("vorlane_follow needs web3.py >= 7.6, tqdm and pycryptodome (the 'follow' extra): "
         "pip install '.[follow]' from a checkout of vorlane, "
         "pip install './vorlane-VERSION-TAGS.whl[follow]' from a wheel file, "
         "or pip install " + " ".join(f"'{x}'" for x in follow_extra())
         + " (vorlane is not published on a package index yet)")


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


def test_the_package_lists_what_it_offers_and_every_name_resolves():
    pytest.importorskip("web3")
    import vorlane_follow
    public = {name for name in dir(vorlane_follow) if not name.startswith("_")}
    assert set(vorlane_follow.__all__) <= public
    # Beyond __all__, only its own submodules once imported: no helper imports.
    assert all(getattr(vorlane_follow, name) is sys.modules[f"vorlane_follow.{name}"]
               for name in public - {*vorlane_follow.__all__})
    assert all(getattr(vorlane_follow, name) is not None for name in vorlane_follow.__all__)
