"""A deterministic dev chain and a JSON-RPC node in front of it.

``devchain`` is what the examples, the tests and the quick start follow: an
eth-tester chain on the py-evm backend carrying the small Vyper token of
``examples/token/`` and a decoy contract that emits the very same ``Transfer``
event, served over HTTP by a small JSON-RPC 2.0 server that can misbehave on
demand the way real nodes do.

Importable as ``devchain`` with ``examples/`` on ``sys.path``; runnable as
``python examples/devchain serve ...`` (see ``python examples/devchain --help``).

The chain (:class:`DemoChain`)
------------------------------
``DemoChain(seed=1, holders=6, blocks=0)`` deploys the token and the decoy,
funds the holders and then mines ``blocks`` blocks of random transfers. Keys,
transactions, block timestamps (12 s apart) and mix hashes are fixed, so two
chains built with the same arguments and the same calls agree hash for hash.

* ``chain.mine(n=1)`` mines ``n`` blocks (about a third empty, the rest with
  1-4 token transfers, now and then a decoy Transfer or a token Approval) and
  returns the new head;
* ``chain.reorg(depth, new_blocks=None)`` replaces the last ``depth`` blocks
  with a different branch of ``new_blocks`` blocks (default ``depth + 1``):
  every replaced number gets a new hash; returns the fork block's number;
* ``chain.head`` (block number), ``chain.position`` (blocks mined on any
  branch), ``chain.token`` / ``chain.decoy`` (checksummed addresses),
  ``chain.accounts`` (the holders), ``chain.transfer_topic0``, ``chain.chain_id`` (int), ``chain.setup_blocks`` (blocks taken by the
  deployment and funding; a reorg never reaches below them);
* ``chain.canonical_logs(from_block, to_block, addresses=None, topic0s=None)``
  returns the canonical chain's logs in the follower's JSON Lines format:
  ``{"type": "log", "block_number", "block_hash", "transaction_hash",
  "log_index", "address", "topics", "data"}`` with lower-case hex and
  ``log_index`` counted within the block;
* ``chain.balances(block=None)`` / ``chain.balance_of(address, block=None)``
  ask the token's ``balanceOf`` (``block=None``: the head);
* ``chain.snapshot()`` / ``chain.restore(snapshot)`` put the chain back where
  it was, cheaply (no recompiling, no redeploying); mining the same calls
  again after a restore repeats the same hashes;
* ``chain.block(number)`` / ``chain.block_by_hash(hash)`` give a
  :class:`BlockRecord` (canonical, or any block ever mined by hash).

Every method holds ``chain.lock`` (re-entrant), so the node's threads and a
test's thread can share one chain.

The node (:class:`DevNode`)
---------------------------
``DevNode(chain, host="127.0.0.1", port=0)`` is a threaded HTTP/1.1 server
(keep-alive) answering JSON-RPC 2.0 single and batch requests the way a
node does: eth_chainId, net_version, web3_clientVersion, eth_blockNumber,
eth_getBlockByNumber ("latest", "safe", "finalized", "earliest", "pending" or
hex; full transactions or hashes), eth_getBlockByHash, eth_getLogs
(fromBlock/toBlock or blockHash; address one or a list; topics with null and
OR-lists), eth_call, eth_getTransactionReceipt, eth_syncing, eth_gasPrice.
Unknown methods answer -32601. ``with DevNode(chain) as node: node.url`` or
``node.start()`` / ``node.stop()``.

* ``node.faults`` (:class:`Faults`) misbehaves on demand, thread-safe, settable
  at any time: ``drop_next(n)``, ``status_next(n, code, retry_after=None)``,
  ``max_batch``, ``max_log_range``, ``max_logs``, ``max_response_bytes``,
  ``delay``, ``reorg_after(n_requests, depth, ...)``, ``on_request(callback)``
  and ``clear()``;
* ``node.requests`` (per JSON-RPC method, a ``Counter`` copy),
  ``node.round_trips`` (HTTP requests received), ``node.reset_counters()``;
* ``node.mine_every(seconds, per_step=1)`` mines in a background thread until
  ``node.stop_mining()`` or ``node.stop()``; ``node.schedule_reorg(at_head,
  depth, new_blocks=None)`` reorganises the chain once a mining step (of the
  miner thread or of ``node.mine(n)``) brings the head to ``at_head``.
"""

from __future__ import annotations

from .chain import (
    BLOCK_TIME,
    GENESIS_TIMESTAMP,
    INITIAL_SUPPLY,
    TRANSFER_TOPIC0,
    APPROVAL_TOPIC0,
    BlockRecord,
    DemoChain,
    compile_contract,
    to_hex,
)
from .node import CLIENT_VERSION, DevNode, Faults

__all__ = [
    "APPROVAL_TOPIC0",
    "BLOCK_TIME",
    "CLIENT_VERSION",
    "GENESIS_TIMESTAMP",
    "INITIAL_SUPPLY",
    "TRANSFER_TOPIC0",
    "BlockRecord",
    "DemoChain",
    "DevNode",
    "Faults",
    "compile_contract",
    "to_hex",
]
