"""The built-in mean-reversion strategy and its settings."""

from __future__ import annotations

import collections
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, Tuple

from quorvel.constant import OperationType, OrderType, PriceType
from quorvel.sim import tick_size

_SECURITY_TYPES = {"Stock": "STK", "Future": "FUT"}


@dataclass(frozen=True)
class StrategyParams:
    """Settings of the built-in strategy.

    Every `every` live ticks of a code without working orders, the last price
    is compared with the moving average of the last `ma` prices.  Below the
    average by more than `band` (a fraction) the strategy buys `lot`, above it
    sells, within a position of at most `max_position` either way.  How it
    trades depends on how far the price is off: beyond twice the band it
    takes the market (MKT, IOC); otherwise it alternates between an
    all-or-nothing limit order at the last price (LMT, FOK) and a resting
    limit order one price step better (LMT, ROD), which is repriced to the
    market after `rod_ttl // 2` ticks and cancelled after `rod_ttl`.
    """

    ma: int = 100
    band: float = 0.001
    every: int = 50
    lot: int = 1
    max_position: int = 3
    rod_ttl: int = 200


Operation = Tuple[str, Dict[str, Any]]


@dataclass
class _WorkingOrder:
    code: str
    quantity: int
    order_type: Any
    placed_at: int  # the code's live tick count when the order was entered


class MeanReversionStrategy:
    """The built-in strategy (see `StrategyParams`): trades back towards the average."""

    def __init__(
        self,
        params: StrategyParams,
        markets: Dict[str, str],
        position_of: Callable[[str], int],
    ) -> None:
        self.params = params
        self.markets = markets
        self.position_of = position_of
        self.prices: Dict[str, Deque[float]] = {
            code: collections.deque(maxlen=params.ma) for code in markets
        }
        self.price_sums: Dict[str, float] = dict.fromkeys(markets, 0.0)
        self.live_ticks: Dict[str, int] = dict.fromkeys(markets, 0)
        self.decisions: Dict[str, int] = dict.fromkeys(markets, 0)
        self.working: Dict[str, _WorkingOrder] = {}

    def warm_up(self, tick: Dict[str, Any]) -> None:
        """Feed a backfill tick into the average; no trading."""
        self._record_price(tick["code"], float(tick["close"]))

    def on_tick(self, tick: Dict[str, Any]) -> List[Operation]:
        """Return the order operations to post after this live tick."""
        code = tick["code"]
        close = float(tick["close"])
        self._record_price(code, close)
        self.live_ticks[code] += 1
        working = [(tid, order) for tid, order in self.working.items() if order.code == code]
        if working:
            return self._manage(code, close, working)
        prices = self.prices[code]
        if len(prices) < self.params.ma or self.live_ticks[code] % self.params.every:
            return []
        deviation = close / (self.price_sums[code] / len(prices)) - 1
        if abs(deviation) <= self.params.band:
            return []
        side = "Sell" if deviation > 0 else "Buy"
        room = self.params.max_position - self.position_of(code) * (1 if side == "Buy" else -1)
        quantity = min(self.params.lot, room)
        if quantity <= 0:
            return []
        self.decisions[code] += 1
        step = self._step(code, close)
        if abs(deviation) > 2 * self.params.band:
            return [self._order(code, side, close, quantity, PriceType.MKT, OrderType.IOC)]
        if self.decisions[code] % 2:
            return [self._order(code, side, close, quantity, PriceType.LMT, OrderType.FOK)]
        passive = close - step if side == "Buy" else close + step
        return [self._order(code, side, passive, quantity, PriceType.LMT, OrderType.ROD)]

    def on_report(self, report: Dict[str, Any]) -> None:
        """Keep the working orders in step with the exchange's reports."""
        if "operation_type" not in report:  # a deal report
            order = self.working.get(report["id"])
            if order is not None:
                order.quantity -= report["quantity"]
                if order.quantity <= 0:
                    del self.working[report["id"]]
            return
        operation, order = report["operation_type"], report["order"]
        if operation == OperationType.NEW:
            self.working[order["id"]] = _WorkingOrder(
                order["code"],
                order["quantity"],
                order["order_type"],
                self.live_ticks[order["code"]],
            )
        elif operation == OperationType.CANCEL:
            self.working.pop(order["id"], None)

    def _manage(
        self, code: str, close: float, working: List[Tuple[str, _WorkingOrder]]
    ) -> List[Operation]:
        """Reprice, then cancel, resting orders that the market left behind."""
        operations: List[Operation] = []
        for trade_id, order in working:
            if order.order_type != OrderType.ROD:
                continue  # IOC and FOK orders end at the next tick of their code
            age = self.live_ticks[code] - order.placed_at
            if age == self.params.rod_ttl // 2:
                operations.append(("modify", {"trade_id": trade_id, "price": close}))
            elif age >= self.params.rod_ttl:
                operations.append(("cancel", {"trade_id": trade_id}))
        return operations

    def _record_price(self, code: str, close: float) -> None:
        prices = self.prices[code]
        if len(prices) == prices.maxlen:
            self.price_sums[code] -= prices[0]
        prices.append(close)
        self.price_sums[code] += close

    def _step(self, code: str, price: float) -> float:
        return tick_size(price, _SECURITY_TYPES[self.markets[code]])

    def _order(
        self,
        code: str,
        side: str,
        price: float,
        quantity: int,
        price_type: PriceType,
        order_type: OrderType,
    ) -> Operation:
        return (
            "add",
            {
                "code": code,
                "product_type": self.markets[code],
                "action": side,
                "price": float(price),
                "qty": quantity,
                "price_type": price_type.value,
                "order_type": order_type.value,
            },
        )
