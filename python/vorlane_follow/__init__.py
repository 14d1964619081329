"""Follow an EVM node: the reorg-safe, resumable follow loop built on vorlane.

`Follower` (blocking web3.py) and `AsyncFollower` (asyncio) drive one engine
that does no I/O (`vorlane_follow.engine`). `python -m vorlane_follow` and the
`vorlane-follow` command write the followed logs as JSON Lines.
"""

from __future__ import annotations

import importlib.util
import os
import sys
from typing import TYPE_CHECKING, Any

if importlib.util.find_spec("web3") is None:
    _missing = ImportError(
        "vorlane_follow needs web3.py, which comes with the 'follow' extra: "
        "pip install 'vorlane[follow]'",
        name="web3",
    )
    # Run as the command (its console script, or `python -m vorlane_follow`
    # while the package is being located), this is one line, not a traceback.
    if sys.argv and (sys.argv[0] == "-m" or os.path.basename(sys.argv[0]) == "vorlane-follow"):
        def _one_line(kind: type[BaseException], error: BaseException, tb: Any,
                      default: Any = sys.excepthook) -> None:
            if error is _missing:
                print(f"vorlane-follow: error: {error}", file=sys.stderr)
            else:
                default(kind, error, tb)

        sys.excepthook = _one_line
    raise _missing

from .engine import Counters, FollowError, Log  # noqa: E402  (light: no web3)

if TYPE_CHECKING:
    from ._transport import CheckpointStore, Handler
    from .aio import AsyncFollower
    from .sync import Follower

__all__ = ["AsyncFollower", "CheckpointStore", "Counters", "Follower", "FollowError", "Handler", "Log"]

_LAZY = {"Follower": "sync", "AsyncFollower": "aio", "Handler": "_transport",
         "CheckpointStore": "_transport"}


def __getattr__(name: str) -> Any:
    # web3 takes a while to import; `vorlane-follow --help` should not wait for it.
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vorlane_follow' has no attribute {name!r}")
    return getattr(importlib.import_module(f".{module}", __name__), name)
