"""`RiskCaps`: the limits a live session holds the strategy's orders to, checked once when made.

A backtest records them with its settings and does not apply them; a live session
(`quorvel.live`) refuses each order that would breach one with `OrderError` and a one-line
reason, before anything reaches the broker.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, Optional

# The broker's published limit on order calls (place_order, update_status, update_qty,
# update_price and cancel_order together): 250 within 10 seconds ("Use Restrictions",
# sinotrade.github.io/tutor/limit).  A minute's cap of at most that many keeps every ten
# seconds under it, whatever the strategy's bursts.
BROKER_ORDER_CALLS_PER_10S = 250
DEFAULT_ORDERS_PER_MINUTE = 60


def _cap(value: Any, what: str, least: float, most: float, whole: bool, none: bool = True) -> None:
    """`ValueError` with one line unless `value` is in bounds (or None, where `none` allows)."""
    if value is None and none:
        return
    kind = int if whole else (int, float)
    if isinstance(value, bool) or not isinstance(value, kind) or not least <= value <= most:
        number = "a whole number" if whole else "a number"
        bounds = f"from {least:g} to {most:,.0f}" if most < math.inf else f"of at least {least:g}"
        raise ValueError(
            f"{what} must be {number} {bounds}{', or None' if none else ''}, not {value!r}"
        )


@dataclass(frozen=True)
class RiskCaps:
    """The caps on a live session's orders (None: no cap).

    `max_order` is the largest quantity one order may have (lots or contracts);
    `max_position` the largest position per code, long or short, that a fill of the
    working orders and the new one could reach; `orders_per_minute` the order operations
    (entries, changes and cancellations) in any 60 seconds, at most the broker's published
    limit; `max_daily_loss` the loss in NTD (net of costs, realised and open) at which the
    strategy is stopped: its working orders are cancelled and nothing new is entered.
    """

    max_order: Optional[int] = None
    max_position: Optional[int] = None
    orders_per_minute: int = DEFAULT_ORDERS_PER_MINUTE
    max_daily_loss: Optional[float] = None

    def __post_init__(self) -> None:
        _cap(self.max_order, "max_order", 1, 1_000_000, True)
        _cap(self.max_position, "max_position", 1, 1_000_000, True)
        _cap(
            self.orders_per_minute, "orders_per_minute", 1, BROKER_ORDER_CALLS_PER_10S, True, False
        )
        _cap(self.max_daily_loss, "max_daily_loss", 0, math.inf, False)

    def as_dict(self) -> Dict[str, Any]:
        return {
            "max_order": self.max_order,
            "max_position": self.max_position,
            "orders_per_minute": self.orders_per_minute,
            "max_daily_loss": self.max_daily_loss,
        }
