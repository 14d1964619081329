"""A sink of `vorlane_stores` (SqliteSink, PostgresSink) as a follower's
handler and store in one, with the block's logs decoded on the way and, if
given, a handler of the user's called beside it."""

from __future__ import annotations

from typing import Any


class SinkHandler:
    """Hands each block's logs, decoded by `decoder` (a
    `vorlane_rpc.EventDecoder`; None: the logs are records already), to
    `sink`, then to `handler` (optional), which sees the same records after
    the sink has buffered their rows; the rows commit with the next
    checkpoint. Rollbacks go to both, the sink first. The store methods are
    the sink's, so the object is passed as both handler and store:
    `Follower(w3, config, event_filter, h, h)`."""

    def __init__(self, sink: Any, decoder: Any = None, handler: Any = None) -> None:
        self.sink = sink
        self.decoder = decoder
        self.handler = handler

    def on_block(self, block: Any, logs: list[Any]) -> None:
        events = self.decoder.decode(logs) if self.decoder is not None else logs
        self.sink.on_block(block, events)
        if self.handler is not None:
            self.handler.on_block(block, events)

    def on_rollback(self, block_number: int) -> None:
        self.sink.on_rollback(block_number)
        if self.handler is not None:
            self.handler.on_rollback(block_number)

    def load_checkpoint(self, chain_id: str, indexer_id: str) -> Any:
        return self.sink.load_checkpoint(chain_id, indexer_id)

    def save_checkpoint(self, checkpoint: Any) -> None:
        self.sink.save_checkpoint(checkpoint)

    def save_checkpoint_if(self, checkpoint: Any, expected_block_number: int | None) -> None:
        self.sink.save_checkpoint_if(checkpoint, expected_block_number)

    def delete_checkpoint(self, chain_id: str, indexer_id: str) -> None:
        self.sink.delete_checkpoint(chain_id, indexer_id)
