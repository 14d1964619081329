"""Follow an EVM node: the reorg-safe, resumable follow loop built on vorlane.

`Follower` (blocking web3.py) and `AsyncFollower` (asyncio) drive one engine
that does no I/O (`vorlane_follow.engine`). `python -m vorlane_follow` and the
`vorlane-follow` command write the followed logs as JSON Lines.
"""

from __future__ import annotations

import importlib as _importlib
import importlib.util as _importlib_util
import os as _os
import sys as _sys
from types import ModuleType as _ModuleType
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

if _importlib_util.find_spec("web3") is None:
    _missing = ImportError(
        "vorlane_follow needs web3.py >= 7.6, tqdm and pycryptodome (the 'follow' extra): "
        "pip install '.[follow]' from a checkout of vorlane, "
        "pip install './vorlane-VERSION-TAGS.whl[follow]' from a wheel file, "
        "or pip install 'web3>=7.6,<9' 'tqdm>=4.66' 'pycryptodome>=3.19' "
        "(vorlane is not published on a package index yet)",
        name="web3",
    )
    # Run as the command (its console script, or `python -m vorlane_follow`
    # while the package is being located), this is one line, not a traceback.
    if _sys.argv and (_sys.argv[0] == "-m" or _os.path.basename(_sys.argv[0]) == "vorlane-follow"):
        def _one_line(kind: type[BaseException], error: BaseException, tb: _Any,
                      default: _Any = _sys.excepthook) -> None:
            if error is _missing:
                print(f"vorlane-follow: error: {error}", file=_sys.stderr)
            else:
                default(kind, error, tb)

        _sys.excepthook = _one_line
    raise _missing

from .engine import (  # noqa: E402  (light: no web3)
    ChainMismatchError,
    CheckpointStore,
    Counters,
    FollowError,
    Handler,
    Log,
    NodeError,
    ReorgTooDeepError,
)

if _TYPE_CHECKING:
    from .aio import AsyncFollower
    from .sync import Follower

__all__ = ["AsyncFollower", "ChainMismatchError", "CheckpointStore", "Counters", "Follower", "FollowError",
           "Handler", "Log", "NodeError", "ReorgTooDeepError"]

_LAZY = {"Follower": "sync", "AsyncFollower": "aio"}


def __getattr__(name: str) -> _Any:
    # web3 takes a while to import; `vorlane-follow --help` should not wait for it.
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vorlane_follow' has no attribute {name!r}")
    return getattr(_importlib.import_module(f".{module}", __name__), name)


def __dir__() -> list[str]:
    # What the package offers (and its submodules once imported), not its helpers.
    return sorted({*__all__, *(name for name, value in globals().items()
                               if name.startswith("__") or (isinstance(value, _ModuleType)
                                                            and not name.startswith("_")))})
