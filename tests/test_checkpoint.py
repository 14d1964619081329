import time

import pytest

from vorlane import Checkpoint

MAX_U64 = 2**64 - 1


def test_fields_read_back():
    cp = Checkpoint("1", "main", 100, "0xAB", 1700000000)
    assert cp.chain_id == "1"
    assert cp.indexer_id == "main"
    assert cp.block_number == 100
    assert cp.block_hash == "0xAB"
    assert cp.updated_at == 1700000000


@pytest.mark.parametrize("extra", [(), (None,)], ids=["omitted", "none"])
def test_updated_at_defaults_to_the_wall_clock(extra):
    before = int(time.time())
    cp = Checkpoint("1", "main", 100, "0xab", *extra)
    after = int(time.time())
    assert before <= cp.updated_at <= after
    assert isinstance(cp.updated_at, int)


def test_updated_at_keyword_none_is_the_clock():
    assert abs(Checkpoint("1", "m", 1, "h", updated_at=None).updated_at - time.time()) <= 1


@pytest.mark.parametrize("value", [0, -1, -(2**63), 2**63 - 1])
def test_explicit_updated_at_is_stored_as_given(value):
    assert Checkpoint("1", "main", 100, "0xab", updated_at=value).updated_at == value


def test_empty_texts_and_zero_are_valid():
    cp = Checkpoint(chain_id="", indexer_id="", block_number=0, block_hash="")
    assert (cp.chain_id, cp.indexer_id, cp.block_number, cp.block_hash) == ("", "", 0, "")
    assert repr(cp) == 'Checkpoint(chain_id="", indexer_id="", block_number=0, block_hash="")'


def test_largest_block_number_round_trips():
    cp = Checkpoint("1", "main", MAX_U64, "0xab")
    assert cp.block_number == MAX_U64
    assert repr(cp).endswith(f"block_number={MAX_U64}, block_hash=\"0xab\")")


def test_texts_are_kept_exactly():
    text = "  0xAbC\u00e9\U0001f600 "
    cp = Checkpoint(text, text, 1, text)
    assert cp.chain_id == cp.indexer_id == cp.block_hash == text


def test_getters_return_fresh_objects():
    cp = Checkpoint("chain", "idx", 2**40, "0xab")
    assert cp.chain_id == cp.chain_id
    assert type(cp.block_number) is int


@pytest.mark.parametrize(
    "args, expected",
    [
        (("1", "main", 100, "0xab"), 'Checkpoint(chain_id="1", indexer_id="main", block_number=100, block_hash="0xab")'),
        (('a"b', "c\\d", 1, "e\nf"), 'Checkpoint(chain_id="a\\"b", indexer_id="c\\\\d", block_number=1, block_hash="e\\nf")'),
        (("it's", "é", 1, "\t\r\x00"), 'Checkpoint(chain_id="it\'s", indexer_id="é", block_number=1, block_hash="\\t\\r\\0")'),
        (("1", "m", 1, "h", 12345), 'Checkpoint(chain_id="1", indexer_id="m", block_number=1, block_hash="h")'),
    ],
)
def test_repr(args, expected):
    cp = Checkpoint(*args)
    assert repr(cp) == expected
    assert str(cp) == expected


@pytest.mark.parametrize("field", ["chain_id", "indexer_id", "block_number", "block_hash", "updated_at"])
def test_getters_are_read_only(field):
    cp = Checkpoint("1", "main", 100, "0xab", 7)
    before = getattr(cp, field)
    with pytest.raises(AttributeError):
        setattr(cp, field, before)
    with pytest.raises(AttributeError):
        delattr(cp, field)
    assert getattr(cp, field) == before


def test_getter_docstrings_are_empty():
    for name in ["chain_id", "indexer_id", "block_number", "block_hash", "updated_at"]:
        assert getattr(Checkpoint, name).__doc__ == ""
