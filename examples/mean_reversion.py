"""The built-in strategy: trade back towards a moving average.

    quorvel-backtest --strategy examples/mean_reversion.py:MeanReversion --param ma=200
"""

from __future__ import annotations

import collections
from typing import Any, Deque, Dict, Union

from quorvel.backtest import DealReport, OrderError, OrderReport, Strategy, Tick


class MeanReversion(Strategy):
    """Every `every` live ticks of a code without working orders, the last price
    is compared with the moving average of the last `ma` prices.  Below the
    average by more than `band` (a fraction) the strategy buys `lot`, above it
    sells, within a position of at most `max_position` either way.  How it
    trades depends on how far the price is off: beyond twice the band it takes
    the market (MKT, IOC); otherwise it alternates between an all-or-nothing
    limit order at the last price (LMT, FOK) and a resting limit order one
    price step better (LMT, ROD; kept within the day's price limits), which
    is repriced to the market after `rod_ttl // 2` ticks and cancelled after
    `rod_ttl`, unless the session's close has cancelled it.  An order or a
    repricing the account cannot carry (`OrderError`: not enough cash, margin
    or shares) is left out; a later tick tries again.
    """

    ma = 100
    band = 0.001
    every = 50
    lot = 1
    max_position = 3
    rod_ttl = 200

    def __init__(self, **params: Any) -> None:
        # Refused here, a bad value is one line before the run instead of a failure inside it.
        super().__init__(**params)
        for name in ("ma", "every", "lot", "max_position", "rod_ttl"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1, not {getattr(self, name)}")
        if not self.band >= 0:
            raise ValueError(f"band must be at least 0, not {self.band}")

    def on_start(self) -> None:
        self.prices: Dict[str, Deque[float]] = collections.defaultdict(
            lambda: collections.deque(maxlen=self.ma)
        )
        self.price_sums: Dict[str, float] = collections.defaultdict(float)
        self.live_ticks: Dict[str, int] = collections.defaultdict(int)
        self.decisions: Dict[str, int] = collections.defaultdict(int)
        # code -> trade id -> [quantity left, order type, the code's live tick count at entry]
        self.working: Dict[str, Dict[str, list]] = collections.defaultdict(dict)

    def warm_up(self, tick: Tick) -> None:
        self._record_price(tick["code"], float(tick["close"]))

    def on_tick(self, tick: Tick) -> None:
        code = tick["code"]
        close = float(tick["close"])
        self._record_price(code, close)
        count = self.live_ticks[code] = self.live_ticks[code] + 1
        working = self.working[code]
        if working:
            self._manage(code, close, working)
            return
        prices = self.prices[code]
        if count % self.every or len(prices) < self.ma:
            return
        deviation = close / (self.price_sums[code] / len(prices)) - 1
        if abs(deviation) <= self.band:
            return
        order = self.sell if deviation > 0 else self.buy
        room = self.max_position - self.position(code) * (-1 if deviation > 0 else 1)
        quantity = min(self.lot, room)
        if quantity <= 0:
            return
        decision = self.decisions[code] + 1
        try:
            if abs(deviation) > 2 * self.band:
                order(code, quantity)  # at the market, IOC
            elif decision % 2:
                order(code, quantity, close, "FOK")
            else:
                step = self.tick_size(code, close)
                better = round(close + step if deviation > 0 else close - step, 2)
                lower, upper = self.limit_prices(code) or (better, better)
                order(code, quantity, min(max(better, lower), upper))
        except OrderError:
            return
        self.decisions[code] = decision

    def on_report(self, report: Union[OrderReport, DealReport]) -> None:
        operation = report.get("operation_type")
        if operation is None:  # a deal report
            working = self.working[report["code"]]
            order = working.get(report["id"])
            if order is not None:
                order[0] -= report["quantity"]
                if order[0] <= 0:
                    del working[report["id"]]
        elif operation == "New":
            placed = report["order"]
            code = placed["code"]
            self.working[code][placed["id"]] = [
                placed["quantity"], placed["order_type"], self.live_ticks[code]
            ]
        elif operation == "Cancel":
            self.working[report["order"]["code"]].pop(report["order"]["id"], None)

    def _manage(self, code: str, close: float, working: Dict[str, list]) -> None:
        """Reprice, then cancel, resting orders that the market left behind."""
        for trade_id, (_, order_type, placed_at) in list(working.items()):
            if order_type != "ROD":
                continue  # IOC and FOK orders end at the next tick of their code
            age = self.live_ticks[code] - placed_at
            if age == self.rod_ttl // 2:
                try:
                    self.modify(trade_id, price=close)
                except OrderError:
                    pass  # the account cannot hold the new price; cancelled at rod_ttl
            elif age >= self.rod_ttl:
                self.cancel(trade_id)

    def _record_price(self, code: str, close: float) -> None:
        prices = self.prices[code]
        if len(prices) == prices.maxlen:
            self.price_sums[code] -= prices[0]
        prices.append(close)
        self.price_sums[code] += close
