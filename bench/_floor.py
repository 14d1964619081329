"""The call floor: what each kind of CPython call costs when it does nothing.

``call_floor`` is a small C extension (source: ``$VORLANE_CALL_FLOOR_SRC``,
default ``/work/shared/call-floor/call_floor.c``) whose entry points are the
least a constructor, a method, a repr or a thread start-and-join can cost on
this interpreter and machine.  It is compiled on first use into a cache
directory (``$XDG_CACHE_HOME/vorlane-bench``, else ``~/.cache/vorlane-bench``),
keyed by the source text and the interpreter, and reused afterwards.

Each operation is reported as a ratio to its floor timed in the same run:
nanoseconds move with the load of a shared machine, ratios far less.  The two
statements are timed in alternating repeats, so a disturbance hits both, and
the best repeat of each is compared (the median, for the microsecond-scale
storage calls).  Without a compiler or the source the rows still print the
operation's own figure and say "no floor".
"""

from __future__ import annotations

import hashlib
import importlib.machinery
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit
from pathlib import Path

from _common import calls_per_repeat

DEFAULT_SOURCE = "/work/shared/call-floor/call_floor.c"


def _cache_root() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "vorlane-bench"


def load() -> tuple[object | None, str]:
    """Returns (the call_floor module, where it came from) or (None, why not)."""
    source = Path(os.environ.get("VORLANE_CALL_FLOOR_SRC", DEFAULT_SOURCE))
    if not source.is_file():
        return None, f"no floor source at {source} (set VORLANE_CALL_FLOOR_SRC)"
    cc = shutil.which(os.environ.get("CC", "")) or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None, "no C compiler found"
    text = source.read_bytes()
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    key = hashlib.sha256(text + sys.version.encode() + suffix.encode()).hexdigest()[:16]
    target = _cache_root() / key / f"call_floor{suffix}"
    if not target.exists():
        target.parent.mkdir(parents=True, exist_ok=True)
        include = sysconfig.get_paths()["include"]
        partial = target.with_name(target.name + f".{os.getpid()}.tmp")
        build = subprocess.run(
            [cc, "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(partial),
             "-lpthread"],
            capture_output=True, text=True,
        )
        if build.returncode != 0:
            return None, f"floor did not compile with {cc}: {build.stderr.strip()[:300]}"
        os.replace(partial, target)  # atomic: concurrent runs never see half a file
    loader = importlib.machinery.ExtensionFileLoader("call_floor", str(target))
    found = importlib.util.spec_from_file_location("call_floor", target, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module, str(target)


def workers() -> int:
    """The worker count of a vorlane runtime: the processors this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class FloorTimer:
    """Times operations beside their floors and prints one row per operation.

    Columns: operation, ns per call (best repeat), the floor, its ns, the
    ratio operation/floor and the target ratio.
    """

    # Many short repeats: on a shared machine a short one is more likely to
    # run undisturbed from start to end, and the best of each is compared.
    def __init__(self, floor, quick: bool, target_s: float = 0.004, rounds: int = 40) -> None:
        self.floor = floor
        self.target_s = 0.002 if quick else target_s
        self.rounds = 7 if quick else rounds
        self.results: list[tuple[str, float | None]] = []

    # -- timing ------------------------------------------------------------


    def alternate(self, stmts: list[tuple[str, dict, str, int | None]]) -> list[list[float]]:
        """Times each (stmt, namespace, setup, number) in turn, round after
        round; returns the ns per call of every round, per statement."""
        timers = [timeit.Timer(s, setup=setup, globals=ns) for s, ns, setup, _ in stmts]
        numbers = [n if n else calls_per_repeat(t, self.target_s) for t, (_, _, _, n) in zip(timers, stmts)]
        runs: list[list[float]] = [[] for _ in stmts]
        for _ in range(self.rounds):
            for k, (t, n) in enumerate(zip(timers, numbers)):
                runs[k].append(t.timeit(n) / n * 1e9)
        return runs

    # -- rows ----------------------------------------------------------------

    @staticmethod
    def header(unit: str = "ns") -> None:
        print(f"  {'operation':<52} {unit:>9}   {'floor':<34} {'floor ' + unit:>9} {'ratio':>8}   "
              "target")

    def _print(self, label: str, ns: float, floor_label: str, floor_ns: float | None,
               target: str, limit: float | None, unit: float = 1.0) -> None:
        """unit: ns per printed unit (1000 prints microseconds)."""
        if floor_ns is None:
            print(f"  {label:<52} {ns / unit:>9.1f}   {floor_label:<34} {'no floor':>9} {'-':>8}   "
                  f"{target}")
            self.results.append((label, None))
            return
        ratio = ns / floor_ns
        verdict = "" if limit is None else ("  ok" if ratio <= limit else "  ABOVE")
        print(f"  {label:<52} {ns / unit:>9.1f}   {floor_label:<34} {floor_ns / unit:>9.1f} "
              f"{ratio:>7.2f}x   {target}{verdict}")
        self.results.append((label, ratio))

    def row(self, label: str, stmt: str, ns: dict, floor_label: str, floor_stmt: str | None,
            floor_ns: dict | None = None, limit: float | None = None, setup: str = "pass",
            floor_setup: str = "pass", number: int | None = None,
            needs_floor: bool = True) -> float:
        """One operation against its floor; limit is the target ratio.
        floor_stmt runs with the call_floor module as `cf` in its namespace;
        needs_floor=False for a reference that is plain Python."""
        stmts = [(stmt, ns, setup, number)]
        if (self.floor is not None or not needs_floor) and floor_stmt is not None:
            stmts.append((floor_stmt, dict(floor_ns or {}, cf=self.floor), floor_setup, number))
        runs = self.alternate(stmts)
        best = min(runs[0])
        floor_best = min(runs[1]) if len(runs) > 1 else None
        target = f"<= {limit:g}x" if limit is not None else ""
        self._print(label, best, floor_label, floor_best, target, limit)
        return best

    def per_item(self, label: str, stmt: str, ns: dict, items: int, limit_ns: float) -> float:
        """A scan over `items` entries: ns per entry, against a fixed target."""
        best = min(self.alternate([(stmt, ns, "pass", None)])[0]) / items
        verdict = "  ok" if best <= limit_ns else "  ABOVE"
        print(f"  {label:<52} {best:>9.2f}   {'(ns per entry)':<34} {'-':>9} {'-':>8}   "
              f"<= {limit_ns:g} ns per entry{verdict}")
        return best

    def median_row(self, label: str, call, floor_label: str, floor_call, number: int,
                   limit: float) -> None:
        """Microsecond-scale calls: explicit loops, medians of alternating
        repeats, printed in microseconds."""
        def once(fn) -> float:
            start = time.perf_counter_ns()
            for _ in range(number):
                fn()
            return (time.perf_counter_ns() - start) / number

        op_runs, floor_runs = [], []
        for _ in range(self.rounds):
            op_runs.append(once(call))
            if floor_call is not None:
                floor_runs.append(once(floor_call))
        op = statistics.median(op_runs)
        floor = statistics.median(floor_runs) if floor_runs else None
        self._print(label, op, floor_label, floor, f"<= {limit:g}x (medians)", limit, unit=1000.0)
