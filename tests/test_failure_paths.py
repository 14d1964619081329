"""Failures a caller must be able to handle: running out of memory, a
PanicException that is also a SystemExit, and runaway recursion."""
import os

import pytest

MEMORY_SCRIPT = r"""
import resource, sys
import vorlane

big = "a" * (300 << 20)
cp = vorlane.Checkpoint("1", "m", 1, big)
config = vorlane.IndexerConfig(id=big)
f = vorlane.EventFilter.for_address("0xa")
storage = vorlane.InMemoryStorage()

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))

# From here on, no 300 MB block fits any more.
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (150 << 20), hard))
calls = {
    "getter": lambda: cp.block_hash,
    "repr": lambda: repr(cp),
    "to_json": config.to_json,
    "repr(config)": lambda: repr(config),
    "add_address": lambda: f.add_address(big),
    "save_checkpoint": lambda: storage.save_checkpoint(cp),
    "constructor": lambda: vorlane.Checkpoint("1", "m", 1, big),
}
for name, call in calls.items():
    try:
        call()
        print(name, "ok")
    except MemoryError:
        print(name, "MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
print(repr(f), storage.load_checkpoint("1", "m"), len(cp.block_hash))
"""


@pytest.mark.skipif(os.environ.get("VORLANE_SANITIZED") == "1", reason="address limits do not apply under ASan")
def test_running_out_of_memory_raises_memory_error(python_subprocess):
    result = python_subprocess(MEMORY_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # nothing printed by the module
    lines = result.stdout.splitlines()
    assert lines[:-1] == [
        "getter MemoryError",
        "repr MemoryError",
        "to_json MemoryError",
        "repr(config) MemoryError",
        "add_address MemoryError",
        "save_checkpoint MemoryError",
        "constructor MemoryError",
    ]
    # Nothing was changed, and everything works again once memory is back.
    assert lines[-1] == f"EventFilter(addresses=[\"0xa\"], topic0_values=[]) None {300 << 20}"


EXIT_SCRIPT = r"""
import vorlane
try:
    vorlane.Checkpoint("1", "m", 1.0, "h")
except TypeError:
    pass
panic = next(c for c in BaseException.__subclasses__() if c.__module__ == "vorlane_runtime")

class Both(panic, SystemExit):
    pass

class Raising:
    def __index__(self):
        raise Both("stop")

try:
    vorlane.Checkpoint("1", "m", Raising(), "h")
except panic as e:
    print("caught", type(e).__name__, e.args)
finally:
    print("finally ran")
"""


def test_a_panic_that_is_also_system_exit_never_ends_the_process(python_subprocess):
    result = python_subprocess(EXIT_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["caught PanicException ('stop',)", "finally ran"]
    assert "Both: stop" in result.stderr  # the pass-through report still shows it


RECURSION_SCRIPT = r"""
import sys
import vorlane
sys.setrecursionlimit(16000)

class Deeper:
    def __index__(self):
        return vorlane.Checkpoint("1", "m", Deeper(), "h").block_number

for make in (lambda: vorlane.Checkpoint("1", "m", Deeper(), "h"),
             lambda: vorlane.BlockSummary(Deeper(), "h", "p", 0, 0)):
    try:
        make()
    except RecursionError:
        print("RecursionError")
"""


def test_deep_recursion_through_a_constructor_is_a_recursion_error(python_subprocess):
    result = python_subprocess(RECURSION_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["RecursionError", "RecursionError"]
