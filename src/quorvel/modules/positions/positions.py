"""Position keeping for backtests: net quantity, average cost and P&L per code."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from quorvel.constant import Action

TRADE_STATUSES = ("Deal", "Cancel")


@dataclass(frozen=True)
class TradeRecord:
    """One entry of the ledger: a fill ("Deal") or a cancellation ("Cancel")."""

    trade_id: str
    code: str
    action: Action
    quantity: int
    price: float | None
    timestamp: Any
    trade_status: str


@dataclass
class Position:
    """Holding of one code under average-cost accounting.

    ``quantity`` is signed (long positive, short negative); ``avg_price`` is
    the average cost of the open quantity and 0.0 when flat.
    """

    code: str
    product_type: str
    quantity: int = 0
    avg_price: float = 0.0
    realized_pnl: float = 0.0

    def fill(self, action: Action, quantity: int, price: float) -> None:
        """Apply a fill: extend the position, or close it and realise P&L."""
        if quantity == 0:
            return
        signed = quantity if action == Action.BUY else -quantity
        held = self.quantity
        if held == 0 or (held > 0) == (signed > 0):
            self.avg_price = (abs(held) * self.avg_price + quantity * price) / abs(held + signed)
        else:
            closed = min(abs(held), quantity)
            direction = 1 if held > 0 else -1
            self.realized_pnl += (price - self.avg_price) * closed * direction
            remaining = held + signed
            if remaining == 0:
                self.avg_price = 0.0
            elif (remaining > 0) != (held > 0):
                # The fill went through zero: the rest opens at the fill price.
                self.avg_price = price
        self.quantity = held + signed

    def unrealized_pnl(self, last_price: float | None) -> float:
        """Mark-to-market P&L of the open quantity; 0.0 without a price."""
        if last_price is None or self.quantity == 0:
            return 0.0
        return (last_price - self.avg_price) * self.quantity


class Positions:
    """Position keeper fed by the matcher with ticks, fills and cancellations.

    Every trade record goes to the ledger ``trade_records``; fills update the
    per-code ``positions``; ticks update ``last_prices`` for unrealised P&L.
    Prices are in quote units: no contract multiplier is applied.
    """

    def __init__(self) -> None:
        self.trade_records: list[TradeRecord] = []
        self.positions: dict[str, Position] = {}
        self.last_prices: dict[str, float] = {}

    def __repr__(self) -> str:
        held = ", ".join(
            f"{code} {position.quantity:+d} @ {position.avg_price:g}"
            for code, position in self.positions.items()
            if position.quantity
        )
        return f"<Positions {held or 'flat'}; {len(self.trade_records)} trade records>"

    def set_current_tick(self, tick: dict[str, Any]) -> None:
        """Remember the tick's close as the latest price of its code."""
        self.last_prices[tick["code"]] = float(tick["close"])

    def add_trade_record(
        self,
        *,
        trade_id: str,
        code: str,
        action: Action | str,
        quantity: int,
        price: float | None,
        timestamp: Any,
        trade_status: str,
    ) -> None:
        """Append a fill or cancellation to the ledger; positions are not touched."""
        if trade_status not in TRADE_STATUSES:
            raise ValueError(
                f"trade_status must be one of {TRADE_STATUSES}, got {trade_status!r}"
            )
        self.trade_records.append(
            TradeRecord(
                trade_id=trade_id,
                code=code,
                action=Action.from_value(action),
                quantity=quantity,
                price=price,
                timestamp=timestamp,
                trade_status=trade_status,
            )
        )

    def set_positions(self, trade: dict[str, Any], product_type: str) -> None:
        """Apply a fill dict ("code", "action", "quantity", "price") to its position."""
        quantity = trade["quantity"]
        if quantity < 0:
            raise ValueError(f"fill quantity must not be negative, got {quantity}")
        code = trade["code"]
        position = self.positions.get(code)
        if position is None:
            position = self.positions[code] = Position(code, product_type)
        position.fill(Action.from_value(trade["action"]), quantity, trade["price"])

    def summary(self) -> dict[str, Any]:
        """Per-code figures under "positions", plus P&L totals over all codes."""
        per_code: dict[str, dict[str, Any]] = {}
        for code, position in self.positions.items():
            last_price = self.last_prices.get(code)
            per_code[code] = {
                "product_type": position.product_type,
                "quantity": position.quantity,
                "avg_price": position.avg_price,
                "realized_pnl": position.realized_pnl,
                "unrealized_pnl": position.unrealized_pnl(last_price),
                "last_price": last_price,
            }
        realized = sum(item["realized_pnl"] for item in per_code.values())
        unrealized = sum(item["unrealized_pnl"] for item in per_code.values())
        return {
            "positions": per_code,
            "total_realized_pnl": realized,
            "total_unrealized_pnl": unrealized,
            "total_pnl": realized + unrealized,
        }
