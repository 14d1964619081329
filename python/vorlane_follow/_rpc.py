"""The follower's JSON-RPC requests and answers: the bodies of its few
requests, and answers read by the native decoder and checked before the
engine sees them."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from vorlane_rpc import HEADER, LOGS, QUANTITY, Log, RpcError

from ._judge import BadAnswer, NullResult
from ._messages import GetBlockLogs, GetChainId, GetHead, GetHeaders, GetLogs, Head, Headers, Request

# -- requests -------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Call:
    method: str
    params: str  # JSON text
    kind: int


_CHAIN_ID = Call("eth_chainId", "[]", QUANTITY)


def _filter(selection: str, addresses: tuple[str, ...], topic0s: tuple[str, ...]) -> str:
    text = "{" + selection
    if addresses:
        text += ',"address":[' + ",".join(f'"{a}"' for a in addresses) + "]"
    if topic0s:
        text += ',"topics":[[' + ",".join(f'"{t}"' for t in topic0s) + "]]"
    return "[" + text + "}]"


def calls(request: Request) -> list[Call]:
    """The JSON-RPC calls that make up `request`, in id order."""
    match request:
        case GetHeaders(first, last, chain_id):
            out = [Call("eth_getBlockByNumber", f'["{n:#x}",false]', HEADER) for n in range(first, last + 1)]
            return out + [_CHAIN_ID] if chain_id else out
        case GetLogs(first, last, addresses, topic0s):
            return [Call("eth_getLogs", _filter(f'"fromBlock":"{first:#x}","toBlock":"{last:#x}"',
                                                addresses, topic0s), LOGS)]
        case GetBlockLogs(block_hash, _, addresses, topic0s):
            return [Call("eth_getLogs", _filter(f'"blockHash":"{block_hash}"', addresses, topic0s), LOGS)]
        case GetHead(chain_id):
            return [Call("eth_blockNumber", "[]", QUANTITY), _CHAIN_ID][:2 if chain_id else 1]
        case GetChainId():
            return [_CHAIN_ID]
    raise TypeError(f"not a request: {request!r}")


def encode(request: Request) -> tuple[bytes, bytes]:
    """The body of `request` (one call, or a batch with ids 0..n-1) and the
    kind of answer each call expects."""
    if isinstance(request, GetHeaders):  # the bulk of the traffic: made directly
        first, count = request.first, request.last - request.first + 1
        items = [f'{{"jsonrpc":"2.0","id":{i},"method":"eth_getBlockByNumber","params":["{first + i:#x}",false]}}'
                 for i in range(count)]
        kinds = bytes((HEADER,)) * count
        if request.chain_id:
            items.append(f'{{"jsonrpc":"2.0","id":{count},"method":"eth_chainId","params":[]}}')
            kinds += bytes((QUANTITY,))
        text = items[0] if len(items) == 1 else "[" + ",".join(items) + "]"
        return text.encode(), kinds
    batch = calls(request)
    return body(batch), bytes(c.kind for c in batch)


def body(batch: list[Call]) -> bytes:
    items = [f'{{"jsonrpc":"2.0","id":{i},"method":"{c.method}","params":{c.params}}}'
             for i, c in enumerate(batch)]
    return (items[0] if len(items) == 1 else "[" + ",".join(items) + "]").encode()


# -- answers --------------------------------------------------------------------


def answer(request: Request, entries: list[Any]) -> Head | Headers | list[Log] | int:
    """The engine's value for `request` from its decoded entries; raises the
    first error entry, and what cannot be right."""
    for entry in entries:
        if isinstance(entry, RpcError):
            raise entry
    match request:
        case GetHeaders(first, last):
            blocks, blooms = [], []
            for number, entry in zip(range(first, last + 1), entries):
                if entry is None:
                    break
                block, bloom = entry
                if block.number != number:
                    raise BadAnswer(f"eth_getBlockByNumber was answered with block {block.number} "
                                    f"for block {number}")
                blocks.append(block)
                blooms.append(bloom)
            chain_id = None
            if request.chain_id:
                chain_id = entries[-1]
                if chain_id is None:
                    raise NullResult("eth_chainId was answered with null")
            return Headers(blocks, blooms, chain_id)
        case GetHead():
            if None in entries:
                raise NullResult(f"{'eth_blockNumber' if entries[0] is None else 'eth_chainId'} "
                                 "was answered with null")
            return Head(entries[0], entries[1] if len(entries) > 1 else None)
    if entries[0] is None:
        raise NullResult(f"{calls(request)[0].method} was answered with null")
    return entries[0]  # type: ignore[no-any-return]


def save(store: Any, checkpoint: Any, expected: int | None) -> None:
    save_if = getattr(store, "save_checkpoint_if", None)
    if save_if is not None:
        save_if(checkpoint, expected)
    else:
        store.save_checkpoint(checkpoint)
