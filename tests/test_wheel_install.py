"""A binary wheel installed on a machine without the libraries it links in.

scripts/wheel_test.sh runs the whole suite against a wheel installed into a
fresh virtualenv, with every system copy of those libraries and every compiler
covered by an empty file. These tests check that this is so, and what only
that run can see: the wheel's own contents and PostgreSQL over TCP and TLS.
Elsewhere they are skipped.
"""
import ctypes
import importlib.metadata
import os
import subprocess
import sys
import tomllib
import uuid
from pathlib import Path

import pytest

TCP_DSN = os.environ.get("VORLANE_WHEEL_TEST_TCP_DSN")
pytestmark = pytest.mark.skipif(not TCP_DSN, reason="run by scripts/wheel_test.sh")
ROOT = Path(__file__).resolve().parent.parent


# simdjson's soname changes with each release: the one installed here (3.x on
# Debian 12, 4.x in the Debian unstable root).
SIMDJSON = min((p.name for p in Path("/usr/lib").glob("*/libsimdjson.so.*")), key=len, default="libsimdjson.so")


@pytest.mark.parametrize("soname", ["libpq.so.5", "libsodium.so.23", "libsqlite3.so.0",
                                    "libssl.so.3", "libcrypto.so.3", SIMDJSON])
def test_system_library_cannot_be_loaded(soname):
    with pytest.raises(OSError):
        ctypes.CDLL(soname)


@pytest.mark.parametrize("compiler", ["cc", "c++", "gcc", "g++"])
def test_no_compiler_runs(compiler):
    try:
        result = subprocess.run([compiler, "--version"], capture_output=True, timeout=30)
    except OSError:
        return
    assert result.returncode != 0


def test_modules_are_the_wheels():
    import vorlane
    import vorlane_rpc
    import vorlane_stores

    for module in (vorlane, vorlane_stores, vorlane_rpc):
        assert Path(module.__file__).is_relative_to(sys.prefix), module.__file__
    wheel = importlib.metadata.distribution("vorlane").read_text("WHEEL")
    assert "Tag: cp%d%d-cp%d%d-manylinux_2_34_x86_64" % (sys.version_info[:2] * 2) in wheel


def installed_files():
    return {f.as_posix() for f in importlib.metadata.files("vorlane")}


def test_stubs_and_packages_are_installed_as_from_source():
    """Every stub, py.typed and module of the tree's stub folders and of the
    pure-Python packages pyproject.toml lists is in the wheel."""
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["scikit-build"]
    folders = [ROOT / "stubs" / p for p in ("vorlane-stubs", "vorlane_stores-stubs", "vorlane_rpc-stubs")]
    folders += [ROOT / p for p in config.get("wheel", {}).get("packages", [])]
    expected = {f.relative_to(folder.parent).as_posix()
                for folder in folders for f in folder.rglob("*")
                if f.suffix in (".py", ".pyi") or f.name == "py.typed"}
    assert expected
    assert expected <= installed_files()


@pytest.mark.parametrize("name, phrase", [
    ("LICENSE", "MIT License"),
    ("libpq/COPYRIGHT", "PostgreSQL Database Management System"),
    ("openssl/Apache-2.0", "Apache License"),
    ("openssl/copyright", "Upstream-Name: OpenSSL"),
    ("libsodium/copyright", "License: ISC"),
    ("sqlite/copyright", "public domain"),
    ("asio/copyright", "License: Boost"),
    ("nlohmann-json/copyright", "License: Expat"),
    ("simdjson/LICENSE", "Apache License"),
])
def test_licence_texts_are_in_the_metadata(name, phrase):
    dist = importlib.metadata.distribution("vorlane")
    assert phrase in dist.read_text(f"licenses/{name}")


def test_sqlite_storage_round_trip(tmp_path):
    from vorlane import Checkpoint
    from vorlane_stores import SqliteStorage

    with SqliteStorage(tmp_path / "c.db") as storage:
        storage.save_checkpoint(Checkpoint("1", "wheel", 7, "0xab", 5))
    with SqliteStorage(tmp_path / "c.db") as storage:
        cp = storage.load_checkpoint("1", "wheel")
    assert (cp.block_number, cp.block_hash, cp.updated_at) == (7, "0xab", 5)


@pytest.mark.parametrize("route, options, tls", [
    ("socket", "", False),
    ("tcp", "sslmode=disable", False),
    ("tls", "sslmode=require", True),
])
def test_postgres_storage_round_trip(route, options, tls):
    """The server's log of the store's connection tells how it came in."""
    from vorlane import Checkpoint
    from vorlane_stores import PostgresStorage

    name = f"wheel-{route}-{uuid.uuid4().hex[:8]}"
    base = os.environ["VORLANE_TEST_PG_DSN"] if route == "socket" else TCP_DSN
    with PostgresStorage(f"{base} {options} application_name={name}", table="wheel_checkpoints") as storage:
        storage.save_checkpoint(Checkpoint("1", name, 7, "0xab", 5))
        cp = storage.load_checkpoint("1", name)
        storage.delete_checkpoint("1", name)
    assert (cp.block_number, cp.block_hash, cp.updated_at) == (7, "0xab", 5)
    log = Path(os.environ["VORLANE_WHEEL_TEST_PG_LOG"]).read_text()
    (line,) = [line for line in log.splitlines()
               if "connection authorized:" in line and f"application_name={name}" in line]
    assert (" 127.0.0.1 LOG:" in line, " SSL enabled (protocol=TLS" in line) == (route != "socket", tls), line
