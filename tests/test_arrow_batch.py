"""ArrowBatch: records of one event type built into Arrow columns natively
and imported by pyarrow through the C data interface."""
import gc

import pytest

pa = pytest.importorskip("pyarrow")
from test_sinks import event, log_columns, record  # noqa: E402
from vorlane_stores import ArrowBatch  # noqa: E402

from vorlane_follow.parquet import _arrow_type, _split  # noqa: E402


class Plain:
    """A record that is no tuple: values through __len__ and __getitem__."""

    def __init__(self, like):
        self.values = tuple(like)
        self.__dict__.update({k: getattr(like, k) for k in ("block_number", "block_hash", "log_index",
                                                            "transaction_hash", "transaction_index", "address")})

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def expected(type_, wide, indexed, v):
    """The cell the row-by-row conversion made of `v`."""
    if v is None:
        return None
    if indexed and (type_ in ("string", "bytes") or type_[-1] == "]" or type_[0] == "("):
        return bytes(v)
    if type_.endswith("]"):
        return [expected(type_[:type_.rindex("[")], wide, False, x) for x in v]
    if type_.startswith("("):
        return {f"f{i}": expected(t, wide, False, x) for i, (t, x) in enumerate(zip(_split(type_[1:-1]), v))}
    if type_.startswith(("int", "uint")) and int(type_[type_.index("t") + 1:] or 256) > 64:
        return {"string": str, "float": float}.get(wide, lambda x: x.to_bytes(32, "big", signed=type_[0] == "i"))(v)
    return bytes(v) if isinstance(v, (bytearray, memoryview)) else v


LOG_SCHEMA = pa.schema([("block_number", pa.uint64()), ("block_hash", pa.string()), ("log_index", pa.uint32()),
                        ("transaction_hash", pa.string()), ("transaction_index", pa.uint32()),
                        ("address", pa.string())])
NESTED = "(uint256,(bool,bytes)[2])[][]"
ROUND_TRIPS = [
    ("uint256", "string", False, [0, 2**256 - 1, 10**24, None, 2**64]),
    ("int256", "string", False, [-(2**255), 2**255 - 1, -1, -(2**63) - 1]),
    ("int256", "binary", False, [-1, -(2**255), 5, 2**255 - 1, -(2**70)]),
    ("uint256", "binary", False, [2**256 - 1, 0, 2**64, None]),
    ("uint256", "float", False, [2**200, 0, 2**256 - 1]),
    ("int72", "float", False, [-(2**71), 3]),
    ("int64", "string", False, [-(2**63), 2**63 - 1, 0]),
    ("uint64", "string", False, [2**64 - 1, 0]),
    ("int8", "string", False, [-128, 127]),
    ("uint32", "string", False, [2**32 - 1]),
    ("bool", "string", False, [True, False, None]),
    ("string", "string", False, ["a\0b ☃", "", "日本語" * 50]),
    ("address", "string", False, ["0x" + "ab" * 20]),
    ("bytes", "string", False, [b"\0\1", b"", bytearray(b"xy"), memoryview(b"z")]),
    ("bytes4", "string", False, [b"abcd"]),
    ("uint16[3]", "string", False, [[1, 2, 3], (4, 5, 6)]),
    ("string[]", "string", False, [[], ["a", "é\0"], None, ()]),
    ("(int256,string)[]", "string", False, [((-5, "x"),), (), ((2**255 - 1, "\0"), (0, ""))]),
    ("(int256,string)", "binary", False, [(-5, "x"), None, (1, "y")]),
    (NESTED, "string", False, [[], [[]], [[(2**256 - 1, ((True, b"\0"), (False, b""))), (0, ((None, b"x"), (True, b"y")))], []]]),
    (NESTED, "float", False, [[[(1, ((True, b"a"), (False, b"b")))]]]),
    ("string", "string", True, [b"\x11" * 32, bytearray(b"\x22" * 32)]),
    ("(uint8,bytes)[]", "string", True, [b"\x33" * 32]),
]


@pytest.mark.parametrize("type_, wide, indexed, values", ROUND_TRIPS)
def test_columns_hold_the_values_and_the_files_types(type_, wide, indexed, values):
    cls = event("Only", ("v", type_, indexed))
    records = [record(cls, 7 + i // 2, i, v) for i, v in enumerate(values)]
    records = [r if i % 2 else Plain(r) for i, r in enumerate(records)]
    batch = pa.record_batch(ArrowBatch([("v", type_, indexed)], records, wide_ints=wide))
    batch.validate(full=True)
    assert batch.schema == LOG_SCHEMA.append(pa.field("v", _arrow_type(pa, "bytes32" if indexed else type_, wide)))
    assert [tuple(row.values()) for row in batch.to_pylist()] == [
        log_columns(r) + (expected(type_, wide, indexed, v),) for r, v in zip(records, values)]


class Shrinking:
    """A sequence whose reading empties the list holding it."""

    def __init__(self, outer):
        self.outer = outer

    def __len__(self):
        self.outer.clear()
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError
        return 1


def shrinking():
    outer = [None, [2]]
    outer[0] = Shrinking(outer)
    return outer


ERRORS = [
    ("uint8", "string", 256, ValueError, 'column "v": int out of range for uint8'),
    ("int8", "string", -129, ValueError, 'column "v": int out of range for int8'),
    ("uint64", "string", -1, ValueError, 'column "v": int out of range for uint64'),
    ("int64", "string", 2**63, ValueError, 'column "v": int out of range for int64'),
    ("uint256", "string", -1, ValueError, 'column "v": int out of range for uint256'),
    ("uint128", "string", 2**128, ValueError, 'column "v": int out of range for uint128'),
    ("uint256", "binary", 2**256, ValueError, 'column "v": int out of range for uint256'),
    ("int256", "binary", 2**255, ValueError, 'column "v": int out of range for int256'),
    ("uint256", "float", 2**1024, ValueError, 'column "v": int too large for a float64'),
    ("int256", "string", "5", TypeError, "column \"v\": expected int, got 'str'"),
    ("uint8", "string", 1.0, TypeError, "column \"v\": expected int, got 'float'"),
    ("int64", "string", True, TypeError, "column \"v\": expected int, got 'bool'"),
    ("bool", "string", 1, TypeError, "column \"v\": expected bool, got 'int'"),
    ("string", "string", b"x", TypeError, "column \"v\": expected str, got 'bytes'"),
    ("string", "string", "\ud800", ValueError, 'column "v": str not encodable as UTF-8'),
    ("bytes", "string", "x", TypeError, "column \"v\": expected bytes, got 'str'"),
    ("string[]", "string", "abc", TypeError, "column \"v\": expected a list or tuple, got 'str'"),
    ("uint8[2]", "string", [1], ValueError, 'column "v": expected 2 items, got 1'),
    ("(uint8,string)", "string", (1,), ValueError, 'column "v": expected 2 values, got 1'),
    ("(uint8,string)[]", "string", [(1, 2)], TypeError, "column \"v[].f1\": expected str, got 'int'"),
    ("uint8[][]", "string", shrinking(), RuntimeError, "a sequence changed size while it was read"),
]


@pytest.mark.parametrize("type_, wide, value, error, message", ERRORS)
def test_a_value_the_column_cannot_hold_is_refused_naming_it(type_, wide, value, error, message):
    cls = event("Only", ("v", type_, False))
    with pytest.raises(error) as raised:
        ArrowBatch([("v", type_, False)], [record(cls, 1, 0, None), record(cls, 1, 1, value)], wide_ints=wide)
    assert str(raised.value) == message


class Failing(tuple):
    """A record whose block_hash attribute raises."""

    @property
    def block_hash(self):
        raise KeyError("no hash")


def failing(r):
    f = Failing(r)
    f.block_number = r.block_number
    return f


class Overriding(tuple):
    """A record whose items are not its tuple's."""

    def __getitem__(self, i):
        return "yes"


def overriding(r):
    o = Overriding(r)
    o.__dict__.update(r.__dict__)
    return o


RECORD_ERRORS = [
    (lambda r: setattr(r, "block_hash", 5), TypeError, "column \"block_hash\": expected str, got 'int'"),
    (lambda r: setattr(r, "log_index", 2**32), ValueError, 'column "log_index": int out of range for uint32'),
    (lambda r: record(event("Two", ("a", "bool", False), ("b", "bool", False)), 1, 0, True, False),
     ValueError, "a record has 2 values, expected 1"),
    (failing, KeyError, "'no hash'"),
    (overriding, TypeError, "column \"a\": expected bool, got 'str'"),
    (lambda r: (1,), AttributeError, "'tuple' object has no attribute 'block_number'"),
]


@pytest.mark.parametrize("change, error, message", RECORD_ERRORS)
def test_a_record_of_the_wrong_shape_is_refused(change, error, message):
    r = record(event("One", ("a", "bool", False)), 1, 0, True)
    r = change(r) or r
    with pytest.raises(error) as raised:
        ArrowBatch([("a", "bool", False)], [r])
    assert str(raised.value) == message


def test_each_export_is_fresh_and_outlives_the_batch_and_its_capsules():
    cls = event("Pair", ("n", "uint256", False), ("s", "string[]", False))
    native = ArrowBatch(list(cls.__schema__), [record(cls, 1, i, 2**255 + i, ["x"] * i) for i in range(4)])
    first, second = pa.record_batch(native), pa.record_batch(native)
    assert first.equals(second) and pa.schema(native) == first.schema and native.num_rows == 4
    schema, array = native.__arrow_c_array__()
    imported = pa.RecordBatch._import_from_c_capsule(schema, array)
    with pytest.raises(pa.ArrowInvalid, match="^Cannot import released ArrowSchema$"):
        pa.RecordBatch._import_from_c_capsule(schema, array)
    native.__arrow_c_array__()  # capsules dropped unread release their export
    column = first.column("s")
    del native, first, second, schema, array
    gc.collect()
    assert imported.column("n").to_pylist() == [str(2**255 + i) for i in range(4)]
    assert column.to_pylist() == [["x"] * i for i in range(4)]
