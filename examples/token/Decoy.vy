# pragma version ~=0.4.3
# pragma evm-version cancun
"""
@title Decoy emitter
@notice Emits the same Transfer event as the token without holding any
        balances. An indexer filtering on the token's address must ignore it.
"""

event Transfer:
    sender: indexed(address)
    receiver: indexed(address)
    value: uint256


@external
def emit_transfer(_to: address, _value: uint256):
    log Transfer(sender=msg.sender, receiver=_to, value=_value)
