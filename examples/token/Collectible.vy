# pragma version ~=0.4.3
# pragma evm-version cancun
"""
@title Collectible emitter
@notice Emits an ERC-721-style Transfer: the same topic0 as the token's
        Transfer, with the token id indexed as a third topic.
"""

event Transfer:
    sender: indexed(address)
    receiver: indexed(address)
    tokenId: indexed(uint256)


@external
def emit_transfer(_from: address, _to: address, _token_id: uint256):
    log Transfer(sender=_from, receiver=_to, tokenId=_token_id)
