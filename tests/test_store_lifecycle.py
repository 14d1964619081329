"""The stores around calls that do not end normally: interpreter exit and
fork() with threads inside calls, many writer processes on one SQLite file,
and a database file that disappears from its path."""

import fcntl
import os
import shutil
import stat
import struct
import subprocess
import sys
import threading
import time
import uuid
import warnings

import pytest
from optional_modules import importable

from vorlane import Checkpoint, InMemoryStorage

vorlane_stores = pytest.importorskip("vorlane_stores")
from vorlane_stores import PostgresStorage, SqliteStorage  # noqa: E402

# The multi-process cases run in full on one Python only (and not under the
# sanitizers), to keep CI short.
FULL = sys.version_info[:2] == (3, 11) and not os.environ.get("VORLANE_SANITIZED")


def runs(full: int, other: int) -> int:
    return full if FULL else other


@pytest.fixture(params=["memory", "sqlite", "postgres"])
def store_kind(request):
    return request.param


def location(kind, tmp_path, request):
    if kind == "sqlite":
        return str(tmp_path / "checkpoints.db")
    if kind == "postgres":
        return request.getfixturevalue("pg_server").dsn
    return ""


def open_store(kind, where, table):
    if kind == "memory":
        return InMemoryStorage()
    cls = SqliteStorage if kind == "sqlite" else PostgresStorage
    return cls(where, table=table)


EXIT_PROGRAM = """
import os, random, sys, threading, time
from vorlane import Checkpoint, InMemoryStorage
kind, where, table = sys.argv[1:4]
if kind == "memory":
    storage = InMemoryStorage()
else:
    import vorlane_stores
    cls = vorlane_stores.SqliteStorage if kind == "sqlite" else vorlane_stores.PostgresStorage
    storage = cls(where, table=table)

def work(worker):
    n = 0
    while True:
        n += 1
        storage.save_checkpoint(Checkpoint("exit", str(worker), n, "h", n))
        os.write(1, f"{worker} {n}\\n".encode())  # the save returned
        storage.load_checkpoint("exit", str(worker))
        if kind != "memory":
            storage.save_checkpoint_if(
                Checkpoint("exit-if", str(worker), n, "h", n), n - 1 if n > 1 else None)

for worker in range(4):
    threading.Thread(target=work, args=(worker,), daemon=True).start()
time.sleep(random.uniform(0.005, 0.1))
sys.exit(3)
"""


def test_exit_with_threads_inside_calls(store_kind, tmp_path, request):
    """The main thread exits while daemon threads save and load: Python's
    exit status every time, and every save that returned is stored."""
    where = location(store_kind, tmp_path, request)
    for run in range(runs(24, 6)):
        table = "exit_" + uuid.uuid4().hex[:12]
        done = subprocess.run([sys.executable, "-c", EXIT_PROGRAM, store_kind, where, table],
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (3, ""), f"run {run}"
        returned = {}
        for line in done.stdout.splitlines():
            worker, n = line.split()
            returned[worker] = int(n)
        if store_kind == "memory":
            continue
        with open_store(store_kind, where, table) as s:
            for worker, n in returned.items():
                assert s.load_checkpoint("exit", worker).block_number >= n, f"run {run}"


def test_fork_while_another_thread_is_inside_a_call(tmp_path, request, durable_kind):
    """Children forked while threads keep calling the store: each child's
    first call opens its own connection and completes, and the parent's
    store goes on working throughout."""
    where = location(durable_kind, tmp_path, request)
    table = "fork_" + uuid.uuid4().hex[:12]
    storage = open_store(durable_kind, where, table)
    stop, failures = threading.Event(), []

    def work(worker):
        n = 0
        try:
            while not stop.is_set():
                n += 1
                storage.save_checkpoint(Checkpoint("busy", str(worker), n, "h", n))
                storage.load_checkpoint("busy", str(worker))
                storage.save_checkpoint_if(Checkpoint("busy-if", str(worker), n, "h", n),
                                           n - 1 if n > 1 else None)
        except Exception as e:  # reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(w,)) for w in range(3)]
    for t in threads:
        t.start()
    children = runs(30, 8)
    try:
        for child in range(children):
            time.sleep(0.002 * (child % 5))
            with warnings.catch_warnings():  # forking with threads: this is the point
                warnings.simplefilter("ignore", DeprecationWarning)
                pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    storage.save_checkpoint(Checkpoint("child", str(child), child, "h", child))
                    if storage.load_checkpoint("child", str(child)).block_number == child:
                        code = 0
                finally:
                    os._exit(code)
            deadline = time.monotonic() + 30
            while (waited := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
                time.sleep(0.005)
            if waited[0] == 0:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                pytest.fail(f"child {child} hung")
            assert os.waitstatus_to_exitcode(waited[1]) == 0, f"child {child}"
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert failures == []
    storage.save_checkpoint(Checkpoint("parent", "after", 1, "h", 1))
    storage.close()
    with open_store(durable_kind, where, table) as s:
        assert [s.load_checkpoint("child", str(c)).block_number for c in range(children)] == \
            list(range(children))
        assert s.load_checkpoint("parent", "after").block_number == 1


@pytest.fixture(params=["sqlite", "postgres"])
def durable_kind(request):
    return request.param


def _contend(path, worker, seconds, start, results):
    storage = SqliteStorage(path)
    won, errors, n = [], [], 0
    start.wait()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        n += 1
        try:
            storage.save_checkpoint(Checkpoint("own", str(worker), n, "h", n))
        except RuntimeError as e:
            errors.append(str(e))
            n -= 1
        # One conditional step: advance the shared counter from what was read.
        try:
            current = storage.load_checkpoint("step", "counter").block_number
            storage.save_checkpoint_if(Checkpoint("step", "counter", current + 1, str(worker), 0),
                                       current)
            won.append(current + 1)
        except RuntimeError as e:
            if not str(e).startswith("Checkpoint mismatch at block "):
                errors.append(str(e))
    results.put((worker, n, won, errors))


def test_sqlite_writers_in_many_processes_take_turns(tmp_path):
    """16 processes saving and conditionally saving in tight loops on one
    file: no call fails, no acknowledged save is lost, and each step of the
    shared counter has exactly one winner."""
    import multiprocessing

    path = str(tmp_path / "contended.db")
    with SqliteStorage(path) as s:
        s.save_checkpoint(Checkpoint("step", "counter", 0, "", 0))
    ctx = multiprocessing.get_context("fork")
    start, results = ctx.Event(), ctx.Queue()
    procs = [ctx.Process(target=_contend, args=(path, w, runs(8, 2), start, results))
             for w in range(16)]
    for p in procs:
        p.start()
    time.sleep(1)
    start.set()
    outcome = [results.get(timeout=120) for _ in procs]
    for p in procs:
        p.join(30)
    assert [e for _, _, _, errors in outcome for e in errors] == []
    won = sorted(step for _, _, steps, _ in outcome for step in steps)
    with SqliteStorage(path) as s:
        assert won == list(range(1, s.load_checkpoint("step", "counter").block_number + 1))
        assert {w: s.load_checkpoint("own", str(w)).block_number for w, *_ in outcome} == \
            {w: n for w, n, _, _ in outcome}


def _remove_file(path):
    os.remove(path)


def _remove_folder(path):
    shutil.rmtree(os.path.dirname(path))


def _replace_file(path):
    other = path + ".other"
    SqliteStorage(other).close()
    os.replace(other, path)
    for stale in (path + "-wal", path + "-shm"):  # the old file's: they would show through
        os.remove(stale)


@pytest.mark.parametrize("change", [_remove_file, _remove_folder, _replace_file])
def test_sqlite_database_gone_from_its_path(tmp_path, change):
    """Writes into a file no longer at the store's path fail, and so does
    everything after; nothing reaches a file now at the path."""
    path = str(tmp_path / "folder" / "checkpoints.db")
    os.mkdir(os.path.dirname(path))
    storage = SqliteStorage(path)
    storage.save_checkpoint(Checkpoint("1", "m", 1, "h", 1))
    change(path)
    calls = [
        lambda: storage.save_checkpoint(Checkpoint("1", "m", 2, "h", 2)),
        lambda: storage.save_checkpoint_if(Checkpoint("1", "m", 3, "h", 3), 1),
        lambda: storage.delete_checkpoint("1", "m"),
        lambda: storage.load_checkpoint("1", "m"),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as failed:
            call()
        assert str(failed.value) == f"Storage error: database file was deleted or replaced: {path}"
    storage.close()
    if os.path.exists(path):
        with importable("sqlite3").connect(path) as db:
            assert db.execute("SELECT count(*) FROM vorlane_checkpoints").fetchone() == (0,)


def _hold_turn(path):
    """Takes the writers' turn of the database at `path`, as a writer of
    another process would; returns the release."""
    fd = os.open(path + "-lock", os.O_RDWR)
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))
    return lambda: os.close(fd)


@pytest.mark.parametrize("released_after, outcome", [(None, "locked"), (0.3, "saved")])
def test_sqlite_writer_waits_for_its_turn_until_busy_timeout(tmp_path, released_after, outcome):
    path = str(tmp_path / "queue.db")
    importable("sqlite3").connect(path).close()
    os.chmod(path, 0o664)
    with SqliteStorage(path, busy_timeout=2.0) as s:
        # The database's permissions, not narrowed by the umask.
        assert stat.S_IMODE(os.stat(path + "-lock").st_mode) == 0o664
        release = _hold_turn(path)
        start = time.monotonic()
        if released_after is not None:
            threading.Timer(released_after, release).start()
        try:
            s.save_checkpoint(Checkpoint("1", "m", 1, "h", 1))
            got = "saved"
        except RuntimeError as e:
            assert str(e) == f"Storage error: database is locked: {path}"
            got = "locked"
        waited = time.monotonic() - start
        if released_after is None:
            release()
            assert 2.0 <= waited < 6.0
        else:
            assert released_after <= waited < 2.0
        assert got == outcome
        s.save_checkpoint(Checkpoint("1", "m", 2, "h", 2))  # the turn comes back after a timeout
        assert s.load_checkpoint("1", "m").block_number == 2
