"""The dev chain: eth-tester on py-evm, mined by hand, the same in every run."""

from __future__ import annotations

import functools
import random
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable

import rlp  # type: ignore[import-untyped]
from eth_abi import encode as abi_encode
from eth_tester import EthereumTester, PyEVMBackend  # type: ignore[import-untyped]
from eth_utils import keccak, to_canonical_address, to_checksum_address

CONTRACTS_DIR = Path(__file__).resolve().parent.parent / "token"
GENESIS_TIMESTAMP = 1_700_000_000
BLOCK_TIME = 12
INITIAL_SUPPLY = 10**9 * 10**18
HOLDER_FUNDING = 10**6 * 10**18
ZERO_ADDRESS = "0x" + "00" * 20


def to_hex(value: bytes) -> str:
    """0x-prefixed lower-case hex of a hash or other byte string."""
    return "0x" + bytes(value).hex()


def _word(value: int) -> str:
    return "0x" + value.to_bytes(32, "big").hex()


def _selector(signature: str) -> bytes:
    return keccak(text=signature)[:4]


TRANSFER_TOPIC0 = to_hex(keccak(text="Transfer(address,address,uint256)"))
APPROVAL_TOPIC0 = to_hex(keccak(text="Approval(address,address,uint256)"))
_TRANSFER = _selector("transfer(address,uint256)")
_APPROVE = _selector("approve(address,uint256)")
_EMIT_TRANSFER = _selector("emit_transfer(address,uint256)")
_BALANCE_OF = _selector("balanceOf(address)")
_EMIT_TOKEN_TRANSFER = _selector("emit_transfer(address,address,uint256)")
_EMIT_SWAP = _selector("emit_swap(address,int256,int256,uint160,uint128,int24)")
_EMIT_NOTE = _selector("emit_note(string,bytes,uint256[])")
_EMIT_TAGGED = _selector("emit_tagged(string,string)")

# The contracts that emit the events beside the token's: an ERC-721-style
# Transfer (Collectible), a Uniswap V3-shaped Swap (Pool), and events of
# dynamic types with an indexed string among them (Notes).
EMITTERS = ("Collectible", "Pool", "Notes")
# eth-tester funds this many accounts: up to 10 holders, and one more that
# deploys the emitters and drives them, so the holders' nonces and
# transactions stay what they are without the emitters.
_FUNDED_ACCOUNTS = 11


@functools.lru_cache(maxsize=None)
def compile_contract(name: str) -> tuple[list[dict[str, Any]], str]:
    """ABI and deployment bytecode of ``examples/token/<name>.vy``, compiled by Vyper."""
    from vyper.compiler import compile_code  # type: ignore[import-untyped]

    source = (CONTRACTS_DIR / f"{name}.vy").read_text(encoding="utf-8")
    output = compile_code(source, output_formats=["abi", "bytecode"])
    return output["abi"], output["bytecode"]


@dataclass(frozen=True)
class BlockRecord:
    """One mined block as a node reports it, in JSON-RPC form (hex quantities)."""

    number: int
    hash: str
    parent_hash: str
    timestamp: int
    header: dict[str, Any]  # the block object without "transactions"
    transactions: tuple[dict[str, Any], ...]  # full transaction objects, in block order
    receipts: tuple[dict[str, Any], ...]  # one per transaction, with its logs
    logs: tuple[dict[str, Any], ...]  # every log of the block, logIndex counted within the block

    def block_object(self, full_transactions: bool = False) -> dict[str, Any]:
        """The eth_getBlockBy* result."""
        transactions = list(self.transactions) if full_transactions else [t["hash"] for t in self.transactions]
        return {**self.header, "transactions": transactions}


def log_line(log: dict[str, Any]) -> dict[str, Any]:
    """A JSON-RPC log object in the follower's JSON Lines format."""
    return {
        "type": "log",
        "block_number": int(log["blockNumber"], 16),
        "block_hash": log["blockHash"],
        "transaction_hash": log["transactionHash"],
        "log_index": int(log["logIndex"], 16),
        "address": log["address"],
        "topics": list(log["topics"]),
        "data": log["data"],
    }


class _ReplayableBackend(PyEVMBackend):  # type: ignore[misc]
    """py-evm with a fixed genesis time, a fixed block time and no randomness.

    The stock backend stamps blocks with the wall clock and draws each block's
    mix hash from os.urandom. Here a block's timestamp is its parent's plus
    ``BLOCK_TIME`` and its mix hash comes from a count of all blocks mined,
    abandoned branches included; with the fixed test keys and deterministic
    signatures the same transactions give the same chain, hash for hash.
    """

    def __init__(self) -> None:
        params = PyEVMBackend.generate_genesis_params(overrides={"timestamp": GENESIS_TIMESTAMP})
        state = PyEVMBackend.generate_genesis_state(num_accounts=_FUNDED_ACCOUNTS)
        super().__init__(genesis_parameters=params, genesis_state=state)
        self.blocks_mined = 0
        self._pin_pending_header()

    def _pin_pending_header(self) -> None:
        # The pending header must carry its final timestamp before any
        # transaction is applied to it.
        parent = self.chain.get_canonical_head()
        self.chain.header = self.chain.header.copy(timestamp=parent.timestamp + BLOCK_TIME)

    def mine_blocks(self, num_blocks: int = 1, coinbase: bytes = b"\0" * 20) -> tuple[bytes, ...]:
        hashes = []
        for _ in range(num_blocks):
            self.blocks_mined += 1
            mix_hash = keccak(b"devchain block " + self.blocks_mined.to_bytes(8, "big"))
            hashes.append(self.chain.mine_block(coinbase=coinbase, mix_hash=mix_hash).hash)
            self._pin_pending_header()
        return tuple(hashes)

    def revert_to_snapshot(self, snapshot: Any) -> None:
        super().revert_to_snapshot(snapshot)
        self._pin_pending_header()


@dataclass(frozen=True)
class _Snapshot:
    blocks: tuple[BlockRecord, ...]
    rng_state: Any
    emit_rng_state: Any
    blocks_mined: int
    tag_depths: tuple[int, int]


class DemoChain:
    """An eth-tester chain carrying the token, the decoy, the emitters and a few holders.

    Block 1 deploys the token, block 2 the decoy and the emitters, blocks 3..
    hand each other holder a float; ``setup_blocks`` counts them. Then
    ``blocks`` blocks of activity follow. Transactions go straight to
    eth-tester and are sealed by ``mine``; a block takes at most one
    transaction per sender.

    The emitters are deployed and driven by an account of their own, after
    the holders' transactions in a block and with random draws of their own:
    the token's and the decoy's logs, transactions and log indexes are what
    they would be without them.
    """

    def __init__(self, seed: int = 1, holders: int = 6, blocks: int = 0,
                 safe_depth: int = 32, finalized_depth: int = 64) -> None:
        if not 2 <= holders <= 10:
            raise ValueError("holders must be between 2 and 10 (eth-tester's funded accounts)")
        self.lock = threading.RLock()
        self.seed = seed
        self.safe_depth = safe_depth
        self.finalized_depth = finalized_depth
        self.backend = _ReplayableBackend()
        self.tester = EthereumTester(self.backend, auto_mine_transactions=False)
        self.chain_id: int = self.backend.chain.chain_id
        self.accounts: list[str] = list(self.tester.get_accounts()[:holders])
        self.deployer = self.accounts[0]
        self._keys = {key.public_key.to_canonical_address(): key for key in self.backend.account_keys}
        self.rng = random.Random(seed)
        self.emit_rng = random.Random(f"emitters {seed}")
        self.emitter = to_checksum_address(self.backend.account_keys[_FUNDED_ACCOUNTS - 1].public_key
                                           .to_canonical_address())
        self._emitted: dict[str, tuple[str, dict[str, Any]]] = {}
        self._blocks: list[BlockRecord] = []
        self._by_hash: dict[str, BlockRecord] = {}
        self._by_transaction: dict[str, BlockRecord] = {}
        self._record_canonical(0)

        _, token_code = compile_contract("Token")
        _, decoy_code = compile_contract("Decoy")
        token_args = abi_encode(["string", "string", "uint256"], ["Vorlane Example Token", "VXT", INITIAL_SUPPLY])
        (self.token,) = self._deploy([(self.deployer, token_code + token_args.hex())])
        self.decoy, self.collectible, self.pool, self.notes = self._deploy(
            [(self.deployer, decoy_code)] + [(self.emitter, compile_contract(name)[1]) for name in EMITTERS])
        for holder in self.accounts[1:]:
            self._send(self.deployer, self.token, _TRANSFER + abi_encode(["address", "uint256"], [holder, HOLDER_FUNDING]))
            self._seal()
        self.setup_blocks = self.head
        self.transfer_topic0 = TRANSFER_TOPIC0
        if blocks:
            self.mine(blocks)

    # ---- reading ----------------------------------------------------------

    @property
    def head(self) -> int:
        with self.lock:
            return len(self._blocks) - 1

    @property
    def position(self) -> int:
        """How far the chain's history has got: blocks mined so far on any branch,
        setup included. A rebuilt chain that reaches the same position holds the
        same blocks."""
        with self.lock:
            return int(self.backend.blocks_mined)

    def block(self, number: int) -> BlockRecord | None:
        """The canonical block ``number``, or None above the head."""
        with self.lock:
            return self._blocks[number] if 0 <= number < len(self._blocks) else None

    def block_by_hash(self, block_hash: str) -> BlockRecord | None:
        """Any block ever mined on this chain (abandoned branches too), by 0x hash."""
        with self.lock:
            return self._by_hash.get(block_hash.lower())

    def is_canonical(self, record: BlockRecord) -> bool:
        with self.lock:
            return self.block(record.number) is record

    def receipt(self, transaction_hash: str) -> dict[str, Any] | None:
        """The receipt of a transaction in a canonical block, or None."""
        with self.lock:
            record = self._by_transaction.get(transaction_hash.lower())
            if record is None or not self.is_canonical(record):
                return None
            return next(r for r in record.receipts if r["transactionHash"] == transaction_hash.lower())

    def logs(self, from_block: int, to_block: int, addresses: Iterable[str] | None = None,
             topics: list[Any] | None = None) -> list[dict[str, Any]]:
        """Canonical JSON-RPC log objects of blocks ``from_block..to_block`` (clamped to the
        head) that match ``addresses`` (None: any) and eth_getLogs-style ``topics``."""
        with self.lock:
            blocks = self._blocks[max(from_block, 0):max(to_block + 1, 0)]
        return [log for record in blocks for log in filter_logs(record.logs, addresses, topics)]

    def canonical_logs(self, from_block: int, to_block: int, addresses: Iterable[str] | None = None,
                       topic0s: Iterable[str] | None = None) -> list[dict[str, Any]]:
        """The canonical logs of ``from_block..to_block`` as follower JSON Lines objects."""
        topics = None if topic0s is None else [list(topic0s)]
        return [log_line(log) for log in self.logs(from_block, to_block, addresses, topics)]

    def emitted_events(self, from_block: int, to_block: int) -> list[dict[str, Any]]:
        """What the emitters logged in canonical blocks ``from_block..to_block``, in
        log order, as a decoder should read it: ``{"block_number", "log_index",
        "address", "event", "args"}`` with ``args`` keyed by argument name,
        addresses in lower-case text, integers exact, bytes as bytes, strings
        as str, arrays as tuples and the indexed string as its 32-byte topic."""
        with self.lock:
            blocks = self._blocks[max(from_block, 0):max(to_block + 1, 0)]
            events = []
            for record in blocks:
                for log in record.logs:
                    emitted = self._emitted.get(log["transactionHash"])
                    if emitted is not None:
                        events.append({"block_number": record.number, "log_index": int(log["logIndex"], 16),
                                       "address": log["address"], "event": emitted[0], "args": emitted[1]})
            return events

    def balance_of(self, address: str, block: int | None = None) -> int:
        """The token's ``balanceOf(address)`` at ``block`` (None: the head)."""
        data = to_hex(_BALANCE_OF + abi_encode(["address"], [address]))
        with self.lock:
            result = self.call({"from": self.deployer, "to": self.token, "data": data}, block)
        return int(result, 16)

    def balances(self, block: int | None = None) -> dict[str, int]:
        """``balanceOf`` of every holder (checksummed address) at ``block`` (None: the head)."""
        with self.lock:
            return {holder: self.balance_of(holder, block) for holder in self.accounts}

    def call(self, transaction: dict[str, Any], block: int | str | None = None) -> str:
        """eth_call: ``transaction`` with 0x-hex ``from``/``to``/``data`` (and optional int
        ``gas``/``value``) run against ``block`` (None: the head); returns the 0x output."""
        with self.lock:
            return str(self.tester.call(transaction, "latest" if block is None else block))

    # ---- writing ----------------------------------------------------------

    def mine(self, n: int = 1, *, first_block_busy: bool = False) -> int:
        """Mine ``n`` blocks of activity and return the new head.

        About a third of the blocks are empty; the rest hold 1-4 token
        transfers, now and then a decoy Transfer (same event, other contract)
        or a token Approval (same contract, other event), and in about one in
        three of them an emitter's event last.
        """
        with self.lock:
            for index in range(n):
                rng = self.rng
                if (first_block_busy and index == 0) or rng.random() >= 0.35:
                    senders = rng.sample(self.accounts, len(self.accounts))
                    for _ in range(min(rng.randint(1, 4), len(senders))):
                        sender = senders.pop()
                        receiver = rng.choice([a for a in self.accounts if a != sender])
                        self._send(sender, self.token, _TRANSFER + abi_encode(
                            ["address", "uint256"], [receiver, rng.randrange(1, 10**18)]))
                    if senders and rng.random() < 0.3:
                        self._send(senders.pop(), self.decoy, _EMIT_TRANSFER + abi_encode(
                            ["address", "uint256"], [rng.choice(self.accounts), rng.randrange(1, 10**18)]))
                    if senders and rng.random() < 0.1:
                        self._send(senders.pop(), self.token, _APPROVE + abi_encode(
                            ["address", "uint256"], [rng.choice(self.accounts), rng.randrange(1, 10**18)]))
                    if self.emit_rng.random() < 0.35:
                        self._emit()
                self._seal()
            return self.head

    def reorg(self, depth: int, new_blocks: int | None = None) -> int:
        """Replace the last ``depth`` blocks with a different branch and return the fork
        block's number.

        The new branch has ``new_blocks`` blocks (default ``depth + 1``, at least 1); its
        first block always carries transfers, and every number it shares with the old
        branch gets a new hash. The deployment and funding blocks cannot be replaced.
        """
        if depth < 1:
            raise ValueError(f"a reorganisation replaces at least one block, not {depth}")
        new_blocks = depth + 1 if new_blocks is None else new_blocks
        if new_blocks < 1:
            raise ValueError(f"the new branch needs at least one block, not {new_blocks}")
        with self.lock:
            fork = self.head - depth
            if fork < self.setup_blocks:
                raise ValueError(
                    f"a reorganisation {depth} deep at head {self.head} would replace the "
                    f"setup blocks (1..{self.setup_blocks})"
                )
            self.backend.revert_to_snapshot(bytes.fromhex(self._blocks[fork].hash[2:]))
            del self._blocks[fork + 1:]
            self.mine(new_blocks, first_block_busy=True)
            return fork

    def snapshot(self) -> object:
        """A handle that ``restore`` takes the chain back to."""
        with self.lock:
            return _Snapshot(tuple(self._blocks), self.rng.getstate(), self.emit_rng.getstate(),
                             self.backend.blocks_mined, (self.safe_depth, self.finalized_depth))

    def restore(self, snapshot: object) -> None:
        """Put the chain back where it was at ``snapshot``: blocks, random draws, mix
        hash count and the "safe"/"finalized" depths, so the same calls mine the same
        blocks again."""
        if not isinstance(snapshot, _Snapshot):
            raise TypeError("restore() takes what snapshot() returned")
        with self.lock:
            self.backend.revert_to_snapshot(bytes.fromhex(snapshot.blocks[-1].hash[2:]))
            self._blocks = list(snapshot.blocks)
            self.rng.setstate(snapshot.rng_state)
            self.emit_rng.setstate(snapshot.emit_rng_state)
            self.backend.blocks_mined = snapshot.blocks_mined
            self.safe_depth, self.finalized_depth = snapshot.tag_depths

    # ---- internals --------------------------------------------------------

    def _send(self, sender: str, to: str | None, data: bytes, gas: int = 200_000) -> str:
        # Signed here and applied to the pending block once: eth-tester's own
        # path applies every transaction twice.
        chain = self.backend.chain
        vm = chain.get_vm()
        address = to_canonical_address(sender)
        unsigned = vm.get_transaction_builder().new_unsigned_dynamic_fee_transaction(
            chain_id=self.chain_id,
            nonce=vm.state.get_nonce(address),
            max_priority_fee_per_gas=10**9,
            max_fee_per_gas=50 * 10**9,
            gas=gas,
            to=to_canonical_address(to) if to is not None else b"",
            value=0,
            data=data,
            access_list=(),
        )
        signed = unsigned.as_signed_transaction(self._keys[address])
        chain.apply_transaction(signed)
        return to_hex(signed.hash)

    def _deploy(self, contracts: list[tuple[str, str]]) -> list[str]:
        """Deploys (sender, bytecode) pairs in one block; their addresses."""
        sent = [self._send(sender, None, bytes.fromhex(code.removeprefix("0x")), 3_000_000)
                for sender, code in contracts]
        self._seal()
        addresses: list[str] = []
        for transaction_hash in sent:
            receipt = self.receipt(transaction_hash)
            if receipt is None or receipt["status"] != "0x1":
                raise RuntimeError("contract deployment failed")
            addresses.append(to_checksum_address(receipt["contractAddress"]))
        return addresses

    def _emit(self) -> None:
        """One emitter's event, its values drawn to reach the edges of their types."""
        rng = self.emit_rng
        accounts = [a.lower() for a in self.accounts]
        sender = self.emitter.lower()
        kind = rng.randrange(4)
        if kind == 0:
            args: dict[str, Any] = {
                "sender": rng.choice([ZERO_ADDRESS, *accounts]), "receiver": rng.choice(accounts),
                "tokenId": rng.choice([0, 1, 2**256 - 1, rng.getrandbits(256)])}
            name, to, data = "Transfer", self.collectible, _EMIT_TOKEN_TRANSFER + abi_encode(
                ["address", "address", "uint256"], list(args.values()))
        elif kind == 1:
            amount = rng.choice([1, 10**18, 2**255 - 1, rng.getrandbits(rng.randrange(1, 256))])
            args = {"sender": sender, "recipient": rng.choice(accounts),
                    "amount0": amount if rng.random() < 0.5 else -amount,
                    "amount1": rng.choice([0, -1, -(2**255), rng.randrange(-(2**127), 2**127)]),
                    "sqrtPriceX96": rng.choice([1, 2**96, 2**160 - 1, rng.getrandbits(160)]),
                    "liquidity": rng.choice([0, 2**128 - 1, rng.getrandbits(128)]),
                    "tick": rng.choice([-887272, 887272, -1, 0, -(2**23), 2**23 - 1,
                                        rng.randrange(-887272, 887273)])}
            name, to, data = "Swap", self.pool, _EMIT_SWAP + abi_encode(
                ["address", "int256", "int256", "uint160", "uint128", "int24"], list(args.values())[1:])
        elif kind == 2:
            args = {"author": sender,
                    "text": rng.choice(["", "gm", "Grüße aus Köln, 東京へ ✓", "x" * 64]),
                    "payload": rng.choice([b"", b"\0", bytes(range(96)), rng.randbytes(rng.randrange(1, 97))]),
                    "amounts": rng.choice([(), (2**256 - 1,) * 24,
                                           tuple(rng.getrandbits(256) for _ in range(rng.randrange(1, 25)))])}
            name, to, data = "Note", self.notes, _EMIT_NOTE + abi_encode(
                ["string", "bytes", "uint256[]"], list(args.values())[1:])
        else:
            tag = rng.choice(["", "vorlane", "ünïcødé 🚀", "t" * 32])
            label = rng.choice(["", "label", "ß" * 16])
            args = {"tag": keccak(text=tag), "author": sender, "label": label}
            name, to, data = "Tagged", self.notes, _EMIT_TAGGED + abi_encode(["string", "string"], [tag, label])
        self._emitted[self._send(self.emitter, to, data, gas=500_000)] = (name, args)

    def _seal(self) -> None:
        self.backend.mine_blocks(1)
        self._record_canonical(self.head + 1)

    def _record_canonical(self, number: int) -> None:
        record = _build_record(self.backend.chain, number)
        assert number == len(self._blocks)
        self._blocks.append(record)
        self._by_hash[record.hash] = record
        for transaction in record.transactions:
            self._by_transaction[transaction["hash"]] = record


def filter_logs(logs: Iterable[dict[str, Any]], addresses: Iterable[str] | None,
                topics: list[Any] | None) -> Iterable[dict[str, Any]]:
    """eth_getLogs matching: any of ``addresses``; per position, None, one topic or any of a list."""
    wanted = None if addresses is None else {a.lower() for a in addresses}
    positions: list[set[str] | None] = []
    for position in topics or []:
        if position is None:
            positions.append(None)
        elif isinstance(position, str):
            positions.append({position.lower()})
        else:
            positions.append({t.lower() for t in position} if position else None)
    for log in logs:
        if wanted is not None and log["address"] not in wanted:
            continue
        log_topics = log["topics"]
        if len(positions) > len(log_topics) and any(p is not None for p in positions[len(log_topics):]):
            continue
        if all(p is None or (i < len(log_topics) and log_topics[i] in p) for i, p in enumerate(positions)):
            yield log


def _address(value: bytes) -> str:
    return to_hex(value)


def _build_record(chain: Any, number: int) -> BlockRecord:
    block = chain.get_canonical_block_by_number(number)
    header = block.header
    block_hash = to_hex(header.hash)
    base_fee = getattr(header, "base_fee_per_gas", 0) or 0
    common = {"blockHash": block_hash, "blockNumber": hex(number)}
    receipts_raw = block.get_receipts(chain.chaindb)

    transactions = []
    receipts = []
    logs: list[dict[str, Any]] = []
    previous_gas = 0
    for index, (transaction, receipt) in enumerate(zip(block.transactions, receipts_raw)):
        tx_hash = to_hex(transaction.hash)
        sender = _address(transaction.sender)
        to = _address(transaction.to) if transaction.to else None
        type_id = getattr(transaction, "type_id", None) or 0
        entry: dict[str, Any] = {
            **common,
            "hash": tx_hash,
            "transactionIndex": hex(index),
            "type": hex(type_id),
            "nonce": hex(transaction.nonce),
            "from": sender,
            "to": to,
            "value": hex(transaction.value),
            "gas": hex(transaction.gas),
            "input": to_hex(transaction.data),
            "r": hex(transaction.r),
            "s": hex(transaction.s),
        }
        if type_id >= 2:
            tip = min(transaction.max_priority_fee_per_gas, transaction.max_fee_per_gas - base_fee)
            price = base_fee + tip
            entry.update(
                chainId=hex(transaction.chain_id),
                maxFeePerGas=hex(transaction.max_fee_per_gas),
                maxPriorityFeePerGas=hex(transaction.max_priority_fee_per_gas),
                gasPrice=hex(price),
                accessList=[],
                yParity=hex(transaction.y_parity),
                v=hex(transaction.y_parity),
            )
        else:
            price = transaction.gas_price
            entry.update(gasPrice=hex(price), v=hex(transaction.v))
        transactions.append(entry)

        tx_logs: list[dict[str, Any]] = []
        for log in receipt.logs:
            tx_logs.append({
                **common,
                "address": _address(log.address),
                "topics": [_word(topic) for topic in log.topics],
                "data": to_hex(log.data),
                "transactionHash": tx_hash,
                "transactionIndex": hex(index),
                "logIndex": hex(len(logs) + len(tx_logs)),
                "removed": False,
            })
        logs.extend(tx_logs)
        contract = None
        if to is None:
            from eth._utils.address import generate_contract_address

            contract = _address(generate_contract_address(to_canonical_address(sender), transaction.nonce))
        receipts.append({
            **common,
            "transactionHash": tx_hash,
            "transactionIndex": hex(index),
            "from": sender,
            "to": to,
            "contractAddress": contract,
            "cumulativeGasUsed": hex(receipt.gas_used),
            "gasUsed": hex(receipt.gas_used - previous_gas),
            "effectiveGasPrice": hex(price),
            "logs": tx_logs,
            "logsBloom": to_hex(receipt.bloom.to_bytes(256, "big")),
            "status": hex(receipt.state_root == b"\x01" and 1 or 0),
            "type": hex(type_id),
        })
        previous_gas = receipt.gas_used

    fields: dict[str, Any] = {
        "number": hex(number),
        "hash": block_hash,
        "parentHash": to_hex(header.parent_hash),
        "nonce": to_hex(header.nonce),
        "mixHash": to_hex(header.mix_hash),
        "sha3Uncles": to_hex(header.uncles_hash),
        "logsBloom": to_hex(header.bloom.to_bytes(256, "big")),
        "transactionsRoot": to_hex(header.transaction_root),
        "stateRoot": to_hex(header.state_root),
        "receiptsRoot": to_hex(header.receipt_root),
        "miner": _address(header.coinbase),
        "difficulty": hex(header.difficulty),
        "extraData": to_hex(header.extra_data),
        "size": hex(len(rlp.encode(block))),
        "gasLimit": hex(header.gas_limit),
        "gasUsed": hex(header.gas_used),
        "timestamp": hex(header.timestamp),
        "baseFeePerGas": hex(base_fee),
        "uncles": [],
    }
    optional = (
        ("withdrawalsRoot", "withdrawals_root", to_hex),
        ("blobGasUsed", "blob_gas_used", hex),
        ("excessBlobGas", "excess_blob_gas", hex),
        ("parentBeaconBlockRoot", "parent_beacon_block_root", to_hex),
        ("requestsHash", "requests_hash", to_hex),
    )
    for key, attribute, convert in optional:
        value = getattr(header, attribute, None)
        if value is not None:
            fields[key] = convert(value)
    if hasattr(header, "withdrawals_root"):
        fields["withdrawals"] = []
    return BlockRecord(
        number=number,
        hash=block_hash,
        parent_hash=fields["parentHash"],
        timestamp=header.timestamp,
        header=fields,
        transactions=tuple(transactions),
        receipts=tuple(receipts),
        logs=tuple(logs),
    )
