# pragma version ~=0.4.3
# pragma evm-version cancun
"""
@title Pool emitter
@notice Emits a Uniswap V3-shaped Swap: signed amounts, a 160-bit price and
        a signed 24-bit tick.
"""

event Swap:
    sender: indexed(address)
    recipient: indexed(address)
    amount0: int256
    amount1: int256
    sqrtPriceX96: uint160
    liquidity: uint128
    tick: int24


@external
def emit_swap(_recipient: address, _amount0: int256, _amount1: int256, _sqrt_price_x96: uint160,
              _liquidity: uint128, _tick: int24):
    log Swap(sender=msg.sender, recipient=_recipient, amount0=_amount0, amount1=_amount1,
             sqrtPriceX96=_sqrt_price_x96, liquidity=_liquidity, tick=_tick)
