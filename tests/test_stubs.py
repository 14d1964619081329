"""The installed stub package: it matches the module and mypy finds it.

Everything runs from a temporary directory against the installed module, so
neither the source tree's stubs nor its tests directory can stand in for the
installed copy.
"""
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

DATA = Path(__file__).parent / "data"
SOURCE_STUB = Path(__file__).parent.parent / "stubs" / "vorlane-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    path = tmp_path_factory.mktemp("typing")
    for name in ("typing_usage.py", "typing_misuse.py"):
        shutil.copy(DATA / name, path / name)
    # Files for mypy's cache, not SQLite: the interpreter's sqlite3 module is
    # missing where the system's SQLite library is (the installed-wheel run).
    (path / "mypy.ini").write_text("[mypy]\nsqlite_cache = False\n")
    return path


def run_tool(args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def mypy(workdir, *args):
    return run_tool(["-m", "mypy", "--no-color-output", "--cache-dir", str(workdir / ".mypy_cache"), *args], workdir)


def installed_stub(package):
    files = importlib.metadata.files("vorlane") or []
    (installed,) = [f for f in files if f.as_posix() == f"{package}/__init__.pyi"]
    return Path(installed.locate()).resolve()


@pytest.mark.parametrize("package", ["vorlane-stubs", "vorlane_stores-stubs"])
def test_installed_stubs_are_the_ones_in_the_tree(package):
    source = SOURCE_STUB.parent.parent / package / "__init__.pyi"
    assert installed_stub(package).read_text() == source.read_text(), "reinstall the module"


def test_stubtest_agrees_with_the_modules(workdir):
    result = run_tool(["-m", "mypy.stubtest", "--mypy-config-file", "mypy.ini", "vorlane", "vorlane_stores"], workdir)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 2 modules" in result.stdout


def test_usage_type_checks_strictly_against_the_installed_stub(workdir):
    result = mypy(workdir, "--strict", "--verbose", "--no-incremental", "typing_usage.py")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "Success: no issues found in 1 source file"
    parsed = re.findall(r"^LOG:  Parsing (.+) \(vorlane\)$", result.stderr, re.M)
    assert [Path(p).resolve() for p in parsed] == [installed_stub("vorlane-stubs")]


def test_usage_runs(workdir):
    result = run_tool(["typing_usage.py"], workdir)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "ok\n"


def test_misuse_is_rejected_exactly_where_marked(workdir):
    source = (workdir / "typing_misuse.py").read_text().splitlines()
    expected = {
        (number, m.group(1))
        for number, line in enumerate(source, start=1)
        if (m := re.search(r"# expect: ([a-z-]+)$", line))
    }
    assert len(expected) >= 10
    result = mypy(workdir, "typing_misuse.py")
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {
        (int(m.group(1)), m.group(2))
        for m in re.finditer(r"^typing_misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)
    }
    assert reported == expected, result.stdout
