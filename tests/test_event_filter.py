import inspect

import pytest

from vorlane import EventFilter

MAX_U64 = 2**64 - 1
EMPTY_REPR = "EventFilter(addresses=[], topic0_values=[])"


def filter_with(addresses=(), topics=()):
    f = EventFilter()
    for address in addresses:
        f.add_address(address)
    for topic in topics:
        f.add_topic0(topic)
    return f


def test_class_documentation():
    assert EventFilter.__doc__ == "Filter for which on-chain events to index."
    assert EventFilter.__text_signature__ == "()"
    assert list(inspect.signature(EventFilter).parameters) == []


@pytest.mark.parametrize(
    "name, text_signature, doc",
    [
        ("for_address", "(address)", "Create a filter for a single contract address."),
        ("add_topic0", "($self, topic)", "Add a topic0 value (keccak256 of the event signature)."),
        ("add_address", "($self, address)", "Add a contract address to the filter."),
        ("set_from_block", "($self, block)", "Set the start block."),
        ("matches_address", "($self, address)", "Check if an address matches."),
        ("matches_topic0", "($self, topic0)", "Check if a topic0 matches."),
    ],
)
def test_method_documentation(name, text_signature, doc):
    method = getattr(EventFilter, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc
    (param,) = [p for p in inspect.signature(getattr(EventFilter(), name)).parameters.values()]
    assert param.name == text_signature[1:-1].split(", ")[-1]
    assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert param.default is inspect.Parameter.empty


def test_for_address_is_static():
    assert isinstance(inspect.getattr_static(EventFilter, "for_address"), staticmethod)


def test_new_filter_is_empty():
    assert repr(EventFilter()) == EMPTY_REPR
    assert str(EventFilter()) == EMPTY_REPR


@pytest.mark.parametrize("text", ["", "x", "0xabc", "0xAbC", " 0x1 ", "\u00e9", "\U0001f600", "a\x00b"])
@pytest.mark.parametrize("method", ["matches_address", "matches_topic0"])
def test_empty_lists_match_everything(method, text):
    assert getattr(EventFilter(), method)(text) is True


@pytest.mark.parametrize(
    "candidate, expected",
    [
        ("0xabc", True),
        ("0XABC", True),
        ("0xAbC", True),
        ("0xaBc", True),
        ("abc", False),
        ("0xAbCd", False),
        ("0xAb", False),
        (" 0xAbC", False),
        ("0xAbC ", False),
        ("", False),
        ("0xab\u00e7", False),
    ],
)
def test_for_address_matches_with_ascii_case_folded(candidate, expected):
    f = EventFilter.for_address("0xAbC")
    assert f.matches_address(candidate) is expected


@pytest.mark.parametrize(
    "entry, candidate, expected",
    [
        ("\u00c4", "\u00e4", False),  # Ä / ä: only ASCII is folded
        ("\u00c4", "\u00c4", True),
        ("\u00c0", "\u00e0", False),  # UTF-8 C3 80 / C3 A0 differ only in bit 0x20
        ("k", "\u212a", False),  # Kelvin sign lower-cases to k in Python
        ("ss", "\u00df", False),
        ("SS", "ss", True),
        ("i", "\u0130", False),
        ("@", "`", False),  # 0x40 / 0x60: not letters
        ("[", "{", False),  # 0x5B / 0x7B
        ("^", "~", False),  # 0x5E / 0x7E
        ("Z", "z", True),
        ("A", "a", True),
        ("a\x00b", "A\x00B", True),
        ("a\x00b", "a", False),
        ("\U0001f600X", "\U0001f600x", True),
    ],
)
@pytest.mark.parametrize("kind", ["address", "topic0"])
def test_folding_is_ascii_only(kind, entry, candidate, expected):
    if kind == "address":
        f = filter_with(addresses=[entry])
        assert f.matches_address(candidate) is expected
        assert f.matches_topic0(candidate) is True
    else:
        f = filter_with(topics=[entry])
        assert f.matches_topic0(candidate) is expected
        assert f.matches_address(candidate) is True


@pytest.mark.parametrize(
    "candidate, expected", [("0xa", True), ("0XB", True), ("0xc", True), ("0xd", False), ("", False)]
)
def test_any_entry_of_several_matches(candidate, expected):
    f = filter_with(addresses=["0xA", "0xb", "0xC"], topics=["0xA", "0xb", "0xC"])
    assert f.matches_address(candidate) is expected
    assert f.matches_topic0(candidate) is expected


def test_address_and_topic_lists_are_separate():
    f = filter_with(addresses=["0xaddr"], topics=["0xtopic"])
    assert f.matches_address("0xaddr") and not f.matches_address("0xtopic")
    assert f.matches_topic0("0xtopic") and not f.matches_topic0("0xaddr")
    assert repr(f) == 'EventFilter(addresses=["0xaddr"], topic0_values=["0xtopic"])'


def test_for_address_repr_keeps_text_as_given():
    assert repr(EventFilter.for_address("0xAbC")) == 'EventFilter(addresses=["0xAbC"], topic0_values=[])'


@pytest.mark.parametrize(
    "addresses, topics, expected",
    [
        (["0xa", "0xa"], [], 'EventFilter(addresses=["0xa", "0xa"], topic0_values=[])'),
        ([], ["0xa", "0xA"], 'EventFilter(addresses=[], topic0_values=["0xa", "0xA"])'),
        (['a"b'], [], 'EventFilter(addresses=["a\\"b"], topic0_values=[])'),
        (["a\\b", "c\nd"], ["\t"], 'EventFilter(addresses=["a\\\\b", "c\\nd"], topic0_values=["\\t"])'),
        ([""], [""], 'EventFilter(addresses=[""], topic0_values=[""])'),
        (["\u00e9"], [], 'EventFilter(addresses=["\u00e9"], topic0_values=[])'),
    ],
)
def test_repr_lists_entries_in_order_with_duplicates(addresses, topics, expected):
    assert repr(filter_with(addresses, topics)) == expected


def test_empty_address_entry_matches_only_the_empty_text():
    f = EventFilter()
    f.add_address("")
    assert f.matches_address("") is True
    assert f.matches_address("x") is False


def test_mutators_return_none():
    f = EventFilter()
    assert f.add_address("0x1") is None
    assert f.add_topic0("0x2") is None
    assert f.set_from_block(3) is None


def test_for_address_on_an_instance_returns_a_new_filter():
    f = EventFilter.for_address("0xa")
    g = f.for_address("0xb")
    assert type(g) is EventFilter
    assert g is not f
    assert repr(f) == 'EventFilter(addresses=["0xa"], topic0_values=[])'
    assert repr(g) == 'EventFilter(addresses=["0xb"], topic0_values=[])'
    g.add_address("0xc")
    assert not f.matches_address("0xc")


def test_keyword_forms():
    f = EventFilter.for_address(address="0xa")
    f.add_address(address="0xb")
    f.add_topic0(topic="0xt")
    f.set_from_block(block=7)
    assert f.matches_address(address="0xB")
    assert f.matches_topic0(topic0="0xT")
    assert repr(f) == 'EventFilter(addresses=["0xa", "0xb"], topic0_values=["0xt"])'


@pytest.mark.parametrize("block", [5, 3, 0, MAX_U64, True])
def test_set_from_block_does_not_change_matching_or_repr(block):
    f = filter_with(addresses=["0xa"], topics=["0xt"])
    before = repr(f)
    f.set_from_block(5)
    f.set_from_block(block)
    assert repr(f) == before
    assert f.matches_address("0xA") and not f.matches_address("0xb")
    assert f.matches_topic0("0xT") and not f.matches_topic0("0xu")


@pytest.mark.parametrize("block", [-1, 2**64, -(2**70)])
def test_set_from_block_out_of_range(block):
    f = filter_with(addresses=["0xa"])
    with pytest.raises(OverflowError):
        f.set_from_block(block)
    assert repr(f) == 'EventFilter(addresses=["0xa"], topic0_values=[])'
    f.set_from_block(1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.set_from_block(1.0), "argument 'block': 'float' object cannot be interpreted as an integer"),
        (lambda f: f.set_from_block("1"), "argument 'block': 'str' object cannot be interpreted as an integer"),
        (lambda f: f.set_from_block(None), "argument 'block': 'NoneType' object cannot be interpreted as an integer"),
        (lambda f: f.add_address(5), "argument 'address': 'int' object cannot be converted to 'PyString'"),
        (lambda f: f.add_address(b"0xa"), "argument 'address': 'bytes' object cannot be converted to 'PyString'"),
        (lambda f: f.add_topic0(5), "argument 'topic': 'int' object cannot be converted to 'PyString'"),
        (lambda f: f.matches_address(None), "argument 'address': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda f: f.matches_topic0(5), "argument 'topic0': 'int' object cannot be converted to 'PyString'"),
        (lambda f: f.for_address(5), "argument 'address': 'int' object cannot be converted to 'PyString'"),
        (lambda f: f.add_address(), "EventFilter.add_address() missing 1 required positional argument: 'address'"),
        (lambda f: f.add_address("a", "b"), "EventFilter.add_address() takes 1 positional arguments but 2 were given"),
        (lambda f: f.add_address("a", address="b"), "EventFilter.add_address() got multiple values for argument 'address'"),
        (lambda f: f.add_topic0(topic0="a"), "EventFilter.add_topic0() got an unexpected keyword argument 'topic0'"),
        (lambda f: f.set_from_block(), "EventFilter.set_from_block() missing 1 required positional argument: 'block'"),
        (lambda f: f.matches_topic0(), "EventFilter.matches_topic0() missing 1 required positional argument: 'topic0'"),
        (lambda f: EventFilter(1), "EventFilter.__new__() takes 0 positional arguments but 1 was given"),
        (lambda f: EventFilter(x=1), "EventFilter.__new__() got an unexpected keyword argument 'x'"),
        (lambda f: EventFilter.for_address(), "EventFilter.for_address() missing 1 required positional argument: 'address'"),
    ],
)
def test_type_errors(call, message):
    f = filter_with(addresses=["0xa"], topics=["0xt"])
    with pytest.raises(TypeError) as info:
        call(f)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert repr(f) == 'EventFilter(addresses=["0xa"], topic0_values=["0xt"])'


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.add_address("0x\ud800"),
        lambda f: f.add_topic0("\udfff"),
        lambda f: f.matches_address("\ud800"),
        lambda f: f.matches_topic0("a\udc80"),
        lambda f: f.for_address("\ud800"),
    ],
    ids=["add_address", "add_topic0", "matches_address", "matches_topic0", "for_address"],
)
def test_lone_surrogate_is_refused_and_filter_unchanged(call):
    f = filter_with(addresses=["0xa"])
    with pytest.raises(UnicodeEncodeError) as info:
        call(f)
    assert not str(info.value).startswith("argument")
    assert repr(f) == 'EventFilter(addresses=["0xa"], topic0_values=[])'


@pytest.mark.parametrize("field", ["addresses", "topic0_values", "from_block", "to_block"])
def test_fields_are_not_exposed(field):
    with pytest.raises(AttributeError):
        getattr(EventFilter(), field)


class CallsBack:
    """An integer whose conversion runs `action` first."""

    def __init__(self, action, value=7):
        self.action = action
        self.value = value
        self.raised = None

    def __index__(self):
        try:
            self.action()
        except BaseException as e:
            self.raised = e
            raise
        return self.value


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda f: f.matches_address("0xa"), "Already mutably borrowed"),
        (lambda f: f.matches_topic0("0xt"), "Already mutably borrowed"),
        (lambda f: repr(f), "Already mutably borrowed"),
        (lambda f: str(f), "Already mutably borrowed"),
        (lambda f: f.add_address("0xb"), "Already borrowed"),
        (lambda f: f.add_topic0("0xu"), "Already borrowed"),
        (lambda f: f.set_from_block(1), "Already borrowed"),
    ],
)
def test_reentrant_use_during_set_from_block_is_refused(action, message):
    f = filter_with(addresses=["0xa"], topics=["0xt"])
    before = repr(f)
    block = CallsBack(lambda: action(f))
    with pytest.raises(RuntimeError) as info:
        f.set_from_block(block)
    assert type(block.raised) is RuntimeError
    assert str(block.raised) == message
    assert info.value is block.raised
    assert repr(f) == before
    # The borrow was released: the filter works normally again.
    f.set_from_block(2)
    f.add_address("0xb")
    assert f.matches_address("0xB")
    assert repr(f) == 'EventFilter(addresses=["0xa", "0xb"], topic0_values=["0xt"])'


def test_a_different_filter_is_free_during_set_from_block():
    f = EventFilter.for_address("0xa")
    other = EventFilter()

    def use_other():
        other.add_address("0xo")
        other.set_from_block(1)
        assert other.matches_address("0xO")
        assert repr(other) == 'EventFilter(addresses=["0xo"], topic0_values=[])'

    block = CallsBack(use_other)
    f.set_from_block(block)
    assert block.raised is None
    assert repr(other) == 'EventFilter(addresses=["0xo"], topic0_values=[])'
    assert repr(f) == 'EventFilter(addresses=["0xa"], topic0_values=[])'
