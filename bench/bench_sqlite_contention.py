"""Many writer processes on one SqliteStorage file.

Each process loops for the whole run: a save of its own checkpoint, then one
conditional step of a shared counter (read it, save it one higher if it is
still what was read). Prints the latency of every call (p50, p99, max), the
calls that failed other than by losing a step, acknowledged saves that are
missing afterwards, and steps that did not have exactly one winner.

Default: 16 processes for 60 s with the default busy_timeout; --quick: 8 s.
"""

from __future__ import annotations

import multiprocessing
import os
import tempfile
import time
from collections import Counter

from _common import parse_args, print_header

from vorlane import Checkpoint
from vorlane_stores import SqliteStorage


def worker(path, me, seconds, start, results):
    storage = SqliteStorage(path)
    latencies, won, errors, saved = [], [], Counter(), 0
    start.wait()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        began = time.perf_counter()
        try:
            storage.save_checkpoint(Checkpoint("own", str(me), saved + 1, "h", 0))
            saved += 1
        except RuntimeError as e:
            errors[str(e)] += 1
        latencies.append(time.perf_counter() - began)
        began = time.perf_counter()
        try:
            current = storage.load_checkpoint("step", "counter").block_number
            storage.save_checkpoint_if(Checkpoint("step", "counter", current + 1, str(me), 0),
                                       current)
            won.append(current + 1)
        except RuntimeError as e:
            if not str(e).startswith("Checkpoint mismatch at block "):
                errors[str(e)] += 1
        latencies.append(time.perf_counter() - began)
    results.put((me, saved, won, errors, latencies))


def main() -> None:
    def extra(parser):
        parser.add_argument("--processes", type=int, default=16)
        parser.add_argument("--seconds", type=float, default=None,
                            help="length of the run (default 60, --quick 8)")

    args = parse_args(__doc__.splitlines()[0], extra)
    seconds = args.seconds or (8.0 if args.quick else 60.0)
    print_header("SqliteStorage: writer processes on one file", args)
    with tempfile.TemporaryDirectory(prefix="vorlane-contention.") as folder:
        path = os.path.join(folder, "contended.db")
        with SqliteStorage(path) as s:
            s.save_checkpoint(Checkpoint("step", "counter", 0, "", 0))
        ctx = multiprocessing.get_context("fork")
        start, results = ctx.Event(), ctx.Queue()
        procs = [ctx.Process(target=worker, args=(path, me, seconds, start, results))
                 for me in range(args.processes)]
        for p in procs:
            p.start()
        time.sleep(1)
        start.set()
        outcome = [results.get(timeout=seconds + 120) for _ in procs]
        for p in procs:
            p.join()
        with SqliteStorage(path) as s:
            steps = s.load_checkpoint("step", "counter").block_number
            lost = sum(s.load_checkpoint("own", str(me)).block_number != saved
                       for me, saved, *_ in outcome)

    latencies = sorted(x for *_, lat in outcome for x in lat)
    errors = sum((e for *_, e, _ in outcome), Counter())
    winners = Counter(step for _, _, won, _, _ in outcome for step in won)
    bad_steps = sum(winners[n] != 1 for n in range(1, steps + 1)) + sum(
        1 for n in winners if not 1 <= n <= steps)

    def ms(q):
        return latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1e3

    print(f"{args.processes} processes, {seconds:g} s: {len(latencies)} calls, "
          f"{steps} conditional steps")
    print(f"latency per call: p50 {ms(0.5):.2f} ms, p99 {ms(0.99):.2f} ms, "
          f"max {latencies[-1] * 1e3:.1f} ms")
    print(f"failed calls: {sum(errors.values())}")
    for text, count in errors.most_common():
        print(f"  {count} x {text}")
    print(f"processes whose last acknowledged save is missing: {lost}")
    print(f"steps without exactly one winner: {bad_steps}")


if __name__ == "__main__":
    main()
