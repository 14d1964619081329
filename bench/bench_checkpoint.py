"""ns per call for Checkpoint construction, repr and getters, beside a
plain-Python ``__slots__`` class doing the same work.

Run: python bench/bench_checkpoint.py [--quick]
"""

from __future__ import annotations

import time

import _floor
import vorlane
from _common import Timer, parse_args, print_header, quote


class PyCheckpoint:
    __slots__ = ("chain_id", "indexer_id", "block_number", "block_hash", "updated_at")

    def __init__(self, chain_id, indexer_id, block_number, block_hash, updated_at=None):
        self.chain_id = chain_id
        self.indexer_id = indexer_id
        self.block_number = block_number
        self.block_hash = block_hash
        self.updated_at = int(time.time()) if updated_at is None else updated_at

    def __repr__(self):
        return (
            f"Checkpoint(chain_id={quote(self.chain_id)}, "
            f"indexer_id={quote(self.indexer_id)}, "
            f"block_number={self.block_number}, "
            f"block_hash={quote(self.block_hash)})"
        )


CHAIN = "1"
INDEXER = "erc20-transfers"
NUMBER = 18_500_000
HASH = "0x" + "9f3c" * 16
STAMP = 1_700_000_000


def main() -> None:
    args = parse_args(__doc__.splitlines()[0])
    print_header("Checkpoint", args)
    t = Timer(args.quick)

    native_cp = vorlane.Checkpoint(CHAIN, INDEXER, NUMBER, HASH, STAMP)
    python_cp = PyCheckpoint(CHAIN, INDEXER, NUMBER, HASH, STAMP)
    # The two reprs must agree, on plain texts and on every escaped character.
    for text in (INDEXER, 'a\\b"c\nd\te\rf\0g'):
        a = repr(vorlane.Checkpoint(CHAIN, text, NUMBER, HASH, STAMP))
        b = repr(PyCheckpoint(CHAIN, text, NUMBER, HASH, STAMP))
        assert a == b, (a, b)

    args_ns = dict(chain=CHAIN, indexer=INDEXER, number=NUMBER, hash_=HASH, stamp=STAMP)
    n_ns = dict(args_ns, C=vorlane.Checkpoint, cp=native_cp)
    p_ns = dict(args_ns, C=PyCheckpoint, cp=python_cp)

    t.loop_overhead()

    for label, stmt in [
        ("Checkpoint(4 args), updated_at from the wall clock",
         "C(chain, indexer, number, hash_)"),
        ("Checkpoint(5 args, positional)",
         "C(chain, indexer, number, hash_, stamp)"),
        ("Checkpoint(5 keyword args)",
         "C(chain_id=chain, indexer_id=indexer, block_number=number, "
         "block_hash=hash_, updated_at=stamp)"),
        ("repr(cp)", "repr(cp)"),
        ("cp.block_number", "cp.block_number"),
        ("cp.chain_id", "cp.chain_id"),
    ]:
        t.pair(label, (stmt, n_ns), (stmt, p_ns))

    floor_section(args, native_cp, args_ns)


def floor_section(args, cp, args_ns: dict) -> None:
    """Each operation as a ratio to the least its kind of call costs."""
    floor, where = _floor.load()
    print(f"against the call floor ({where if floor else 'no floor: ' + where})")
    ft = _floor.FloorTimer(floor, args.quick)
    ft.header()
    ns = dict(args_ns, C=vorlane.Checkpoint)
    four = "C(chain, indexer, number, hash_)"
    # The 4-argument constructor also reads the wall clock: its floor is
    # VCtor(4 args) plus one clock read, taken as time.time() minus a bare
    # module-function call (what is left is the clock read and a float).
    if floor is not None:
        op, ctor, clock, call = ft.alternate([
            (four, ns, "pass", None),
            ("cf.VCtor(chain, indexer, number, hash_)", dict(ns, cf=floor), "pass", None),
            ("now()", dict(now=time.time), "pass", None),
            ("f0()", dict(f0=floor.f0), "pass", None),
        ])
        clock_ns = max(0.0, min(clock) - min(call))
        floor_ns = min(ctor)
        ratio = (min(op) - clock_ns) / floor_ns
        print(f"  {'Checkpoint(4 args), updated_at from the clock':<52} {min(op):>9.1f}   "
              f"{'VCtor(4 args) + clock read':<34} {floor_ns:>6.1f}+{clock_ns:<4.1f} "
              f"{ratio:>6.2f}x   <= 2x plus the clock read{'  ok' if ratio <= 2 else '  ABOVE'}")
    else:
        ft.row("Checkpoint(4 args), updated_at from the clock", four, ns, "VCtor(4 args)", None,
               limit=2)
    ft.row("Checkpoint(5 args, positional)", "C(chain, indexer, number, hash_, stamp)", ns,
           "VCtor(5 args)", "cf.VCtor(chain, indexer, number, hash_, stamp)", ns, limit=2)
    ft.row("Checkpoint(5 keyword args)",
           "C(chain_id=chain, indexer_id=indexer, block_number=number, block_hash=hash_, "
           "updated_at=stamp)", ns, "VCtor(5 keyword args)",
           "cf.VCtor(chain_id=chain, indexer_id=indexer, block_number=number, "
           "block_hash=hash_, updated_at=stamp)", ns)
    text = repr(cp)
    ft.row(f"repr(cp) [{len(text)} chars]", "repr(cp)", dict(cp=cp), "repr(Obj(text))",
           "repr(o)", dict(o=floor.Obj(text) if floor else None), limit=1.6)
    print()


if __name__ == "__main__":
    main()
