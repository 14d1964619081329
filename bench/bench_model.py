"""ns per call for BlockSummary, EventFilter and IndexerConfig, beside
plain-Python ``__slots__`` classes doing the same work.

Notes on the Python side:
  * matches_address is ``any(len(a) == len(x) and a.lower() == x.lower()
    for a in addrs)``.  str.lower() folds more than ASCII letters while
    vorlane folds ASCII only; for 0x-hex addresses the answers are the same,
    and the comparison is about speed.
  * to_json is compared both with json.dumps of a ready-made dict (the
    serialisation alone) and with a method that builds that dict from the
    object's fields first (what a Python class would actually do).

Run: python bench/bench_model.py [--quick]
"""

from __future__ import annotations

import hashlib
import json

import _floor
import vorlane
from _common import Timer, parse_args, print_header, quote


# ---------------------------------------------------------------------------
# Plain-Python counterparts


class PyBlockSummary:
    __slots__ = ("number", "hash", "parent_hash", "timestamp", "tx_count")

    def __init__(self, number, hash, parent_hash, timestamp, tx_count):
        self.number = number
        self.hash = hash
        self.parent_hash = parent_hash
        self.timestamp = timestamp
        self.tx_count = tx_count

    def extends_parent(self, parent):
        return self.number == parent.number + 1 and self.parent_hash == parent.hash


def py_matches(addrs, x):
    return any(len(a) == len(x) and a.lower() == x.lower() for a in addrs)


class PyEventFilter:
    __slots__ = ("addresses", "topic0_values", "from_block", "to_block")

    def __init__(self):
        self.addresses = []
        self.topic0_values = []
        self.from_block = None
        self.to_block = None

    @classmethod
    def for_address(cls, address):
        f = cls()
        f.addresses.append(address)
        return f

    def add_address(self, address):
        self.addresses.append(address)

    def matches_address(self, address):
        return py_matches(self.addresses, address)

    def __repr__(self):
        return (
            "EventFilter(addresses=["
            + ", ".join(map(quote, self.addresses))
            + "], topic0_values=["
            + ", ".join(map(quote, self.topic0_values))
            + "])"
        )

    def to_dict(self):
        return {
            "addresses": self.addresses,
            "topic0_values": self.topic0_values,
            "from_block": self.from_block,
            "to_block": self.to_block,
        }


class PyIndexerConfig:
    __slots__ = (
        "id", "chain", "from_block", "to_block", "confirmation_depth",
        "batch_size", "checkpoint_interval", "poll_interval_ms", "filter",
    )

    def __init__(self, id="default", chain="ethereum", from_block=0, to_block=None,
                 confirmation_depth=12, batch_size=1000, checkpoint_interval=100,
                 poll_interval_ms=2000):
        self.id = id
        self.chain = chain
        self.from_block = from_block
        self.to_block = to_block
        self.confirmation_depth = confirmation_depth
        self.batch_size = batch_size
        self.checkpoint_interval = checkpoint_interval
        self.poll_interval_ms = poll_interval_ms
        self.filter = PyEventFilter()

    def to_dict(self):
        return {
            "id": self.id,
            "chain": self.chain,
            "from_block": self.from_block,
            "to_block": self.to_block,
            "confirmation_depth": self.confirmation_depth,
            "batch_size": self.batch_size,
            "checkpoint_interval": self.checkpoint_interval,
            "poll_interval_ms": self.poll_interval_ms,
            "filter": self.filter.to_dict(),
        }

    def to_json(self):
        return json.dumps(self.to_dict(), separators=(",", ":"), ensure_ascii=False)


# ---------------------------------------------------------------------------
# Inputs


def address(i: int) -> str:
    """A 42-character 0x address with mixed-case hex letters, distinct per i."""
    digits = hashlib.sha256(str(i).encode()).hexdigest()[:40]
    return "0x" + "".join(c.upper() if k % 3 == 0 else c for k, c in enumerate(digits))


def main() -> None:
    args = parse_args(__doc__.splitlines()[0])
    print_header("BlockSummary / EventFilter / IndexerConfig", args)
    t = Timer(args.quick)

    V = vorlane
    P = dict(BlockSummary=PyBlockSummary, EventFilter=PyEventFilter,
             IndexerConfig=PyIndexerConfig)
    N = dict(BlockSummary=V.BlockSummary, EventFilter=V.EventFilter,
             IndexerConfig=V.IndexerConfig)

    h_parent = "0x" + "aa" * 32
    h_child = "0x" + "bb" * 32
    h_grand = "0x" + "99" * 32
    common = dict(h_parent=h_parent, h_child=h_child, h_grand=h_grand, a=address(0))
    n_ns = dict(common, **N)
    p_ns = dict(common, **P)
    for ns, mod in ((n_ns, N), (p_ns, P)):
        B = mod["BlockSummary"]
        ns["parent"] = B(18_500_000, h_parent, h_grand, 1_700_000_000, 150)
        ns["child"] = B(18_500_001, h_child, h_parent, 1_700_000_012, 0)
    assert n_ns["child"].extends_parent(n_ns["parent"]) is True
    assert p_ns["child"].extends_parent(p_ns["parent"]) is True

    t.loop_overhead()

    config_kw = ("id='erc20-transfers', chain='mainnet', from_block=18_000_000, "
                 "to_block=19_000_000, confirmation_depth=64, batch_size=500, "
                 "checkpoint_interval=50, poll_interval_ms=1000")
    constructors = [
        ("BlockSummary(number, hash, parent_hash, timestamp, tx_count)",
         "BlockSummary(18_500_001, h_child, h_parent, 1_700_000_012, 0)"),
        ("EventFilter()", "EventFilter()"),
        ("EventFilter.for_address(a)", "EventFilter.for_address(a)"),
        ("IndexerConfig()", "IndexerConfig()"),
        ("IndexerConfig(8 keyword args)", f"IndexerConfig({config_kw})"),
        ("IndexerConfig(8 positional args)",
         "IndexerConfig('erc20-transfers', 'mainnet', 18_000_000, 19_000_000, 64, 500, 50, 1000)"),
        ("child.extends_parent(parent)", "child.extends_parent(parent)"),
    ]
    for label, stmt in constructors:
        t.pair(label, (stmt, n_ns), (stmt, p_ns))

    # matches_address: filters of 1 and 1000 addresses; the hit is the last
    # address added, asked for in the other letter case; the miss has the
    # same length and matches nothing.
    for size in (1, 1000):
        addrs = [address(i) for i in range(size)]
        nf, pf = V.EventFilter(), PyEventFilter()
        for a in addrs:
            nf.add_address(a)
            pf.add_address(a)
        hit = "0x" + addrs[-1][2:].swapcase()
        miss = "0x" + "e" * 40
        assert hit != addrs[-1] and len(miss) == len(hit)
        assert nf.matches_address(hit) and pf.matches_address(hit)
        assert not nf.matches_address(miss) and not pf.matches_address(miss)
        for what, query in (("hit on the last entry, other case", hit), ("miss, same length", miss)):
            t.pair(
                f"matches_address on {size} address(es): {what}",
                ("f.matches_address(q)", dict(f=nf, q=query)),
                ("f.matches_address(q)", dict(f=pf, q=query)),
            )

    # repr of a filter with 10 addresses.
    nf, pf = V.EventFilter(), PyEventFilter()
    for i in range(10):
        nf.add_address(address(i))
        pf.add_address(address(i))
    assert repr(nf) == repr(pf), (repr(nf), repr(pf))
    t.pair("repr(EventFilter with 10 addresses)",
           ("repr(f)", dict(f=nf)), ("repr(f)", dict(f=pf)))

    # to_json of a config with every field given.
    nc = eval(f"IndexerConfig({config_kw})", N)
    pc = eval(f"IndexerConfig({config_kw})", P)
    assert nc.to_json() == pc.to_json(), (nc.to_json(), pc.to_json())
    ready = pc.to_dict()
    print("IndexerConfig(8 keyword args).to_json()")
    native = t.row("vorlane cfg.to_json()", "cfg.to_json()", dict(cfg=nc))
    dumps_only = t.row(
        "json.dumps(ready dict, separators, ensure_ascii=False)",
        "dumps(d, separators=(',', ':'), ensure_ascii=False)",
        dict(dumps=json.dumps, d=ready),
    )
    full = t.row("plain Python cfg.to_json() (builds the dict, then dumps)",
                 "cfg.to_json()", dict(cfg=pc))
    if native > 0:
        print(f"  {'ratio json.dumps only / vorlane (best)':<58} {dumps_only / native:>11.2f} x")
        print(f"  {'ratio plain-Python to_json / vorlane (best)':<58} {full / native:>11.2f} x")
    print()

    floor_section(args, nc, config_kw)


def topic(i: int) -> str:
    """A 66-character 0x topic with mixed-case hex letters, distinct per i."""
    digits = hashlib.sha256(b"topic" + str(i).encode()).hexdigest()
    return "0x" + "".join(c.upper() if k % 2 == 0 else c for k, c in enumerate(digits))


def other_case(text: str) -> str:
    return "0x" + text[2:].swapcase()


def floor_section(args, config, config_kw: str) -> None:
    """Each operation as a ratio to the least its kind of call costs."""
    floor, where = _floor.load()
    print(f"against the call floor ({where if floor else 'no floor: ' + where})")
    ft = _floor.FloorTimer(floor, args.quick)
    ft.header()
    V = vorlane

    h_parent, h_child = "0x" + "aa" * 32, "0x" + "bb" * 32
    ns = dict(V=V, h_parent=h_parent, h_child=h_child, a=address(0))
    ft.row("BlockSummary(5 positional args)",
           "V.BlockSummary(18_500_001, h_child, h_parent, 1_700_000_012, 0)", ns,
           "VCtor(5 args)", "cf.VCtor(18_500_001, h_child, h_parent, 1_700_000_012, 0)", ns,
           limit=2)
    ft.row("IndexerConfig()", "V.IndexerConfig()", ns, "VCtor()", "cf.VCtor()", limit=2)
    ft.row("IndexerConfig(8 keyword args)", f"V.IndexerConfig({config_kw})", ns,
           "VCtor(8 keyword args)", f"cf.VCtor({config_kw})", limit=2.5)
    ft.row("EventFilter.for_address(a)", "V.EventFilter.for_address(a)", ns,
           "Ctor.make(a)", "cf.Ctor.make(a)", ns, limit=2)

    parent = V.BlockSummary(18_500_000, h_parent, "0x" + "99" * 32, 1_700_000_000, 150)
    child = V.BlockSummary(18_500_001, h_child, h_parent, 1_700_000_012, 0)
    assert child.extends_parent(parent)
    obj = floor.Obj("x") if floor else None
    ft.row("child.extends_parent(parent)", "child.extends_parent(parent)",
           dict(child=child, parent=parent), "Obj.m1(x)", "o.m1(x)", dict(o=obj, x=parent),
           limit=1.4)

    # One entry: a hit asked for in the other letter case, and a miss of the
    # same length.
    a0, t0 = address(0), topic(0)
    for method, entry in (("matches_address", a0), ("matches_topic0", t0)):
        f = V.EventFilter()
        getattr(f, "add_address" if method == "matches_address" else "add_topic0")(entry)
        hit, miss = other_case(entry), "0x" + "e" * (len(entry) - 2)
        assert getattr(f, method)(hit) and not getattr(f, method)(miss)
        for what, query, limit in (("hit, other case", hit, 2), ("miss, same length", miss, 1.5)):
            ft.row(f"{method}, 1 entry of {len(entry)}: {what}", f"f.{method}(q)",
                   dict(f=f, q=query), "Obj.m1(x)", "o.m1(q)", dict(o=obj, q=query),
                   limit=limit)

    # Three topics of 66 characters, the hit on the last one.
    f = V.EventFilter()
    topics = [topic(i) for i in range(3)]
    for t in topics:
        f.add_topic0(t)
    hit = other_case(topics[-1])
    assert f.matches_topic0(hit)
    ft.row("matches_topic0, 3 entries of 66: hit on the last", "f.matches_topic0(q)",
           dict(f=f, q=hit), "Obj.m1(x)", "o.m1(q)", dict(o=obj, q=hit), limit=2)

    # A long list: every entry is looked at.
    f = V.EventFilter()
    addrs = [address(i) for i in range(1000)]
    for x in addrs:
        f.add_address(x)
    hit, miss = other_case(addrs[-1]), "0x" + "e" * 40
    assert f.matches_address(hit) and not f.matches_address(miss)
    ft.per_item("matches_address, 1,000 entries of 42: miss", "f.matches_address(q)",
                dict(f=f, q=miss), 1000, 1.0)
    ft.per_item("matches_address, 1,000 entries of 42: hit on the last",
                "f.matches_address(q)", dict(f=f, q=hit), 1000, 1.0)

    # Appends: 100,000 to a filter made fresh for each repeat.
    for method, text in (("add_address", a0), ("add_topic0", address(1))):
        ft.row(f"{method}(42-char text), 100,000 appends", f"f.{method}(x)",
               dict(V=V, x=text), "Obj.m1(x)", "o.m1(x)", dict(o=obj, x=text), limit=3,
               setup="f = V.EventFilter()", number=100_000)

    # repr and to_json against a floor returning a str of the same length.
    block = V.BlockSummary(18_500_001, h_child, h_parent, 1_700_000_012, 150)
    ef = V.EventFilter()
    for i in range(5):
        ef.add_address(address(i))
        ef.add_topic0(topic(i))
    for label, target, limit in (
        ("repr(BlockSummary)", block, 1.6),
        ("repr(IndexerConfig)", config, 1.6),
        ("repr(EventFilter), 5 addresses + 5 topics", ef, 2.5),
    ):
        text = repr(target)
        ft.row(f"{label} [{len(text)} chars]", "repr(x)", dict(x=target),
               "repr(Obj(text))", "repr(o)", dict(o=floor.Obj(text) if floor else None),
               limit=limit)
    text = config.to_json()
    ft.row(f"IndexerConfig.to_json() [{len(text)} chars]", "c.to_json()", dict(c=config),
           "Obj(text).s0()", "o.s0()", dict(o=floor.Obj(text) if floor else None), limit=3)
    ready = json.loads(text)
    assert json.dumps(ready, separators=(",", ":"), ensure_ascii=False) == text
    ft.row("IndexerConfig.to_json() against json.dumps", "c.to_json()", dict(c=config),
           "json.dumps(equivalent dict)", "dumps(d, separators=(',', ':'), ensure_ascii=False)",
           dict(dumps=json.dumps, d=ready), limit=0.25, needs_floor=False)
    print()


if __name__ == "__main__":
    main()
