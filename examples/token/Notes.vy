# pragma version ~=0.4.3
# pragma evm-version cancun
"""
@title Notes emitter
@notice Emits events of dynamic types: a string, bytes and an array in the
        data, and a string as an indexed topic (which holds its hash).
"""

event Note:
    author: indexed(address)
    text: String[64]
    payload: Bytes[96]
    amounts: DynArray[uint256, 24]

event Tagged:
    tag: indexed(String[32])
    author: indexed(address)
    label: String[32]


@external
def emit_note(_text: String[64], _payload: Bytes[96], _amounts: DynArray[uint256, 24]):
    log Note(author=msg.sender, text=_text, payload=_payload, amounts=_amounts)


@external
def emit_tagged(_tag: String[32], _label: String[32]):
    log Tagged(tag=_tag, author=msg.sender, label=_label)
