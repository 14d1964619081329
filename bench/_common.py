"""Small timing helpers shared by the benchmark scripts in this directory.

Every figure is the cost of one call, measured with ``timeit`` over several
repeats; the best repeat (least disturbed by the rest of the machine) and the
median repeat are both printed.  Loop overhead is *not* subtracted: the line
printed for the empty statement ``pass`` shows how much of each figure is the
timing loop itself.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import timeit
from collections.abc import Iterator
from pathlib import Path


def calls_per_repeat(timer: timeit.Timer, target_s: float) -> int:
    """How many calls make one repeat of about target_s seconds."""
    # Grow the loop count until one run takes a tenth of the wanted repeat
    # length, then scale it to the full length.
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_s / 10 or number >= 10**8:
            break
        number *= 10
    # One disturbed calibration run would only shorten the repeats; take the
    # quickest of three to keep them near the wanted length.
    elapsed = min(elapsed, timer.timeit(number), timer.timeit(number))
    per_call_s = elapsed / number
    return max(1, int(target_s / per_call_s)) if per_call_s > 0 else number


def parse_args(description: str, extra=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument(
        "--quick",
        action="store_true",
        help="few, short repeats: checks the script works, figures are rough",
    )
    if extra is not None:
        extra(parser)
    return parser.parse_args()


@contextlib.contextmanager
def pg_server() -> Iterator[str]:
    """The DSN of the server named by VORLANE_TEST_PG_DSN, else of a throwaway
    one started with scripts/pg.sh and stopped when the block ends."""
    dsn = os.environ.get("VORLANE_TEST_PG_DSN")
    if dsn:
        yield dsn
        return
    script = Path(__file__).resolve().parent.parent / "scripts" / "pg.sh"
    directory = tempfile.mkdtemp(prefix="vorlane-pg.", dir="/tmp")
    started = subprocess.run(["bash", script, "start", directory],
                             capture_output=True, text=True, check=True)
    try:
        yield started.stdout.strip()
    finally:
        subprocess.run(["bash", script, "stop", directory], capture_output=True)


def print_header(title: str, args: argparse.Namespace) -> None:
    import vorlane

    print(f"== {title} ==")
    print(
        f"python {platform.python_version()} ({sys.executable}), "
        f"vorlane from {vorlane.__file__}"
    )
    print(f"cpus: {os.cpu_count()}, load average: {_loadavg()}, mode: {'quick' if args.quick else 'full'}")
    print()


def _loadavg() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "n/a"


class Timer:
    """Times statements in ns/call and prints them as aligned rows."""

    def __init__(self, quick: bool, target_s: float = 0.1, repeats: int = 7) -> None:
        # target_s: rough wall time of one repeat, used to pick the loop count.
        self.target_s = 0.02 if quick else target_s
        self.repeats = 3 if quick else repeats

    def measure(self, stmt: str, namespace: dict, setup: str = "pass") -> tuple[float, float, int]:
        """Returns (best ns/call, median ns/call, calls per repeat)."""
        timer = timeit.Timer(stmt, setup=setup, globals=namespace)
        number = calls_per_repeat(timer, self.target_s)
        runs = timer.repeat(repeat=self.repeats, number=number)
        per_call = [r / number * 1e9 for r in runs]
        return min(per_call), statistics.median(per_call), number

    def row(self, label: str, stmt: str, namespace: dict, setup: str = "pass") -> float:
        best, median, number = self.measure(stmt, namespace, setup)
        print(f"  {label:<58} {best:>11.1f} ns  (median {median:>10.1f}, {number} calls x {self.repeats})")
        return best

    def pair(self, label: str, native: tuple[str, dict], python: tuple[str, dict]) -> None:
        """Times the vorlane statement and its plain-Python counterpart."""
        print(f"{label}")
        n = self.row("vorlane", *native)
        p = self.row("plain Python", *python)
        if n > 0:
            print(f"  {'ratio python/vorlane (best)':<58} {p / n:>11.2f} x")
        print()

    def loop_overhead(self) -> None:
        self.row("empty statement (timing loop overhead)", "pass", {})
        print()


def quote(text: str) -> str:
    # Handles the common escapes only; vorlane also writes other control and
    # invisible characters as \u{hex}, which none of the texts here contain.
    # A chain of str.replace is the quickest plain-Python way for short texts
    # (str.translate with multi-character replacements is several times slower).
    return (
        '"'
        + text.replace("\\", "\\\\")
        .replace('"', '\\"')
        .replace("\n", "\\n")
        .replace("\t", "\\t")
        .replace("\r", "\\r")
        .replace("\0", "\\0")
        + '"'
    )
