import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest


def run_python(code: str, **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


@pytest.fixture
def python_subprocess():
    return run_python


ROOT = pathlib.Path(__file__).resolve().parent.parent


def pg_script(*args: str, **kwargs) -> subprocess.CompletedProcess:
    """Runs scripts/pg.sh. The server it starts must not inherit a sanitizer
    runtime preloaded into the tests' interpreter."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    return subprocess.run(["bash", ROOT / "scripts" / "pg.sh", *args], env=env,
                          capture_output=True, text=True, **kwargs)


class PgServer:
    """A PostgreSQL server for the tests: the one VORLANE_TEST_PG_DSN names, or
    a throwaway cluster started by scripts/pg.sh."""

    def __init__(self, dsn: str, directory: str | None):
        self.dsn = dsn
        self.directory = directory

    def restart(self) -> None:
        if not self.directory:
            pytest.skip("the server named by VORLANE_TEST_PG_DSN cannot be restarted by the tests")
        pg_script("restart", self.directory, check=True, timeout=120)


@pytest.fixture(scope="session")
def pg_server():
    dsn = os.environ.get("VORLANE_TEST_PG_DSN")
    if dsn:
        yield PgServer(dsn, os.environ.get("VORLANE_TEST_PG_DIR"))
        return
    # Directly under /tmp: the server may run as another OS user, who must
    # be able to reach the socket folder.
    directory = tempfile.mkdtemp(prefix="vorlane-pg.", dir="/tmp")
    started = pg_script("start", directory, timeout=180)
    if started.returncode != 0:
        shutil.rmtree(directory, ignore_errors=True)
        reason = "no PostgreSQL server for the tests: " + started.stderr.strip()
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    try:
        yield PgServer(started.stdout.strip(), directory)
    finally:
        pg_script("stop", directory, timeout=120)
        shutil.rmtree(directory, ignore_errors=True)


# The demo chain and the JSON-RPC dev node in front of it (examples/devchain).
from devnode_fixture import demo_chain, demo_chain_base, dev_node  # noqa: E402,F401
