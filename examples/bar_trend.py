"""Trend following on 1-minute bars: a fast moving average of the bars' closes against a slow one.

    quorvel-backtest --strategy examples/bar_trend.py:BarTrend --param fast=10 --param slow=30
"""

from __future__ import annotations

import collections
from typing import Deque, Dict

from quorvel import market
from quorvel.backtest import Bar, OrderError, Strategy

STOCK_KINDS = (market.Kind.STOCK, market.Kind.ETF)


class BarTrend(Strategy):
    """At the end of every live 1-minute bar, the average close of the code's last `fast` bars
    is compared with that of its last `slow` bars (the warm-up bars count too).  While the fast
    one is above, the strategy holds `lot` long; below it, `lot` short in futures and nothing
    in stocks (a cash account sells only what it holds).  It trades towards that at the best
    quote standing (buying at the ask, selling at the bid, IOC), or at the market where that
    side of the book is empty; an order the account cannot carry (`OrderError`) waits for a
    later bar.
    """

    bar_seconds = 60
    fast = 5
    slow = 20
    lot = 1

    def on_start(self) -> None:
        self.closes: Dict[str, Deque[float]] = collections.defaultdict(
            lambda: collections.deque(maxlen=self.slow)
        )

    def on_bar(self, bar: Bar) -> None:
        code = bar["code"]
        closes = self.closes[code]
        closes.append(bar["close"])
        if bar["is_backfilling"] or len(closes) < self.slow or self.working_orders(code):
            return
        fast_average = sum(list(closes)[-self.fast :]) / self.fast
        slow_average = sum(closes) / len(closes)
        if fast_average > slow_average:
            target = self.lot
        elif market.TAIWAN.kind(code) in STOCK_KINDS:
            target = 0
        else:
            target = -self.lot
        self._trade(code, target - self.position(code))

    def _trade(self, code: str, signed_qty: int) -> None:
        quote = self.quote(code)
        try:
            if signed_qty > 0:
                ask = quote["ask_price"] if quote else 0.0
                self.buy(code, signed_qty, ask or None, "IOC")
            elif signed_qty < 0:
                bid = quote["bid_price"] if quote else 0.0
                self.sell(code, -signed_qty, bid or None, "IOC")
        except OrderError:
            pass  # the account cannot carry it: a later bar tries again
