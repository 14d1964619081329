"""Argument binding, conversions and errors, exercised through Checkpoint."""
import pytest

import vorlane
from vorlane import Checkpoint

MAX_U64 = 2**64 - 1


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("1", "main", 100), {}, "Checkpoint.__new__() missing 1 required positional argument: 'block_hash'"),
        (("1", "m"), {}, "Checkpoint.__new__() missing 2 required positional arguments: 'block_number' and 'block_hash'"),
        (("1",), {}, "Checkpoint.__new__() missing 3 required positional arguments: 'indexer_id', 'block_number', and 'block_hash'"),
        ((), {}, "Checkpoint.__new__() missing 4 required positional arguments: 'chain_id', 'indexer_id', 'block_number', and 'block_hash'"),
        ((), {"block_hash": "h", "indexer_id": "m"}, "Checkpoint.__new__() missing 2 required positional arguments: 'chain_id' and 'block_number'"),
        (("1", "main", 100, "0xab", 5, 6), {}, "Checkpoint.__new__() takes from 4 to 5 positional arguments but 6 were given"),
        (("1", "m", 1, "h", 5, 6, 7), {}, "Checkpoint.__new__() takes from 4 to 5 positional arguments but 7 were given"),
        ((), {"chain_id": "1", "indexer_id": "m", "block_number": 1, "block_hash": "h", "height": 3}, "Checkpoint.__new__() got an unexpected keyword argument 'height'"),
        (("1", "m", 1, "h"), {"Chain_id": "2"}, "Checkpoint.__new__() got an unexpected keyword argument 'Chain_id'"),
        (("1", "m", 1, "h"), {"chain_id": "2"}, "Checkpoint.__new__() got multiple values for argument 'chain_id'"),
        (("1", "m", 1, "h", 5), {"updated_at": 6}, "Checkpoint.__new__() got multiple values for argument 'updated_at'"),
        ((1, "main", 100, "0xab"), {}, "argument 'chain_id': 'int' object cannot be converted to 'PyString'"),
        (("1", b"main", 100, "0xab"), {}, "argument 'indexer_id': 'bytes' object cannot be converted to 'PyString'"),
        (("1", "m", 1, None), {}, "argument 'block_hash': 'NoneType' object cannot be converted to 'PyString'"),
        (("1", "m", 1.0, "h"), {}, "argument 'block_number': 'float' object cannot be interpreted as an integer"),
        (("1", "m", "1", "h"), {}, "argument 'block_number': 'str' object cannot be interpreted as an integer"),
        (("1", "m", None, "h"), {}, "argument 'block_number': 'NoneType' object cannot be interpreted as an integer"),
        (("1", "m", 1, "h", 1.5), {}, "argument 'updated_at': 'float' object cannot be interpreted as an integer"),
    ],
)
@pytest.mark.parametrize(
    "construct",
    [Checkpoint, lambda *a, **k: Checkpoint.__new__(Checkpoint, *a, **k)],
    ids=["call", "__new__"],
)
def test_binding_and_conversion_type_errors(construct, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        construct(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_unexpected_keyword_is_reported_before_missing_arguments():
    with pytest.raises(TypeError, match=r"^Checkpoint.__new__\(\) got an unexpected keyword argument 'x'$"):
        Checkpoint("1", x=1)


def test_too_many_positional_is_reported_before_keywords():
    with pytest.raises(TypeError, match="takes from 4 to 5 positional arguments but 6 were given"):
        Checkpoint("1", "m", 1, "h", 5, 6, bogus=1)


def test_first_bad_argument_in_parameter_order_wins():
    with pytest.raises(TypeError, match=r"^argument 'indexer_id'"):
        Checkpoint("1", 2, 3.0, 4)


def test_positional_and_keyword_forms_agree():
    a = Checkpoint("1", "m", 7, "h", 9)
    b = Checkpoint(block_hash="h", updated_at=9, block_number=7, indexer_id="m", chain_id="1")
    c = Checkpoint.__new__(Checkpoint, "1", "m", block_hash="h", updated_at=9, block_number=7)
    assert repr(a) == repr(b) == repr(c)
    assert (a.updated_at, b.updated_at, c.updated_at) == (9, 9, 9)


def test_non_interned_keyword_names_match_by_text():
    name = "".join(["chain", "_id"])
    cp = Checkpoint(**{name: "x", "indexer_id": "m", "block_number": 1, "block_hash": "h"})
    assert cp.chain_id == "x"


class StrSub(str):
    pass


class IntSub(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, 0),
        (MAX_U64, MAX_U64),
        (True, 1),
        (False, 0),
        (IntSub(42), 42),
        (Index(7), 7),
        (Index(MAX_U64), MAX_U64),
    ],
)
def test_unsigned_64_accepts(value, expected):
    assert Checkpoint("1", "m", value, "h").block_number == expected


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), Index(-1), Index(2**64)])
def test_unsigned_64_out_of_range_is_overflow_without_prefix(value):
    with pytest.raises(OverflowError) as info:
        Checkpoint("1", "m", value, "h")
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (-1, -1), (-(2**63), -(2**63)), (2**63 - 1, 2**63 - 1), (True, 1), (Index(-5), -5)],
)
def test_signed_64_accepts(value, expected):
    assert Checkpoint("1", "m", 1, "h", value).updated_at == expected


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, Index(2**63)])
def test_signed_64_out_of_range_is_overflow(value):
    with pytest.raises(OverflowError) as info:
        Checkpoint("1", "m", 1, "h", value)
    assert not str(info.value).startswith("argument")


def test_index_raising_value_error_passes_unchanged():
    err = ValueError("no index here")
    with pytest.raises(ValueError) as info:
        Checkpoint("1", "m", RaisingIndex(err), "h")
    assert info.value is err


def test_index_raising_type_error_gets_the_argument_prefix_and_keeps_its_cause():
    inner = TypeError("bad index")
    root = KeyError("root")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        Checkpoint("1", "m", RaisingIndex(inner), "h")
    assert type(info.value) is TypeError
    assert info.value is not inner
    assert str(info.value) == "argument 'block_number': bad index"
    assert info.value.__cause__ is root


def test_type_error_subclass_is_not_prefixed():
    class MyTypeError(TypeError):
        pass

    err = MyTypeError("mine")
    with pytest.raises(MyTypeError) as info:
        Checkpoint("1", "m", RaisingIndex(err), "h")
    assert info.value is err
    assert str(info.value) == "mine"


def test_str_subclass_is_accepted_as_text():
    cp = Checkpoint(StrSub("chain"), StrSub("idx"), 1, StrSub("0xab"))
    assert type(cp.chain_id) is str
    assert (cp.chain_id, cp.indexer_id, cp.block_hash) == ("chain", "idx", "0xab")


@pytest.mark.parametrize("field", ["chain_id", "indexer_id", "block_hash"])
def test_lone_surrogate_raises_unicode_encode_error_without_prefix(field):
    args = {"chain_id": "1", "indexer_id": "m", "block_number": 1, "block_hash": "h"}
    args[field] = "ok\ud800"
    with pytest.raises(UnicodeEncodeError) as info:
        Checkpoint(**args)
    assert "surrogates not allowed" in str(info.value)


def test_lone_surrogate_keyword_name_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        Checkpoint("1", "m", 1, "h", **{"\udc80": 1})


def panic_exception_type():
    # The type is created on first need; any fetched error creates it.
    with pytest.raises(TypeError):
        Checkpoint("1", "m", 1.0, "h")
    (panic,) = [
        c
        for c in BaseException.__subclasses__()
        if c.__name__ == "PanicException" and c.__module__ == "vorlane_runtime"
    ]
    return panic


def test_panic_exception_type():
    panic = panic_exception_type()
    assert panic.__module__ == "vorlane_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert "BaseException" in panic.__doc__
    assert not issubclass(panic, Exception)
    assert not hasattr(vorlane, "PanicException")


def test_panic_from_python_code_is_resumed(capfd):
    panic = panic_exception_type()
    with pytest.raises(panic) as info:
        Checkpoint("1", "m", RaisingIndex(panic("deep trouble")), "h")
    assert info.value.args == ("deep trouble",)
    err = capfd.readouterr().err
    assert "PanicException" in err
    assert "deep trouble" in err
    assert "__index__" in err  # the Python traceback is shown


def test_failed_constructor_creates_and_leaks_nothing():
    import sys

    # Every instance holds a reference to its type, so a leaked instance or a
    # half-built one shows in the type's reference count.
    before = sys.getrefcount(Checkpoint)
    for bad in ([1, "m", 1, "h"], ["1", "m", -1, "h"], ["1", "m", 1, "h", 1.5], ["1", "m", 1]):
        for _ in range(50):
            with pytest.raises((TypeError, OverflowError)):
                Checkpoint(*bad)
    assert sys.getrefcount(Checkpoint) == before
    kept = [Checkpoint("1", "m", 1, "h") for _ in range(10)]
    assert sys.getrefcount(Checkpoint) == before + 10
    del kept
    assert sys.getrefcount(Checkpoint) == before
