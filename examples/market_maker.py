"""A market maker: resting limit orders on both sides of the last price.

    quorvel-backtest --strategy examples/market_maker.py:MarketMaker --param spread=3
"""

from __future__ import annotations

import math
from typing import Dict

from quorvel.backtest import OrderError, Strategy, Tick


class MarketMaker(Strategy):
    """Every `every` live ticks of a code, quote `lot` to buy `spread` price
    steps below the last price and `lot` to sell `spread` steps above it, as
    ROD limit orders, never beyond the day's price limits.  A quote that the
    price left more than `requote` steps behind is moved back to its target;
    a quote that would add to a position is shrunk by one lot in the same
    change.  No side is quoted that could take the position beyond
    `max_position`.  A quote or a change the account cannot carry
    (`OrderError`) waits for the next round.  The exchange cancels the
    quotes at the session's close.
    """

    spread = 2
    requote = 2
    every = 20
    lot = 2
    max_position = 6

    def on_start(self) -> None:
        self.live_ticks: Dict[str, int] = {}

    def on_tick(self, tick: Tick) -> None:
        code = tick["code"]
        count = self.live_ticks[code] = self.live_ticks.get(code, 0) + 1
        if count % self.every:
            return
        close = tick["close"]
        step = self.tick_size(code, close)
        held = self.position(code)
        quotes = {str(order["action"]): order for order in self.working_orders(code)}
        for side, sign in (("Buy", -1), ("Sell", 1)):
            target = self._steps_away(code, close, sign * self.spread)
            quote = quotes.get(side)
            adds = held * -sign > 0  # a buy adds to a long position, a sell to a short one
            try:
                if quote is None:
                    if abs(held - sign * self.lot) <= self.max_position:
                        (self.buy if side == "Buy" else self.sell)(code, self.lot, target)
                elif abs(quote["price"] - target) > self.requote * step:
                    shrink = 1 if adds and quote["quantity"] > 1 else None
                    self.modify(quote["trade_id"], qty=shrink, price=target)
            except OrderError:
                continue

    def _steps_away(self, code: str, price: float, steps: int) -> float:
        """The price `steps` price steps above `price` (below when negative), stopping at the
        day's price limits.  Each step is the one where the price stands, so that every price
        on the way is on the ladder."""
        lower, upper = self.limit_prices(code) or (0.0, math.inf)
        for _ in range(abs(steps)):
            moved = round(price + math.copysign(self.tick_size(code, price), steps), 2)
            if moved <= 0 or not lower <= moved <= upper:
                break
            price = moved
        return price
