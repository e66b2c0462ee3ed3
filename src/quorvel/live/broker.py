"""What the engine reads of the broker's own objects beyond its events (`quorvel.live.events`):
the `Trade` a call answers with and `list_trades` lists, the positions of `list_positions`,
and the quote subscriptions.

Names follow the broker's documented layouts ("Order", "Position" and "Subscribe"):
``trade.order`` (`id`, `action`, `price`, `quantity`, `price_type`, `order_type`),
``trade.contract.code``, ``trade.status`` (`status`, `status_code`, `msg`, `deal_quantity`,
`cancel_quantity`), a position's `code`, `direction`, `quantity` and `price`.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Tuple

from quorvel.constant import Action, OrderCond, OrderLot

# The order statuses of a trade still working at the exchange.
WORKING_STATUSES = frozenset({"PendingSubmit", "PreSubmitted", "Submitted", "PartFilled"})


def text(value: Any) -> str:
    """A broker enum's value (or a plain value) as text."""
    return str(getattr(value, "value", value))


def account_for(api: Any, market: str) -> Any:
    """The broker's account an order of `market` ("Stock" or "Future") goes to."""
    return getattr(api, "stock_account" if market == "Stock" else "futopt_account", None)


def status_of(trade: Any) -> str:
    return text(getattr(getattr(trade, "status", None), "status", ""))


def refusal_of(trade: Any) -> Optional[str]:
    """The broker's words when the trade it answered with failed at once; None otherwise."""
    if status_of(trade) != "Failed":
        return None
    status = trade.status
    return f"{getattr(status, 'status_code', '')} {getattr(status, 'msg', '')}".strip() or "failed"


def summary_of(trade: Any) -> Dict[str, Any]:
    """What the session record keeps of a call's answer."""
    order = getattr(trade, "order", None)
    return {"id": text(getattr(order, "id", "")), "status": status_of(trade)}


def working_of(trade: Any, codes: Mapping[str, str]) -> Optional[Tuple[str, Dict[str, Any], int]]:
    """(the strategy's code, the working order's record as `working_orders` gives it, the
    quantity filled so far) of a trade `list_trades` gave, for one of `codes` (broker code to
    the strategy's) still working; None for any other."""
    code = codes.get(text(trade.contract.code))
    if code is None or status_of(trade) not in WORKING_STATUSES:
        return None
    order, status = trade.order, trade.status
    filled = int(getattr(status, "deal_quantity", 0) or 0)
    cancelled = int(getattr(status, "cancel_quantity", 0) or 0)
    left = int(order.quantity) - filled - cancelled
    if left <= 0:
        return None
    record = {
        "trade_id": text(order.id),
        "code": code,
        "action": Action.from_value(text(order.action)),
        "price": float(order.price),
        "quantity": left,
        "price_type": text(order.price_type),
        "order_type": text(order.order_type),
    }
    return code, record, filled


def position_of(held: Any, codes: Mapping[str, str]) -> Optional[Tuple[str, int, float]]:
    """(the strategy's code, lots held with a short negative, average price) of a position
    `list_positions` gave, for one of `codes`; None for another."""
    code = codes.get(text(held.code))
    if code is None:
        return None
    lots = int(held.quantity)
    if text(held.direction) == Action.SELL:
        lots = -lots
    return code, lots, float(held.price)


def opening_deal(code: str, market: str, lots: int, price: float, moment: float) -> Dict[str, Any]:
    """A deal report that takes a position the broker held at the start into the account and
    the position keeper, as if bought (or sold short) at its average price (a stock's in
    common lots)."""
    lot = {"order_cond": OrderCond.CASH, "order_lot": OrderLot.COMMON} if market == "Stock" else {}
    return {
        **lot,
        "id": f"held-{code}",
        "seqno": "",
        "ordno": "",
        "exchange_seqno": "",
        "broker_id": "",
        "account": "",
        "action": Action.BUY if lots > 0 else Action.SELL,
        "code": code,
        "quantity": abs(lots),
        "price": price,
        "exchange_ts": moment,
    }


def quote_types() -> List[Any]:
    """The streams a session subscribes for each code: its trades and its bid/ask."""
    import shioaji as sj  # the broker's package, imported when a session starts

    return [sj.QuoteType.Tick, sj.QuoteType.BidAsk]


def quote_version() -> Any:
    import shioaji as sj

    return sj.QuoteVersion.v1
