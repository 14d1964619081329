import inspect

import pytest

from vorlane import BlockSummary, Checkpoint

MAX_U64 = 2**64 - 1
MAX_U32 = 2**32 - 1
FIELDS = ["number", "hash", "parent_hash", "timestamp", "tx_count"]


def block(number, hash="0xh", parent_hash="0xp", timestamp=1700000000, tx_count=0):
    return BlockSummary(number, hash, parent_hash, timestamp, tx_count)


def test_class_documentation():
    assert BlockSummary.__doc__ == "Summary of an indexed block."
    assert BlockSummary.__text_signature__ == "(number, hash, parent_hash, timestamp, tx_count)"
    params = inspect.signature(BlockSummary).parameters.values()
    assert [p.name for p in params] == FIELDS
    assert all(p.default is inspect.Parameter.empty for p in params)
    method = BlockSummary.extends_parent
    assert method.__text_signature__ == "($self, parent)"
    assert method.__doc__ == "Returns True if this block directly extends the given parent block."


def test_fields_read_back():
    b = BlockSummary(1, "0xb1", "0xb0", 1700000000, 5)
    assert [getattr(b, f) for f in FIELDS] == [1, "0xb1", "0xb0", 1700000000, 5]
    assert repr(b) == 'BlockSummary(number=1, hash="0xb1", tx_count=5)'
    assert str(b) == repr(b)


def test_keyword_arguments_in_any_order_equal_positional():
    a = BlockSummary(7, "0xh", "0xp", -3, 9)
    b = BlockSummary(tx_count=9, parent_hash="0xp", timestamp=-3, hash="0xh", number=7)
    c = BlockSummary(7, "0xh", tx_count=9, timestamp=-3, parent_hash="0xp")
    for other in (b, c):
        assert [getattr(other, f) for f in FIELDS] == [getattr(a, f) for f in FIELDS]
        assert repr(other) == repr(a)


PARENT = block(100, hash="0xAA", parent_hash="0x99", timestamp=1000, tx_count=3)


@pytest.mark.parametrize(
    "child, parent, expected",
    [
        (block(101, parent_hash="0xAA"), PARENT, True),
        (block(101, parent_hash="0xAA", timestamp=1), PARENT, True),  # timestamps are ignored
        (block(101, parent_hash="0xAA", timestamp=-(2**63), tx_count=MAX_U32), PARENT, True),
        (block(101, hash="0xAA", parent_hash="0xAA"), PARENT, True),  # own hash is not compared
        (block(102, parent_hash="0xAA"), PARENT, False),
        (block(100, parent_hash="0xAA"), PARENT, False),
        (block(99, parent_hash="0xAA"), PARENT, False),
        (block(101, parent_hash="0xaa"), PARENT, False),  # hashes compare case-sensitively
        (block(101, parent_hash="0xAA "), PARENT, False),
        (block(101, parent_hash="0xA"), PARENT, False),
        (block(101, parent_hash="0x99"), PARENT, False),
        (block(1, hash="", parent_hash=""), block(0, hash="", parent_hash=""), True),
        (block(1, parent_hash=""), block(0, hash="x"), False),
        (block(1, parent_hash="\u00e9"), block(0, hash="\u00c9"), False),
        (block(MAX_U64, parent_hash="0xAA"), block(MAX_U64 - 1, hash="0xAA"), True),
        # The highest block number has no successor: no wrap-around to 0.
        (block(0, parent_hash="0xAA"), block(MAX_U64, hash="0xAA"), False),
        (block(MAX_U64, parent_hash="0xAA"), block(MAX_U64, hash="0xAA"), False),
        (block(1, parent_hash="0xAA"), block(MAX_U64, hash="0xAA"), False),
    ],
)
def test_extends_parent(child, parent, expected):
    assert child.extends_parent(parent) is expected
    assert child.extends_parent(parent=parent) is expected


def test_block_does_not_extend_itself():
    b = block(5, hash="0xsame", parent_hash="0xsame")
    assert b.extends_parent(b) is False


def test_extends_parent_is_directional():
    child = block(101, parent_hash="0xAA")
    assert child.extends_parent(PARENT) is True
    assert PARENT.extends_parent(child) is False


@pytest.mark.parametrize(
    "field, value",
    [
        ("tx_count", MAX_U32),
        ("tx_count", 0),
        ("tx_count", True),
        ("timestamp", -1),
        ("timestamp", -(2**63)),
        ("timestamp", 2**63 - 1),
        ("number", 0),
        ("number", MAX_U64),
    ],
)
def test_integer_limits_accepted(field, value):
    args = {"number": 1, "hash": "h", "parent_hash": "p", "timestamp": 0, "tx_count": 0}
    args[field] = value
    assert getattr(BlockSummary(**args), field) == value


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("tx_count", 2**32, "out of range integral type conversion attempted"),
        ("tx_count", MAX_U64, "out of range integral type conversion attempted"),
        ("tx_count", -1, None),
        ("tx_count", 2**64, None),
        ("timestamp", 2**63, None),
        ("timestamp", -(2**63) - 1, None),
        ("number", -1, None),
        ("number", 2**64, None),
    ],
)
def test_integer_out_of_range(field, value, message):
    args = {"number": 1, "hash": "h", "parent_hash": "p", "timestamp": 0, "tx_count": 0}
    args[field] = value
    with pytest.raises(OverflowError) as info:
        BlockSummary(**args)
    assert not str(info.value).startswith("argument")
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "args, expected",
    [
        ((MAX_U64, "0xh", "0xp", 0, 0), f'BlockSummary(number={MAX_U64}, hash="0xh", tx_count=0)'),
        ((0, "", "", 0, MAX_U32), f'BlockSummary(number=0, hash="", tx_count={MAX_U32})'),
        ((2, "a\nb", "x", 0, 1), 'BlockSummary(number=2, hash="a\\nb", tx_count=1)'),
        ((2, 'a"b\\c', "x", 0, 1), 'BlockSummary(number=2, hash="a\\"b\\\\c", tx_count=1)'),
        ((2, "\u00e9", "\u00c9", -5, 1), 'BlockSummary(number=2, hash="\u00e9", tx_count=1)'),
    ],
)
def test_repr(args, expected):
    b = BlockSummary(*args)
    assert repr(b) == expected
    assert b.number == args[0]


@pytest.mark.parametrize("field", FIELDS)
def test_fields_are_read_only(field):
    b = BlockSummary(1, "0xb1", "0xb0", 1700000000, 5)
    before = getattr(b, field)
    with pytest.raises(AttributeError):
        setattr(b, field, before)
    with pytest.raises(AttributeError):
        delattr(b, field)
    assert getattr(b, field) == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.extends_parent({}), "argument 'parent': 'dict' object cannot be converted to 'BlockSummary'"),
        (lambda b: b.extends_parent(None), "argument 'parent': 'NoneType' object cannot be converted to 'BlockSummary'"),
        (
            lambda b: b.extends_parent(Checkpoint("1", "m", 1, "h")),
            "argument 'parent': 'Checkpoint' object cannot be converted to 'BlockSummary'",
        ),
        (lambda b: b.extends_parent(), "BlockSummary.extends_parent() missing 1 required positional argument: 'parent'"),
        (lambda b: b.extends_parent(b, b), "BlockSummary.extends_parent() takes 1 positional arguments but 2 were given"),
        (lambda b: BlockSummary(1.0, "h", "p", 0, 0), "argument 'number': 'float' object cannot be interpreted as an integer"),
        (lambda b: BlockSummary(1, 2, "p", 0, 0), "argument 'hash': 'int' object cannot be converted to 'PyString'"),
        (lambda b: BlockSummary(1, "h", None, 0, 0), "argument 'parent_hash': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda b: BlockSummary(1, "h", "p", "0", 0), "argument 'timestamp': 'str' object cannot be interpreted as an integer"),
        (lambda b: BlockSummary(1, "h", "p", 0, 1.5), "argument 'tx_count': 'float' object cannot be interpreted as an integer"),
        (lambda b: BlockSummary(1, "h", "p", 0, 0, 0), "BlockSummary.__new__() takes 5 positional arguments but 6 were given"),
        (lambda b: BlockSummary(1, "h", "p", 0), "BlockSummary.__new__() missing 1 required positional argument: 'tx_count'"),
        (lambda b: BlockSummary(1, "h", "p", 0, 0, number=1), "BlockSummary.__new__() got multiple values for argument 'number'"),
        (lambda b: BlockSummary(1, "h", "p", 0, 0, size=1), "BlockSummary.__new__() got an unexpected keyword argument 'size'"),
        # The first bad argument in parameter order is the one reported,
        # whatever the kind of its fault.
        (lambda b: BlockSummary(1.0, 2, None, 1.5, -1), "argument 'number': 'float' object cannot be interpreted as an integer"),
        (lambda b: BlockSummary(1, 2, 3, 1.5, -1), "argument 'hash': 'int' object cannot be converted to 'PyString'"),
        (lambda b: BlockSummary(1, "h", "p", 1.5, 2**40), "argument 'timestamp': 'float' object cannot be interpreted as an integer"),
        (lambda b: BlockSummary(tx_count=1.5, number=None, hash="h", parent_hash="p", timestamp=0), "argument 'number': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_type_errors(call, message):
    b = BlockSummary(1, "0xb1", "0xb0", 1700000000, 5)
    with pytest.raises(TypeError) as info:
        call(b)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_first_bad_argument_wins_over_a_later_overflow():
    with pytest.raises(OverflowError):
        BlockSummary(-1, 2, "p", 0, 0)
    with pytest.raises(TypeError, match="^argument 'hash'"):
        BlockSummary(1, 2, "p", 0, 2**40)


@pytest.mark.parametrize("field", ["hash", "parent_hash"])
def test_lone_surrogate_is_refused(field):
    args = {"number": 1, "hash": "h", "parent_hash": "p", "timestamp": 0, "tx_count": 0}
    args[field] = "0x\ud800"
    with pytest.raises(UnicodeEncodeError):
        BlockSummary(**args)
