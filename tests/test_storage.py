import os
import threading
import time

import pytest

from vorlane import Checkpoint, InMemoryStorage

FIELDS = ("chain_id", "indexer_id", "block_number", "block_hash", "updated_at")


def fields(cp):
    return tuple(getattr(cp, f) for f in FIELDS)


def native_threads():
    """The threads of this process that Python's threading module does not run.
    Threads left behind by earlier tests (HTTP client pools and the like) come
    and go at any time; they are Python threads and are not counted."""
    while True:
        python = {t.native_id for t in threading.enumerate()}
        if None not in python:  # a thread that is starting has no id yet
            break
        time.sleep(0.001)
    return {int(tid) for tid in os.listdir("/proc/self/task")} - python


def threads_left_behind(before):
    new = native_threads() - before
    if new:  # or a Python thread that was ending: it is gone a moment later
        time.sleep(0.2)
        new &= native_threads()
    return new


@pytest.fixture
def storage():
    return InMemoryStorage()


def test_class_surface():
    assert InMemoryStorage.__doc__ == "In-memory storage for checkpoints (dev/testing, no persistence)."
    assert InMemoryStorage.__text_signature__ == "()"
    docs = {
        "load_checkpoint": ("($self, chain_id, indexer_id)", "Load a checkpoint for the given chain and indexer."),
        "save_checkpoint": ("($self, checkpoint)", "Save (upsert) a checkpoint."),
        "delete_checkpoint": ("($self, chain_id, indexer_id)", "Delete a checkpoint."),
    }
    for name, (signature, doc) in docs.items():
        method = getattr(InMemoryStorage, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
    public = {n for n in dir(InMemoryStorage) if not n.startswith("_")}
    assert public == set(docs)


def test_new_storage_is_empty(storage):
    assert repr(storage) == "InMemoryStorage()"
    assert str(storage) == "InMemoryStorage()"
    for pair in [("1", "main"), ("", ""), ("x", "y")]:
        assert storage.load_checkpoint(*pair) is None


def test_save_then_load_returns_equal_new_objects(storage):
    cp = Checkpoint("1", "main", 100, "0xab", 1700000000)
    assert storage.save_checkpoint(cp) is None
    first = storage.load_checkpoint(cp.chain_id, cp.indexer_id)
    second = storage.load_checkpoint(chain_id="1", indexer_id="main")
    assert type(first) is Checkpoint
    assert fields(first) == fields(second) == fields(cp)
    assert first is not cp and second is not cp and first is not second
    assert repr(storage) == "InMemoryStorage()"


def test_saved_record_is_independent_of_the_python_object(storage):
    cp = Checkpoint("1", "main", 5, "0x05", 9)
    expected = fields(cp)
    storage.save_checkpoint(checkpoint=cp)
    del cp
    assert fields(storage.load_checkpoint("1", "main")) == expected


@pytest.mark.parametrize(
    "first, second",
    [
        ((100, "0xaa", 2000), (50, "0xbb", 1000)),  # lower and older still replaces
        ((1, "0xaa", 0), (2, "0xaa", -1)),
        ((7, "h", 5), (7, "h", 5)),
    ],
)
def test_second_save_replaces_unconditionally(storage, first, second):
    storage.save_checkpoint(Checkpoint("1", "main", *first))
    storage.save_checkpoint(Checkpoint("1", "main", *second))
    assert fields(storage.load_checkpoint("1", "main")) == ("1", "main", *second)


@pytest.mark.parametrize("updated_at", [0, -1, -(2**63), 2**63 - 1])
def test_updated_at_is_stored_unchanged(storage, updated_at):
    storage.save_checkpoint(Checkpoint("1", "main", 1, "h", updated_at))
    assert storage.load_checkpoint("1", "main").updated_at == updated_at


def test_delete(storage):
    assert storage.delete_checkpoint("1", "never") is None
    storage.save_checkpoint(Checkpoint("1", "main", 1, "h"))
    storage.save_checkpoint(Checkpoint("1", "other", 2, "h2"))
    assert storage.delete_checkpoint(chain_id="1", indexer_id="main") is None
    assert storage.load_checkpoint("1", "main") is None
    assert storage.delete_checkpoint("1", "main") is None
    assert storage.load_checkpoint("1", "other").block_number == 2


@pytest.mark.parametrize(
    "a, b",
    [
        (("a:b", "c"), ("a", "b:c")),  # a joined "chain:indexer" key would merge these
        (("Main", "x"), ("main", "x")),
        (("1", "Main"), ("1", "main")),
        (("1", "main"), ("2", "main")),
        (("", ":"), (":", "")),
        (("", ""), (":", ":")),
    ],
)
def test_pairs_are_separate_entries(storage, a, b):
    storage.save_checkpoint(Checkpoint(*a, 1, "first"))
    storage.save_checkpoint(Checkpoint(*b, 2, "second"))
    assert storage.load_checkpoint(*a).block_hash == "first"
    assert storage.load_checkpoint(*b).block_hash == "second"
    storage.delete_checkpoint(*a)
    assert storage.load_checkpoint(*a) is None
    assert storage.load_checkpoint(*b).block_hash == "second"


def test_empty_identifiers_and_unicode_texts_round_trip(storage):
    for cp in [Checkpoint("", "", 0, ""), Checkpoint("chaîne", "индексатор", 3, "0x\u00e9\U0001f600")]:
        storage.save_checkpoint(cp)
        assert fields(storage.load_checkpoint(cp.chain_id, cp.indexer_id)) == fields(cp)


def test_instances_are_independent():
    a, b = InMemoryStorage(), InMemoryStorage()
    a.save_checkpoint(Checkpoint("1", "main", 1, "h"))
    assert b.load_checkpoint("1", "main") is None
    b.delete_checkpoint("1", "main")
    assert a.load_checkpoint("1", "main") is not None


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: s.load_checkpoint(1, "main"), TypeError, "argument 'chain_id': 'int' object cannot be converted to 'PyString'"),
        (lambda s: s.delete_checkpoint("1", None), TypeError, "argument 'indexer_id': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda s: s.save_checkpoint({"chain_id": "1"}), TypeError, "argument 'checkpoint': 'dict' object cannot be converted to 'Checkpoint'"),
        (lambda s: s.save_checkpoint(InMemoryStorage()), TypeError, "argument 'checkpoint': 'InMemoryStorage' object cannot be converted to 'Checkpoint'"),
        (lambda s: s.load_checkpoint("1"), TypeError, "InMemoryStorage.load_checkpoint() missing 1 required positional argument: 'indexer_id'"),
        (lambda s: s.delete_checkpoint(), TypeError, "InMemoryStorage.delete_checkpoint() missing 2 required positional arguments: 'chain_id' and 'indexer_id'"),
        (lambda s: s.save_checkpoint(), TypeError, "InMemoryStorage.save_checkpoint() missing 1 required positional argument: 'checkpoint'"),
        (lambda s: s.load_checkpoint("1", "m", "x"), TypeError, "InMemoryStorage.load_checkpoint() takes 2 positional arguments but 3 were given"),
        (lambda s: s.save_checkpoint(Checkpoint("1", "m", 1, "h"), checkpoint=None), TypeError, "InMemoryStorage.save_checkpoint() got multiple values for argument 'checkpoint'"),
        (lambda s: s.load_checkpoint("1", "m", chain="x"), TypeError, "InMemoryStorage.load_checkpoint() got an unexpected keyword argument 'chain'"),
        (lambda s: InMemoryStorage("x"), TypeError, "InMemoryStorage.__new__() takes 0 positional arguments but 1 was given"),
        (lambda s: InMemoryStorage(store=1), TypeError, "InMemoryStorage.__new__() got an unexpected keyword argument 'store'"),
    ],
)
def test_argument_errors_leave_the_store_unchanged(storage, call, exc, message):
    storage.save_checkpoint(Checkpoint("1", "main", 1, "h", 1))
    with pytest.raises(exc) as info:
        call(storage)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert fields(storage.load_checkpoint("1", "main")) == ("1", "main", 1, "h", 1)


def test_lone_surrogate_identifier_is_unicode_encode_error(storage):
    with pytest.raises(UnicodeEncodeError):
        storage.load_checkpoint("\ud800", "main")


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.load_checkpoint("1", "main"),
        lambda s: s.save_checkpoint(Checkpoint("1", "main", 1, "h")),
        lambda s: s.delete_checkpoint("1", "main"),
        lambda s: s.load_checkpoint(1, "main"),
    ],
    ids=["load", "save", "delete", "failed-load"],
)
def test_no_worker_thread_outlives_a_call(storage, call):
    before = native_threads()
    for _ in range(20):
        try:
            call(storage)
        except TypeError:
            pass
        assert threads_left_behind(before) == set()


def test_python_threads_sharing_one_storage_lose_nothing(storage):
    n_threads, per_thread = 4, 40
    errors = []

    def work(t):
        try:
            for i in range(per_thread):
                storage.save_checkpoint(Checkpoint("1", f"indexer-{t}-{i}", i, f"0x{t:x}{i:x}", i))
                got = storage.load_checkpoint("1", f"indexer-{t}-{i}")
                assert fields(got) == ("1", f"indexer-{t}-{i}", i, f"0x{t:x}{i:x}", i)
        except BaseException as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for t in range(n_threads):
        for i in range(per_thread):
            assert storage.load_checkpoint("1", f"indexer-{t}-{i}").block_number == i


EXHAUSTED_DESCRIPTORS_SCRIPT = r"""
import os, resource
from vorlane import Checkpoint, InMemoryStorage

storage = InMemoryStorage()
storage.save_checkpoint(Checkpoint("1", "main", 1, "0x01", 7))
threads_before = len(os.listdir("/proc/self/task"))

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
held = []
try:
    while True:
        held.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    pass
outcomes = []
for call in (
    lambda: storage.save_checkpoint(Checkpoint("1", "main", 2, "0x02", 8)),
    lambda: storage.load_checkpoint("1", "main"),
    lambda: storage.delete_checkpoint("1", "main"),
):
    try:
        call()
        outcomes.append("no error")
    except RuntimeError as e:
        outcomes.append(f"{type(e).__name__}: {e}")
for fd in held:
    os.close(fd)
resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
for line in outcomes:
    print(line)
cp = storage.load_checkpoint("1", "main")
print(cp.block_number, cp.block_hash, cp.updated_at)
print(len(os.listdir("/proc/self/task")) == threads_before)
"""


def test_runtime_that_cannot_be_built_is_runtime_error(python_subprocess):
    result = python_subprocess(EXHAUSTED_DESCRIPTORS_SCRIPT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["RuntimeError: Too many open files (os error 24)"] * 3
    assert lines[3] == "1 0x01 7"  # the store is unchanged
    assert lines[4] == "True"
