"""Channel breakout with a stop: follow a price that leaves its recent range.

    quorvel-backtest --strategy examples/breakout.py:Breakout --param lookback=80
"""

from __future__ import annotations

import collections
from typing import Deque, Dict

from quorvel.backtest import OrderError, Strategy, Tick


class Breakout(Strategy):
    """A live price above the highest of the last `lookback` prices buys `lot`
    at the market; below the lowest it sells.  An open position is closed at
    the market when the price moves `stop` (a fraction) against its entry,
    or when the price breaks out the other way (which then reverses it).
    An order the account cannot carry (`OrderError`) is not made.
    """

    lookback = 50
    stop = 0.002
    lot = 1

    def on_start(self) -> None:
        self.prices: Dict[str, Deque[float]] = collections.defaultdict(
            lambda: collections.deque(maxlen=self.lookback)
        )
        self.entries: Dict[str, float] = {}

    def warm_up(self, tick: Tick) -> None:
        self.prices[tick["code"]].append(tick["close"])

    def on_tick(self, tick: Tick) -> None:
        code, close = tick["code"], tick["close"]
        prices = self.prices[code]
        full = len(prices) == self.lookback
        above = full and close > max(prices)
        below = full and close < min(prices)
        prices.append(close)
        held = self.position(code)
        if held and self.working_orders(code):
            return  # the last market order has not ended yet
        if held and self._stopped_out(code, held, close):
            if self._trade(code, -held):
                self.entries.pop(code, None)
        elif above and held <= 0:
            if self._trade(code, self.lot - held):
                self.entries[code] = close
        elif below and held >= 0:
            if self._trade(code, -self.lot - held):
                self.entries[code] = close

    def _stopped_out(self, code: str, held: int, close: float) -> bool:
        entry = self.entries.get(code)
        if entry is None:
            return False
        loss = (entry - close) / entry if held > 0 else (close - entry) / entry
        return loss >= self.stop

    def _trade(self, code: str, signed_qty: int) -> bool:
        """Buy or sell at the market; False when the account refuses."""
        try:
            if signed_qty > 0:
                self.buy(code, signed_qty)
            elif signed_qty < 0:
                self.sell(code, -signed_qty)
        except OrderError:
            return False
        return True
