import importlib
import inspect
import sys
import weakref

import pytest

import vorlane

CLASSES = ["Checkpoint", "IndexerConfig", "EventFilter", "InMemoryStorage", "BlockSummary"]


def test_all_lists_classes_in_registration_order():
    assert vorlane.__all__ == ["Checkpoint", "IndexerConfig", "EventFilter", "InMemoryStorage", "BlockSummary"]
    assert type(vorlane.__all__) is list
    assert vorlane.__doc__ == ""


def test_module_adds_only_its_classes():
    public = {n for n in dir(vorlane) if not n.startswith("__")}
    assert public == set(vorlane.__all__)


def test_reimport_returns_the_same_module_without_doubling_all():
    before = list(vorlane.__all__)
    del sys.modules["vorlane"]
    try:
        again = importlib.import_module("vorlane")
    finally:
        sys.modules["vorlane"] = vorlane
    assert again is vorlane
    assert vorlane.__all__ == before


@pytest.mark.parametrize("name", CLASSES)
def test_type_recipe(name):
    cls = getattr(vorlane, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__base__ is object
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    # No immutable flag: the class object itself accepts new attributes.
    cls._probe = 1
    try:
        assert cls._probe == 1
    finally:
        del cls._probe


def test_checkpoint_documentation():
    cls = vorlane.Checkpoint
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == "(chain_id, indexer_id, block_number, block_hash, updated_at=None)"
    params = inspect.signature(cls).parameters
    assert list(params) == ["chain_id", "indexer_id", "block_number", "block_hash", "updated_at"]
    assert params["updated_at"].default is None


def make_instances():
    yield vorlane.Checkpoint("1", "main", 1, "0x1")


@pytest.mark.parametrize("obj", list(make_instances()), ids=lambda o: type(o).__name__)
def test_instances_refuse_attributes_and_weakrefs(obj):
    with pytest.raises(AttributeError):
        obj.not_a_field = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)
    assert str(obj) == repr(obj)


def test_identity_equality_and_hash():
    a = vorlane.Checkpoint("1", "main", 100, "0xab", 5)
    b = vorlane.Checkpoint("1", "main", 100, "0xab", 5)
    assert a == a
    assert a != b
    assert hash(a) == hash(a)
    assert hash(a) == object.__hash__(a)


# A sub-interpreter with the legacy settings: from 3.12 on, the default
# (isolated) ones make the interpreter refuse the module with its own message
# before the module's own refusal can run.
SUB_INTERPRETER_SCRIPT = r"""
import os
import vorlane
try:
    from _testcapi import run_in_subinterp
except ImportError:  # an interpreter built without its test modules (3.11 only)
    import _xxsubinterpreters as interpreters
    def run_in_subinterp(code):
        interp = interpreters.create()
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)

r, w = os.pipe()
inner = (
    "import os\n"
    "try:\n"
    "    import vorlane\n"
    "    os.write(%d, b'imported')\n"
    "except ImportError as e:\n"
    "    os.write(%d, ('ImportError: ' + str(e)).encode())\n"
) % (w, w)
run_in_subinterp(inner)
os.close(w)
print(os.read(r, 4096).decode())
print(repr(vorlane.Checkpoint("1", "main", 2, "0x2")))
"""


def test_sub_interpreter_import_is_refused(python_subprocess):
    result = python_subprocess(SUB_INTERPRETER_SCRIPT)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first.startswith("ImportError: ")
    assert "sub-interpreters" in first
    assert second == 'Checkpoint(chain_id="1", indexer_id="main", block_number=2, block_hash="0x2")'
