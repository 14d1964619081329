import inspect
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vorlane import IndexerConfig

MAX_U64 = 2**64 - 1
COUNTS = ["from_block", "confirmation_depth", "batch_size", "checkpoint_interval", "poll_interval_ms"]
FIELDS = ["id", "chain", "from_block", "to_block", *COUNTS[1:]]
DEFAULT_JSON = (
    '{"id":"default","chain":"ethereum","from_block":0,"to_block":null,"confirmation_depth":12,'
    '"batch_size":1000,"checkpoint_interval":100,"poll_interval_ms":2000,'
    '"filter":{"addresses":[],"topic0_values":[],"from_block":null,"to_block":null}}'
)
EMPTY_FILTER = {"addresses": [], "topic0_values": [], "from_block": None, "to_block": None}


def fields(config):
    return {name: getattr(config, name) for name in FIELDS}


def test_class_documentation():
    assert IndexerConfig.__doc__ == "Configuration for an EVM indexer."
    assert IndexerConfig.__text_signature__ == (
        "(id=..., chain=..., from_block=0, to_block=None, confirmation_depth=12, batch_size=1000, "
        "checkpoint_interval=100, poll_interval_ms=2000)"
    )
    assert list(inspect.signature(IndexerConfig).parameters) == FIELDS
    assert IndexerConfig.to_json.__text_signature__ == "($self)"
    assert IndexerConfig.to_json.__doc__ == "Serialize config to JSON."


def test_defaults():
    config = IndexerConfig()
    assert fields(config) == {
        "id": "default",
        "chain": "ethereum",
        "from_block": 0,
        "to_block": None,
        "confirmation_depth": 12,
        "batch_size": 1000,
        "checkpoint_interval": 100,
        "poll_interval_ms": 2000,
    }
    assert config.to_json() == DEFAULT_JSON
    assert repr(config) == 'IndexerConfig(id="default", chain="ethereum", from_block=0, confirmation_depth=12)'
    assert str(config) == repr(config)


def test_positional_arguments():
    config = IndexerConfig("a", "b", 5, 7)
    assert (config.id, config.chain, config.from_block, config.to_block) == ("a", "b", 5, 7)
    assert config.to_json() == DEFAULT_JSON.replace('"default"', '"a"').replace('"ethereum"', '"b"').replace(
        '"from_block":0,"to_block":null,"confirmation_depth"', '"from_block":5,"to_block":7,"confirmation_depth"'
    )
    assert repr(config) == 'IndexerConfig(id="a", chain="b", from_block=5, confirmation_depth=12)'


def test_all_positional_equals_all_keyword():
    values = ["x", "y", 1, 2, 3, 4, 5, 6]
    a = IndexerConfig(*values)
    b = IndexerConfig(**dict(reversed(list(zip(FIELDS, values)))))
    c = IndexerConfig("x", "y", 1, poll_interval_ms=6, batch_size=4, to_block=2, checkpoint_interval=5, confirmation_depth=3)
    assert fields(a) == dict(zip(FIELDS, values))
    assert fields(b) == fields(a) == fields(c)
    assert a.to_json() == b.to_json() == c.to_json()
    assert repr(a) == repr(b) == repr(c)


@pytest.mark.parametrize(
    "kwargs, fragment",
    [
        ({}, '"to_block":null'),
        ({"to_block": None}, '"to_block":null'),
        ({"to_block": 0}, '"to_block":0,'),
        ({"to_block": MAX_U64}, f'"to_block":{MAX_U64},'),
    ],
)
def test_to_block(kwargs, fragment):
    config = IndexerConfig(**kwargs)
    assert config.to_block == kwargs.get("to_block")
    assert fragment in config.to_json()
    # The filter's own to_block stays null whatever the config's is.
    assert config.to_json().endswith('"from_block":null,"to_block":null}}')


@pytest.mark.parametrize("field", COUNTS)
def test_largest_count_is_kept_in_full(field):
    config = IndexerConfig(**{field: MAX_U64})
    assert getattr(config, field) == MAX_U64
    assert json.loads(config.to_json())[field] == MAX_U64
    assert f'"{field}":{MAX_U64},' in config.to_json()
    if field in ("from_block", "confirmation_depth"):
        assert f"{field}={MAX_U64}" in repr(config)


@pytest.mark.parametrize("field", COUNTS + ["to_block"])
@pytest.mark.parametrize("value, expected", [(True, 1), (False, 0), (0, 0)])
def test_bool_and_zero_are_accepted(field, value, expected):
    config = IndexerConfig(**{field: value})
    assert getattr(config, field) == expected
    assert type(getattr(config, field)) is int


def test_unusual_but_valid_settings_are_kept():
    config = IndexerConfig(from_block=10, to_block=5, batch_size=0, confirmation_depth=0)
    assert (config.from_block, config.to_block, config.batch_size, config.confirmation_depth) == (10, 5, 0, 0)
    assert '"from_block":10,"to_block":5,"confirmation_depth":0,"batch_size":0,' in config.to_json()


@pytest.mark.parametrize("field", COUNTS + ["to_block"])
@pytest.mark.parametrize("value", [-1, 2**64])
def test_counts_out_of_range(field, value):
    with pytest.raises(OverflowError) as info:
        IndexerConfig(**{field: value})
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {"from_block": None}, "argument 'from_block': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"confirmation_depth": None}, "argument 'confirmation_depth': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"batch_size": None}, "argument 'batch_size': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"checkpoint_interval": None}, "argument 'checkpoint_interval': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"poll_interval_ms": None}, "argument 'poll_interval_ms': 'NoneType' object cannot be interpreted as an integer"),
        (("a", "b", None), {}, "argument 'from_block': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"from_block": 1.0}, "argument 'from_block': 'float' object cannot be interpreted as an integer"),
        ((), {"to_block": 1.0}, "argument 'to_block': 'float' object cannot be interpreted as an integer"),
        ((), {"batch_size": "10"}, "argument 'batch_size': 'str' object cannot be interpreted as an integer"),
        ((), {"id": None}, "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        ((), {"chain": None}, "argument 'chain': 'NoneType' object cannot be converted to 'PyString'"),
        ((1,), {}, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (("a", b"b"), {}, "argument 'chain': 'bytes' object cannot be converted to 'PyString'"),
        (("a", 1, 1.0), {}, "argument 'chain': 'int' object cannot be converted to 'PyString'"),
        (tuple(range(9)), {}, "IndexerConfig.__new__() takes from 0 to 8 positional arguments but 9 were given"),
        ((), {"name": "x"}, "IndexerConfig.__new__() got an unexpected keyword argument 'name'"),
        (("a",), {"id": "b"}, "IndexerConfig.__new__() got multiple values for argument 'id'"),
        (("a", "b", 1, 2), {"to_block": 3}, "IndexerConfig.__new__() got multiple values for argument 'to_block'"),
    ],
)
def test_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        IndexerConfig(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_to_json_refuses_arguments_and_foreign_self():
    with pytest.raises(TypeError):
        IndexerConfig.to_json(5)
    with pytest.raises(TypeError):
        IndexerConfig().to_json(1)


def control_escape(code):
    short = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}
    return short.get(code, "\\u%04x" % code)


@pytest.mark.parametrize(
    "text, json_form",
    [
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("a\nb", '"a\\nb"'),
        ("\x01", '"\\u0001"'),
        ("\x1f", '"\\u001f"'),
        ("/", '"/"'),
        ("\x7f", '"\x7f"'),
        ("\u00e9", '"\u00e9"'),
        ("\U0001f600", '"\U0001f600"'),
        ("\u2028", '"\u2028"'),
        ("", '""'),
        *[(chr(c), '"%s"' % control_escape(c)) for c in range(0x20)],
    ],
)
@pytest.mark.parametrize("field", ["id", "chain"])
def test_json_text_escapes(field, text, json_form):
    config = IndexerConfig(**{field: text})
    assert f'"{field}":{json_form},' in config.to_json()
    assert json.loads(config.to_json())[field] == text


@pytest.mark.parametrize(
    "text, repr_form",
    [
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("a\nb", '"a\\nb"'),
        ("\x01", '"\\u{1}"'),
        ("", '""'),
        ("it's \u00e9", "\"it's \u00e9\""),
    ],
)
def test_repr_quotes_texts(text, repr_form):
    assert repr(IndexerConfig(id=text, chain=text)) == (
        f"IndexerConfig(id={repr_form}, chain={repr_form}, from_block=0, confirmation_depth=12)"
    )


@pytest.mark.parametrize("field", ["id", "chain"])
def test_lone_surrogate_is_refused(field):
    with pytest.raises(UnicodeEncodeError):
        IndexerConfig(**{field: "a\udc80"})


@pytest.mark.parametrize("field", FIELDS)
def test_fields_are_read_only(field):
    config = IndexerConfig("a", "b", 5, 7)
    before = getattr(config, field)
    with pytest.raises(AttributeError):
        setattr(config, field, before)
    assert getattr(config, field) == before
    assert config.to_json() == IndexerConfig("a", "b", 5, 7).to_json()


def test_identity_equality_with_identical_json():
    a = IndexerConfig("a", "b", 5, 7)
    b = IndexerConfig("a", "b", 5, 7)
    assert a != b
    assert a == a
    assert a.to_json() == b.to_json()


u64 = st.integers(0, MAX_U64)
# Every code point, surrogates included, with the characters JSON escaping
# is about drawn more often.
any_text = st.text(
    st.characters(exclude_categories=()) | st.sampled_from('"\\/\x00\x08\x1f\x7f\n\u2028'),
    max_size=20,
)


@settings(max_examples=300, deadline=None)
@given(
    id=any_text,
    chain=any_text,
    from_block=u64,
    to_block=st.none() | u64,
    confirmation_depth=u64,
    batch_size=u64,
    checkpoint_interval=u64,
    poll_interval_ms=u64,
)
def test_json_round_trips_and_matches_the_standard_encoder(**values):
    def has_surrogate(text):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in text)

    if has_surrogate(values["id"]) or has_surrogate(values["chain"]):
        with pytest.raises(UnicodeEncodeError):
            IndexerConfig(**values)
        return
    config = IndexerConfig(**values)
    text = config.to_json()
    expected = {**values, "filter": EMPTY_FILTER}
    assert json.loads(text) == expected
    assert list(json.loads(text)) == [*FIELDS, "filter"]
    assert text == json.dumps(expected, separators=(",", ":"), ensure_ascii=False)
    assert fields(config) == values


def test_numbers_are_converted_in_parameter_order_whatever_the_keyword_order():
    seen = []

    class Index:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __index__(self):
            seen.append(self.name)
            return self.value

    config = IndexerConfig(
        poll_interval_ms=Index("poll_interval_ms", 6),
        checkpoint_interval=Index("checkpoint_interval", 5),
        batch_size=Index("batch_size", 4),
        confirmation_depth=Index("confirmation_depth", 3),
        to_block=Index("to_block", 2),
        from_block=Index("from_block", 1),
    )
    assert seen == ["from_block", "to_block", "confirmation_depth", "batch_size",
                    "checkpoint_interval", "poll_interval_ms"]
    assert (config.from_block, config.to_block, config.confirmation_depth, config.batch_size,
            config.checkpoint_interval, config.poll_interval_ms) == (1, 2, 3, 4, 5, 6)
    with pytest.raises(TypeError, match="^argument 'to_block': "):
        IndexerConfig(poll_interval_ms=1.0, to_block=1.0)
