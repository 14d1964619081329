"""pytest fixtures serving the demo chain of examples/devchain over HTTP.

``demo_chain`` is one chain per session, put back to its base state (the setup
blocks plus ``BASE_BLOCKS`` blocks of transfers) before each test, so a test
may mine, reorganise and misconfigure at will. ``dev_node`` serves it on
127.0.0.1 (a free port) for one test, faults cleared, counters at zero.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

BASE_SEED = 7
BASE_BLOCKS = 40


def _devchain():
    for module in ("web3", "eth_tester", "eth", "vyper"):
        pytest.importorskip(module)
    import devchain

    return devchain


@pytest.fixture(scope="session")
def demo_chain_base():
    """The session's chain and the snapshot of its base state."""
    chain = _devchain().DemoChain(seed=BASE_SEED, blocks=BASE_BLOCKS)
    return chain, chain.snapshot()


@pytest.fixture
def demo_chain(demo_chain_base):
    chain, base = demo_chain_base
    chain.restore(base)
    return chain


@pytest.fixture
def dev_node(demo_chain):
    with _devchain().DevNode(demo_chain) as node:
        yield node
