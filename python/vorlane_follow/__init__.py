"""Follow an EVM node: the reorg-safe, resumable follow loop built on vorlane.

`Follower` (blocking web3.py) and `AsyncFollower` (asyncio) drive one engine
that does no I/O (`vorlane_follow.engine`). `python -m vorlane_follow` and the
`vorlane-follow` command write the followed logs as JSON Lines.
"""

from __future__ import annotations

import importlib.util
from typing import TYPE_CHECKING, Any

from .engine import Counters, FollowError, Log  # light: no web3

if TYPE_CHECKING:
    from ._transport import CheckpointStore, Handler
    from .aio import AsyncFollower
    from .sync import Follower

__all__ = ["AsyncFollower", "CheckpointStore", "Counters", "Follower", "FollowError", "Handler", "Log"]

_LAZY = {"Follower": "sync", "AsyncFollower": "aio", "Handler": "_transport",
         "CheckpointStore": "_transport"}


def __getattr__(name: str) -> Any:
    # web3 takes a while to import; `vorlane-follow --help` should not wait for it,
    # and the engine works without it.
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vorlane_follow' has no attribute {name!r}")
    if importlib.util.find_spec("web3") is None:
        raise ImportError(
            "vorlane_follow needs web3.py, which comes with the 'follow' extra: "
            "pip install 'vorlane[follow]'",
            name="web3",
        )
    return getattr(importlib.import_module(f".{module}", __name__), name)
