"""python examples/devchain serve ...: the demo chain behind a JSON-RPC node on HTTP."""

from __future__ import annotations

import argparse
import json
import signal
import socket
import sys
import threading
from pathlib import Path
from typing import Callable


def _reorg(text: str) -> tuple[int, int]:
    head, colon, depth = text.partition(":")
    try:
        if not colon:
            raise ValueError
        at, deep = int(head), int(depth)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected HEAD:DEPTH (two whole numbers), got {text!r}") from None
    if at < 0 or deep < 1:
        raise argparse.ArgumentTypeError(f"expected HEAD >= 0 and DEPTH >= 1, got {text!r}")
    return at, deep


def _at_least(low: int, high: int | None = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < low or (high is not None and value > high):
            bounds = f"between {low} and {high}" if high is not None else f"at least {low}"
            raise argparse.ArgumentTypeError(f"must be {bounds}, got {value}")
        return value

    return convert


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python examples/devchain",
        description="A deterministic demo chain (a token, a decoy emitting the same Transfer event) "
        "behind a JSON-RPC node on HTTP.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    serve = commands.add_parser(
        "serve",
        help="serve the chain until SIGINT or SIGTERM",
        description="Build the chain, print the node's URL as the first line on stdout and a JSON line "
        "describing the chain (chain_id, token, decoy, transfer_topic0, head) as the second, then serve "
        "until SIGINT or SIGTERM.",
    )
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    serve.add_argument("--port", type=_at_least(0), default=0, help="port (default: 0, any free one)")
    serve.add_argument("--seed", type=_at_least(0), default=1, help="random seed of the transfers (default: 1)")
    serve.add_argument("--holders", type=_at_least(2, 10), default=6,
                       help="accounts trading the token, 2-10 (default: 6)")
    serve.add_argument("--blocks", type=_at_least(0), default=200, metavar="N",
                       help="blocks of transfers mined before serving (default: %(default)s)")
    serve.add_argument("--block-time", type=_seconds, default=0.0, metavar="S",
                       help="mine a block every S seconds while serving; 0 mines none (default: 0)")
    serve.add_argument("--max-head", type=_at_least(0), default=None, metavar="N",
                       help="stop mining once the head reaches block N (default: never)")
    serve.add_argument("--reorg-at", type=_reorg, action="append", default=[], metavar="HEAD:DEPTH",
                       help="when mining reaches HEAD, replace the last DEPTH blocks by another branch "
                       "(repeatable)")
    serve.add_argument("--max-batch", type=_at_least(1), default=None, metavar="N",
                       help="refuse JSON-RPC batches of more than N calls")
    serve.add_argument("--max-log-range", type=_at_least(1), default=None, metavar="N",
                       help="refuse eth_getLogs over more than N blocks")
    serve.add_argument("--max-logs", type=_at_least(1), default=None, metavar="N",
                       help="refuse eth_getLogs finding more than N logs")
    return parser


def _cannot_listen(args: argparse.Namespace, error: OSError) -> int:
    address = f"[{args.host}]:{args.port}" if ":" in args.host else f"{args.host}:{args.port}"
    print(f"devchain: cannot listen on {address}: {error.strerror or error}", file=sys.stderr)
    return 1


def serve(args: argparse.Namespace) -> int:
    # A port in use or an address not of this machine is found before the
    # chain is built (seconds), as well as by the node's own bind.
    if args.port:
        try:
            with socket.socket(socket.AF_INET6 if ":" in args.host else socket.AF_INET) as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind((args.host, args.port))
        except OSError as error:
            return _cannot_listen(args, error)
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from devchain import DemoChain, DevNode

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        # A node started in the background of a script ignores SIGINT, so that
        # Ctrl-C reaches the script's foreground program only: keep it that way.
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, lambda *_: stop.set())
    chain = DemoChain(seed=args.seed, holders=args.holders, blocks=args.blocks)
    node = DevNode(chain, host=args.host, port=args.port)
    node.faults.max_batch = args.max_batch
    node.faults.max_log_range = args.max_log_range
    node.faults.max_logs = args.max_logs
    for at_head, depth in args.reorg_at:
        node.schedule_reorg(at_head, depth)
    try:
        node.start()
    except OSError as error:
        return _cannot_listen(args, error)
    with node:
        print(node.url, flush=True)
        info = {"chain_id": chain.chain_id, "token": chain.token, "decoy": chain.decoy,
                "transfer_topic0": chain.transfer_topic0, "head": chain.head}
        print(json.dumps(info), flush=True)
        reported = 0
        while not stop.is_set():
            if args.block_time > 0 and (args.max_head is None or chain.head < args.max_head):
                if stop.wait(args.block_time):
                    break
                node.mine(1)
            else:
                stop.wait(0.5)
            for old_head, fork, new_head in node.reorgs[reported:]:
                print(f"devchain: reorganised at head {old_head}: blocks {fork + 1}..{old_head} replaced, "
                      f"head now {new_head}", file=sys.stderr, flush=True)
                reported += 1
    print(f"devchain: stopped at head {chain.head} after {node.round_trips} requests", file=sys.stderr)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
