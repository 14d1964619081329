"""Microseconds per InMemoryStorage call, beside the bare OS costs that each
call pays, and bytes of memory per stored checkpoint.

Every InMemoryStorage call builds a task runtime (an epoll-based event loop
plus one worker thread per CPU), runs the one store operation on it and shuts
it down before returning.  To show how much of a call is that runtime and how
much is the module's own work, the same OS work is timed on its own:

  (a) starting and joining os.cpu_count() threads whose body returns at once;
  (b) creating and closing an epoll instance.

Both are timed in a small C program compiled at run time with ``cc`` (so no
interpreter cost is mixed in), and (b) also from Python via select.epoll().
Without a C compiler, (a) falls back to Python's threading module (which adds
interpreter cost, so it overstates the bare figure) and the output says so.

Memory: process RSS before and after filling one storage, after
gc.collect(), minus the RSS growth of the same loop that only creates the
Checkpoint objects (they are dropped right after each save, so that part is
normally close to zero).  The default run measures 100k entries (--quick:
1k); --entries N fills to N instead; --million keeps filling the same storage
up to 1M entries, printing the 100k figure on the way.  Each save starts and
joins threads, so a large fill takes a while (1M: many minutes); the script
prints an estimate before it starts.

Run: python bench/bench_storage.py [--quick] [--million] [--entries N]
"""

from __future__ import annotations

import gc
import os
import select
import shutil
import statistics
import subprocess
import tempfile
import threading
import time

import _floor
import vorlane
from _common import parse_args, print_header

CHAIN = "1"


def block_hash(i: int) -> str:
    # 66 characters: 0x + 64 hex digits, different for every i.
    return f"0x{i:064x}"


# ---------------------------------------------------------------------------
# Timing helpers (microsecond scale: explicit loops, best and median of repeats)


def time_loop(fn, number: int, repeats: int) -> tuple[float, float]:
    """Best and median microseconds per call of fn() over `repeats` runs."""
    per_call = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(number):
            fn()
        per_call.append((time.perf_counter_ns() - start) / number / 1e3)
    return min(per_call), statistics.median(per_call)


def time_deletes_of_existing(number: int, repeats: int) -> tuple[float, float]:
    """Best and median microseconds per delete_checkpoint of a stored key.

    Before each repeat a storage is filled (untimed) with `number` entries;
    the repeat then deletes each of them once."""
    per_call = []
    for _ in range(repeats):
        storage = vorlane.InMemoryStorage()
        fill(storage, 0, number)
        ids = [f"indexer-{i}" for i in range(number)]
        delete = storage.delete_checkpoint
        start = time.perf_counter_ns()
        for indexer_id in ids:
            delete(CHAIN, indexer_id)
        per_call.append((time.perf_counter_ns() - start) / number / 1e3)
        assert storage.load_checkpoint(CHAIN, "indexer-0") is None
    return min(per_call), statistics.median(per_call)


def print_us(label: str, best: float, median: float, note: str = "") -> None:
    extra = f"  {note}" if note else ""
    print(f"  {label:<56} {best:>9.2f} us  (median {median:>8.2f}){extra}")


# ---------------------------------------------------------------------------
# The C reference program

C_SOURCE = r"""
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

static void *body(void *arg) { return arg; }

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int cmp(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* Prints "<name> <best ns> <median ns>" for one figure. */
static void report(const char *name, double *runs, int repeats) {
    qsort(runs, repeats, sizeof *runs, cmp);
    printf("%s %.1f %.1f\n", name, runs[0], runs[repeats / 2]);
}

int main(int argc, char **argv) {
    if (argc != 5) return 2;
    int threads = atoi(argv[1]);
    int thread_iters = atoi(argv[2]);
    int fd_iters = atoi(argv[3]);
    int repeats = atoi(argv[4]);
    pthread_t *tids = malloc(sizeof *tids * threads);
    double *runs = malloc(sizeof *runs * repeats);

    for (int r = 0; r < repeats; ++r) {
        long long t0 = now_ns();
        for (int i = 0; i < thread_iters; ++i) {
            for (int k = 0; k < threads; ++k)
                if (pthread_create(&tids[k], NULL, body, NULL) != 0) return 1;
            for (int k = 0; k < threads; ++k) pthread_join(tids[k], NULL);
        }
        runs[r] = (double)(now_ns() - t0) / thread_iters;
    }
    report("threads", runs, repeats);

    for (int r = 0; r < repeats; ++r) {
        long long t0 = now_ns();
        for (int i = 0; i < fd_iters; ++i) {
            int fd = epoll_create1(EPOLL_CLOEXEC);
            if (fd < 0) return 1;
            close(fd);
        }
        runs[r] = (double)(now_ns() - t0) / fd_iters;
    }
    report("epoll", runs, repeats);

    /* The whole descriptor set of the runtime's event loop: epoll and a
       wake-up eventfd registered with it (timers need no descriptor). */
    for (int r = 0; r < repeats; ++r) {
        long long t0 = now_ns();
        for (int i = 0; i < fd_iters; ++i) {
            int ep = epoll_create1(EPOLL_CLOEXEC);
            int ev = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (ep < 0 || ev < 0) return 1;
            struct epoll_event e = {.events = EPOLLIN};
            e.data.fd = ev;
            epoll_ctl(ep, EPOLL_CTL_ADD, ev, &e);
            close(ev);
            close(ep);
        }
        runs[r] = (double)(now_ns() - t0) / fd_iters;
    }
    report("loopfds", runs, repeats);
    return 0;
}
"""


def run_c_reference(threads: int, thread_iters: int, fd_iters: int, repeats: int):
    """Compiles and runs the C program; returns {name: (best_us, median_us)} or None."""
    cc = shutil.which(os.environ.get("CC", "")) or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None
    with tempfile.TemporaryDirectory(prefix="vorlane-bench-") as tmp:
        src = os.path.join(tmp, "ref.c")
        exe = os.path.join(tmp, "ref")
        with open(src, "w") as f:
            f.write(C_SOURCE)
        try:
            build = subprocess.run(
                [cc, "-O2", "-pthread", "-o", exe, src], capture_output=True, text=True
            )
        except OSError as e:
            print(f"  (could not run {cc}: {e})")
            return None
        if build.returncode != 0:
            print(f"  (C reference did not compile with {cc}: {build.stderr.strip()[:300]})")
            return None
        out = subprocess.run(
            [exe, str(threads), str(thread_iters), str(fd_iters), str(repeats)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    figures = {}
    for line in out.splitlines():
        name, best, median = line.split()
        figures[name] = (float(best) / 1e3, float(median) / 1e3)
    return figures


def python_threads_once(n: int) -> None:
    threads = [threading.Thread(target=int) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def python_epoll_once() -> None:
    select.epoll().close()


# ---------------------------------------------------------------------------
# Memory


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def settled_rss() -> int:
    gc.collect()
    return rss_bytes()


def fill(storage, start: int, stop: int) -> None:
    # The Checkpoint is passed straight to save_checkpoint and never bound to
    # a name, so it is freed as soon as the call returns.
    C = vorlane.Checkpoint
    save = storage.save_checkpoint
    for i in range(start, stop):
        save(C(CHAIN, f"indexer-{i}", i, block_hash(i), 1_700_000_000 + i))


def fill_one_key(storage, count: int) -> None:
    C = vorlane.Checkpoint
    save = storage.save_checkpoint
    for i in range(count):
        save(C(CHAIN, "indexer-warm", i, block_hash(i), 1_700_000_000 + i))


def create_only(start: int, stop: int) -> None:
    # The Python side of fill() without the store: same objects, same texts.
    C = vorlane.Checkpoint
    for i in range(start, stop):
        C(CHAIN, f"indexer-{i}", i, block_hash(i), 1_700_000_000 + i)


def memory_section(targets: list[int], warm_count: int) -> None:
    print("memory per stored checkpoint (chain_id \"1\", indexer_id \"indexer-<i>\", "
          "66-char 0x-hex block_hash)")

    # Warm-up on a throw-away storage, so the thread stacks, malloc arenas and
    # interpreter caches the calls need exist before the baseline is taken.
    # It upserts a single key, so almost nothing is freed back into the
    # allocator that the real fill could later reuse unseen.  It is timed to
    # estimate how long the fill will take.
    warm = vorlane.InMemoryStorage()
    t0 = time.perf_counter()
    fill_one_key(warm, warm_count)
    per_save = (time.perf_counter() - t0) / warm_count
    warm.delete_checkpoint(CHAIN, "indexer-warm")
    del warm
    print(f"  one save currently takes ~{per_save * 1e6:.0f} us; filling to "
          f"{targets[-1]:,} entries should take ~{per_save * targets[-1]:.1f} s")

    # Python-side cost: the same loop without saving, run after the baseline
    # and before the fill; whatever RSS it leaves behind is in the fill's
    # growth too and is subtracted from it.
    storage = vorlane.InMemoryStorage()
    base = settled_rss()
    create_only(0, targets[-1])
    python_side = settled_rss() - base
    print(f"  Python-side RSS growth of the loop alone ({targets[-1]:,} Checkpoints, "
          f"none kept): {python_side:,} bytes")

    filled = 0
    started = time.perf_counter()
    for target in targets:
        fill(storage, filled, target)
        filled = target
        grown = settled_rss() - base
        own = grown - python_side
        elapsed = time.perf_counter() - started
        print(f"  {target:>9,} entries: RSS +{grown:,} bytes since baseline, minus Python side = "
              f"{own:,} bytes -> {own / target:,.1f} bytes/entry  "
              f"(filled in {elapsed:.1f} s so far)")
    # Spot check that the store really holds the entries.
    assert storage.load_checkpoint(CHAIN, f"indexer-{filled - 1}").block_number == filled - 1
    print()


# ---------------------------------------------------------------------------
# Against the call floor


def floor_section(args) -> None:
    """Each storage call as a ratio to epoll_spawn_join(n): create an epoll
    instance and an eventfd, start n threads, wake and join them, close both
    descriptors, n being the runtime's worker count."""
    floor, where = _floor.load()
    n = _floor.workers()
    print(f"against the call floor ({where if floor else 'no floor: ' + where}), n = {n}")
    ft = _floor.FloorTimer(floor, args.quick, rounds=5 if args.quick else 31)
    ft.header("us")
    number = 20 if args.quick else 100
    storage = vorlane.InMemoryStorage()
    stored = vorlane.Checkpoint(CHAIN, "indexer-hit", 18_500_000, block_hash(1), 1_700_000_000)
    storage.save_checkpoint(stored)
    spawn = (lambda: floor.epoll_spawn_join(n)) if floor else None
    label = f"epoll_spawn_join({n})"
    for what, call in (
        ("save_checkpoint (upsert)", lambda: storage.save_checkpoint(stored)),
        ("load_checkpoint, hit", lambda: storage.load_checkpoint(CHAIN, "indexer-hit")),
        ("load_checkpoint, miss", lambda: storage.load_checkpoint(CHAIN, "indexer-miss")),
        ("delete_checkpoint, missing key",
         lambda: storage.delete_checkpoint(CHAIN, "indexer-miss")),
    ):
        ft.median_row(what, call, label, spawn, number, 1.10)
    print()


# ---------------------------------------------------------------------------


def main() -> None:
    def options(p):
        p.add_argument(
            "--million",
            action="store_true",
            help="also fill the storage up to 1,000,000 entries (takes many minutes)",
        )
        p.add_argument(
            "--entries",
            type=int,
            metavar="N",
            help="fill the storage to N entries instead of the mode's default",
        )

    args = parse_args(__doc__.splitlines()[0], options)
    print_header("InMemoryStorage", args)
    ncpu = os.cpu_count() or 1

    if args.quick:
        number, repeats = 20, 3
        c_thread_iters, c_fd_iters = 200, 2000
        targets = [1_000]
        warm_count = 200
    else:
        number, repeats = 1000, 5
        c_thread_iters, c_fd_iters = 5000, 50000
        targets = [100_000]
        warm_count = 2000
    if args.entries:
        targets = [args.entries]
    if args.million:
        targets = sorted(set(targets + [100_000, 1_000_000]))

    storage = vorlane.InMemoryStorage()
    stored = vorlane.Checkpoint(CHAIN, "indexer-hit", 18_500_000, block_hash(1), 1_700_000_000)
    storage.save_checkpoint(stored)
    print(f"per call on InMemoryStorage ({number} calls x {repeats} repeats)")
    save_b, save_m = time_loop(lambda: storage.save_checkpoint(stored), number, repeats)
    print_us("save_checkpoint (upsert of an existing key)", save_b, save_m)
    b, m = time_loop(lambda: storage.load_checkpoint(CHAIN, "indexer-hit"), number, repeats)
    print_us("load_checkpoint, hit", b, m)
    b, m = time_loop(lambda: storage.load_checkpoint(CHAIN, "indexer-miss"), number, repeats)
    print_us("load_checkpoint, miss", b, m)
    b, m = time_loop(lambda: storage.delete_checkpoint(CHAIN, "indexer-miss"), number, repeats)
    print_us("delete_checkpoint, missing key", b, m)
    b, m = time_deletes_of_existing(number, repeats)
    print_us("delete_checkpoint, existing key", b, m)
    print()

    print(f"bare OS cost of what each call sets up ({ncpu} threads = os.cpu_count())")
    c = run_c_reference(ncpu, c_thread_iters, c_fd_iters, repeats)
    if c is not None:
        print_us(f"C: pthread_create + pthread_join of {ncpu} threads", *c["threads"])
        print_us("C: epoll_create1 + close", *c["epoll"])
        print_us("C: epoll + eventfd, registered, closed", *c["loopfds"])
    else:
        print("  (no C compiler found: the thread figure below comes from Python's "
              "threading module and includes interpreter cost, so it overstates "
              "the bare cost)")
    if c is None or not args.quick:
        b, m = time_loop(lambda: python_threads_once(ncpu), max(10, number // 10), repeats)
        print_us(f"Python: threading.Thread start + join x {ncpu}", b, m)
    b, m = time_loop(python_epoll_once, number * 10, repeats)
    print_us("Python: select.epoll() + close()", b, m)
    if c is not None:
        floor = c["threads"][0] + c["epoll"][0]
        print_us("C: threads + epoll (lower bound of one call)", floor, c["threads"][1] + c["epoll"][1])
        print(f"  save_checkpoint best minus that floor: {save_b - floor:.2f} us "
              f"(the module's own per-call overhead and store work)")
    print()

    floor_section(args)

    memory_section(targets, warm_count)


if __name__ == "__main__":
    main()
