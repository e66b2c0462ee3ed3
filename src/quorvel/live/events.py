"""The broker's streaming data and order events as the dicts a strategy is handed.

A live session hands a strategy the same `Tick`, `Quote`, `OrderReport` and `DealReport` dicts
as a backtest (`quorvel.backtest.messages`); this module is the one place that builds them
from what the broker delivers: its v1 ticks and bid/ask (stocks and futures) and the
``(state, msg)`` of its order callback.  docs/live.md lists every field.

Times.  A tick's ``datetime`` is the Taipei wall clock without a zone, which becomes the
backtest's clock (Taipei time written as if it were UTC) unchanged.  An order or deal event's
``exchange_ts`` and ``ts`` are true epoch seconds: eight hours (Taipei's offset, which has no
daylight saving) are added so that a report's "exchange_ts" reads on the same clock as the
ticks.

`LiveReports` keeps the few facts of each trade that the events leave out (the strategy's code
for a continuous futures contract, the quantity filled), drops events seen twice, and holds a
deal that arrives before its order's event until that event comes, so that the strategy sees
its reports in a backtest's order.
"""

from __future__ import annotations

import datetime as dt
import threading
from dataclasses import dataclass, field
from typing import (
    Any,
    Dict,
    List,
    Literal,
    Mapping,
    Optional,
    Protocol,
    Sequence,
    Set,
    Tuple,
    Type,
    TypeVar,
    Union,
)

from quorvel.backtest.messages import DealReport, OrderReport, Quote, Tick
from quorvel.constant import (
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
    SuccessCode,
    ValueEnum,
)
from quorvel.market.calendar import broker_seconds

__all__ = [
    "TAIPEI_OFFSET",
    "EventKind",
    "LiveReports",
    "Market",
    "Report",
    "event_kind",
    "exchange_seconds",
    "failure_of",
    "order_of",
    "quote_of",
    "report_of",
    "tick_of",
]

Market = Literal["Stock", "Future"]
Report = Union[OrderReport, DealReport]
EventKind = Literal["order", "deal"]

# Seconds Taipei's clock is ahead of UTC, all year round.
TAIPEI_OFFSET = 8 * 3600
_TAIPEI = dt.timezone(dt.timedelta(seconds=TAIPEI_OFFSET))

# The broker's op_code of a successful operation.
_SUCCESS = "00"

# The order callback's states, by value and by name, as each version of the broker's package
# spells them: the kind of event and the market.
_STATES: Dict[str, Tuple[EventKind, Market]] = {
    "SORDER": ("order", "Stock"),
    "StockOrder": ("order", "Stock"),
    "TFTOrder": ("order", "Stock"),
    "SDEAL": ("deal", "Stock"),
    "StockDeal": ("deal", "Stock"),
    "TFTDeal": ("deal", "Stock"),
    "FORDER": ("order", "Future"),
    "FuturesOrder": ("order", "Future"),
    "FOrder": ("order", "Future"),
    "FDEAL": ("deal", "Future"),
    "FuturesDeal": ("deal", "Future"),
    "FDeal": ("deal", "Future"),
}

# What the backtest's exchange says of each successful operation.
_SUCCESS_CODES = {
    OperationType.NEW: SuccessCode.CreateOrder,
    OperationType.UPDATE_QTY: SuccessCode.ModifyOrder,
    OperationType.UPDATE_PRICE: SuccessCode.ModifyOrder,
    OperationType.CANCEL: SuccessCode.OrderBeCancel,
}


class StreamTick(Protocol):
    """What `tick_of` reads of the broker's TickSTKv1 or TickFOPv1."""

    code: str
    datetime: dt.datetime
    close: Any  # a Decimal (or its text): float() takes either
    volume: int
    tick_type: int
    simtrade: bool


class StreamBidAsk(Protocol):
    """What `quote_of` reads of the broker's BidAskSTKv1 or BidAskFOPv1."""

    code: str
    datetime: dt.datetime
    bid_price: Sequence[Any]
    bid_volume: Sequence[int]
    ask_price: Sequence[Any]
    ask_volume: Sequence[int]
    simtrade: bool


def exchange_seconds(moment: dt.datetime) -> float:
    """A broker's datetime as seconds on the backtest's clock: a naive one is the Taipei wall
    clock already, an aware one is read in Taipei first."""
    if moment.tzinfo is not None:
        moment = moment.astimezone(_TAIPEI).replace(tzinfo=None)
    return broker_seconds(moment)


def tick_of(tick: StreamTick, market: Market, code: Optional[str] = None) -> Optional[Tick]:
    """The strategy's `Tick` of a broker tick, or None for one that is not a trade.

    `market` is the market of the callback it came through; `code` the code the strategy
    asked for, where the broker names the tick otherwise (a continuous futures code such as
    TXFR1 streams under its month's code, TXFF6).  A trial match (``simtrade``, the auction's
    indicative price before the open and the close) and an intraday odd-lot tick (volumes in
    shares) are not the trades a backtest replays: both give None.
    """
    if tick.simtrade or getattr(tick, "intraday_odd", False):
        return None
    return {
        "market_type": market,
        "timestamp": exchange_seconds(tick.datetime),
        "code": code or tick.code,
        "close": float(tick.close),
        "qty": int(tick.volume),
        "tick_type": int(tick.tick_type),
        "is_simulate": False,
        "is_backfilling": False,
    }


def quote_of(bidask: StreamBidAsk) -> Optional[Quote]:
    """The `Quote` of a broker bid/ask: its best level on each side, 0.0 and 0 where that side
    is empty; None for a trial match's or an intraday odd lot's."""
    if bidask.simtrade or getattr(bidask, "intraday_odd", False):
        return None
    return {
        "bid_price": _best(bidask.bid_price),
        "bid_volume": int(_best(bidask.bid_volume)),
        "ask_price": _best(bidask.ask_price),
        "ask_volume": int(_best(bidask.ask_volume)),
    }


def _best(levels: Sequence[Any]) -> float:
    return float(levels[0]) if len(levels) else 0.0


def event_kind(state: Any) -> Tuple[EventKind, Market]:
    """("order" or "deal", "Stock" or "Future") of an order callback's state (an `OrderState`
    or its text); ValueError with one line for another."""
    text = str(getattr(state, "value", state))
    found = _STATES.get(text) or _STATES.get(str(getattr(state, "name", "")))
    if found is None:
        raise ValueError(f"not an order or deal event of the broker: state {state!r}")
    return found


def report_of(
    state: Any,
    msg: Mapping[str, Any],
    *,
    code: Optional[str] = None,
    filled: int = 0,
    working: Optional[int] = None,
) -> Optional[Report]:
    """The strategy's report of one order callback ``(state, msg)``, or None for an operation
    the broker refused that leaves the order as it was (see `failure_of` for its line).

    `code` is the code the strategy traded under (default: the event's stock code or futures
    month code); `filled` the quantity of the order filled so far; `working` what was still
    working before this event, which only a cancellation needs (default: the order's
    quantity less `filled`).  A new order the broker refused comes back as a cancel report
    carrying the broker's code and message, so that the order is gone for the strategy too.
    """
    kind, market = event_kind(state)
    if kind == "deal":
        return _deal_report(msg, market, code)
    return _order_report(msg, market, code, filled, working)


def failure_of(state: Any, msg: Mapping[str, Any]) -> Optional[str]:
    """One line telling what the broker refused, for an order event whose operation failed;
    None for any other event."""
    kind, market = event_kind(state)
    if kind != "order":
        return None
    operation = msg["operation"]
    if operation.get("op_code", _SUCCESS) == _SUCCESS and operation.get("op_type") != "Reject":
        return None
    order = msg["order"]
    code = _contract_code(msg.get("contract", {}), market) or "?"
    return (
        f"the broker refused {operation.get('op_type')} of {order.get('id')} ({code}): "
        f"{operation.get('op_code')} {operation.get('op_msg') or 'no reason given'}"
    ).replace("\n", " ")


def _order_report(
    msg: Mapping[str, Any],
    market: Market,
    code: Optional[str],
    filled: int,
    working: Optional[int],
) -> Optional[OrderReport]:
    operation, order, status = msg["operation"], msg["order"], msg.get("status", {})
    op_code = str(operation.get("op_code", _SUCCESS))
    failed = op_code != _SUCCESS or operation.get("op_type") == "Reject"
    if failed and operation.get("op_type") not in ("New", "Reject"):
        return None
    kind = OperationType.CANCEL if failed else OperationType.from_value(operation["op_type"])
    original = int(order["quantity"])
    if kind is OperationType.CANCEL:
        quantity = original - filled if working is None else working
    else:
        in_force = status.get("order_quantity", original - int(status.get("cancel_quantity", 0)))
        quantity = int(in_force) - filled
    modified_price = float(status.get("modified_price") or 0.0)
    reported: Dict[str, Any] = {
        "id": order["id"],
        "seqno": order.get("seqno", ""),
        "ordno": order.get("ordno", ""),
        "account": _account_id(order.get("account")),
        "code": code or _contract_code(msg.get("contract", {}), market),
        "action": _member(Action, order["action"]),
        "price": modified_price or float(order["price"]),
        "quantity": max(quantity, 0),
        "order_type": _member(OrderType, order["order_type"]),
        "price_type": _member(PriceType, order["price_type"]),
    }
    if market == "Stock":
        reported["order_cond"] = _member(OrderCond, order.get("order_cond") or "Cash")
        reported["order_lot"] = _member(OrderLot, order.get("order_lot") or "Common")
    else:
        reported["oc_type"] = _member(OCType, order.get("oc_type") or "Auto")
    if failed:
        status_code, message = op_code, str(operation.get("op_msg", ""))
    else:
        success = _SUCCESS_CODES[kind]
        status_code, message = success.code, success.message
    exchange_ts = status.get("exchange_ts")
    report: Dict[str, Any] = {
        "operation_type": kind,
        "operation_status_code": status_code,
        "operation_message": message,
        "order": reported,
        "trade_status": {
            "id": order["id"],
            "exchange": str(msg.get("contract", {}).get("exchange", "")),
            "exchange_ts": None if exchange_ts is None else float(exchange_ts) + TAIPEI_OFFSET,
        },
    }
    return report  # type: ignore[return-value]


def _deal_report(msg: Mapping[str, Any], market: Market, code: Optional[str]) -> DealReport:
    own_code = msg["code"] if market == "Stock" else msg.get("full_code") or msg["code"]
    deal: Dict[str, Any] = {
        "id": msg["trade_id"],
        "seqno": msg.get("seqno", ""),
        "ordno": msg.get("ordno", ""),
        "exchange_seqno": msg.get("exchange_seq", ""),
        "broker_id": msg.get("broker_id", ""),
        "account": msg.get("account_id", ""),
        "action": _member(Action, msg["action"]),
        "code": code or own_code,
        "quantity": int(msg["quantity"]),
        "price": float(msg["price"]),
        "exchange_ts": float(msg["ts"]) + TAIPEI_OFFSET,
    }
    if market == "Stock":
        deal["order_cond"] = _member(OrderCond, msg.get("order_cond") or "Cash")
        deal["order_lot"] = _member(OrderLot, msg.get("order_lot") or "Common")
    return deal  # type: ignore[return-value]


def _contract_code(contract: Mapping[str, Any], market: Market) -> str:
    """The code an event names: a stock's code, a future's month code ("full_code", TXFF6)
    where the event has it (its "code" is the product alone, TXF)."""
    if market == "Future" and contract.get("full_code"):
        return str(contract["full_code"])
    return str(contract.get("code", ""))


def _account_id(account: Any) -> str:
    if isinstance(account, Mapping):
        return str(account.get("account_id", ""))
    return str(getattr(account, "account_id", "") or "")


Member = TypeVar("Member", bound=ValueEnum)


def _member(kind: Type[Member], value: Any) -> Member:
    """The enumeration's member for a broker's value (an enum of its own, or text); a value
    this side does not know (a condition a strategy never enters) is kept as its text, which a
    member would equal."""
    text = str(getattr(value, "value", value))
    try:
        return kind(text)
    except ValueError:
        return text  # type: ignore[return-value]


def order_of(
    market: Market,
    action: str,
    qty: int,
    price: Optional[float],
    order_type: Optional[str] = None,
    account: Any = None,
) -> Any:
    """The broker's order (`shioaji.StockOrder` or `shioaji.FuturesOrder`) of a strategy's
    ``buy``/``sell``: a limit order at `price` (ROD unless `order_type` says otherwise), or
    without a price a market order (IOC unless told); a stock order in common lots for cash,
    a futures order that opens or closes as the position needs (Auto), as the backtest's
    exchange enters them.  `account` is the broker's account to trade (``api.stock_account``
    or ``api.futopt_account``)."""
    import shioaji as sj  # the broker's package: imported at the first order, see core.py

    limit = price is not None
    terms: Dict[str, Any] = {
        "action": Action.from_value(action).value,
        "price": 0.0 if price is None else float(price),
        "quantity": qty,
        "price_type": PriceType.LMT.value if limit else PriceType.MKT.value,
        "order_type": OrderType.from_value(order_type or ("ROD" if limit else "IOC")).value,
        "account": account,
    }
    if market == "Stock":
        return sj.StockOrder(
            order_lot=OrderLot.COMMON.value, order_cond=OrderCond.CASH.value, **terms
        )
    return sj.FuturesOrder(octype=OCType.AUTO.value, **terms)


@dataclass
class _Trade:
    code: str
    in_force: int  # the quantity the latest order event left in force, fills included
    filled: int = 0
    entered: bool = False  # its new order's event has come
    held: List[Tuple[Any, Mapping[str, Any]]] = field(default_factory=list)  # deals before it


class LiveReports:
    """The reports of one session's trades, from the broker's order callback.

    `expect` tells it of each trade the strategy has (placed now, or found working on start);
    `take` turns one callback into the reports to hand the strategy: none for an event seen
    before (the broker's "event_id"), and a deal that came before its order's event after
    that event, as in a backtest.  The events of a trade it has not been told of (another
    program's on the same account, or the strategy's own whose event outran the answer of
    `place_order`) are kept, the latest `UNCLAIMED` of them, and handed over by `expect`.
    Its methods may be called from any thread.
    """

    UNCLAIMED = 1000

    def __init__(self) -> None:
        self._trades: Dict[str, _Trade] = {}
        self._seen: Set[str] = set()
        self._unclaimed: Dict[str, List[Tuple[Any, Mapping[str, Any]]]] = {}
        self._unclaimed_count = 0
        self._lock = threading.RLock()

    def expect(
        self, trade_id: str, code: str, quantity: int, *, filled: int = 0, entered: bool = False
    ) -> List[Report]:
        """A trade of the strategy: its `code`, its `quantity` in force, `filled` so far, and
        whether its order is entered already (a trade found working on start).  Returns the
        reports of its events that came before it was expected, to hand the strategy now."""
        with self._lock:
            self._trades[trade_id] = _Trade(code, quantity, filled, entered)
            early = self._unclaimed.pop(trade_id, [])
            self._unclaimed_count -= len(early)
            return [report for event in early for report in self._taken(*event)]

    def working(self, trade_id: str) -> int:
        """What is still working of a trade (0 for one not expected)."""
        with self._lock:
            trade = self._trades.get(trade_id)
            return 0 if trade is None else max(trade.in_force - trade.filled, 0)

    def take(self, state: Any, msg: Mapping[str, Any]) -> List[Report]:
        """The reports of one order callback, in the order to hand them to the strategy."""
        with self._lock:
            event_id = msg.get("event_id")
            if event_id:
                if event_id in self._seen:
                    return []
                self._seen.add(event_id)
            return self._taken(state, msg)

    def _taken(self, state: Any, msg: Mapping[str, Any]) -> List[Report]:
        kind, _ = event_kind(state)
        trade_id = msg["trade_id"] if kind == "deal" else msg["order"]["id"]
        trade = self._trades.get(trade_id)
        if trade is None:
            self._keep_unclaimed(trade_id, state, msg)
            return []
        if kind == "deal":
            if not trade.entered:
                trade.held.append((state, msg))
                return []
            return [self._deal(trade, state, msg)]
        report = report_of(
            state, msg, code=trade.code, filled=trade.filled, working=self.working(trade_id)
        )
        if report is None:
            return []
        order = report["order"]  # type: ignore[typeddict-item]
        trade.in_force = trade.filled + order["quantity"]
        if report["operation_type"] is OperationType.CANCEL:  # type: ignore[typeddict-item]
            trade.in_force = trade.filled
        reports: List[Report] = [report]
        if not trade.entered:
            trade.entered = True
            held, trade.held = trade.held, []
            reports += [self._deal(trade, *event) for event in held]
        return reports

    def _keep_unclaimed(self, trade_id: str, state: Any, msg: Mapping[str, Any]) -> None:
        self._unclaimed.setdefault(trade_id, []).append((state, msg))
        self._unclaimed_count += 1
        while self._unclaimed_count > self.UNCLAIMED:  # the oldest trade's events go first
            oldest = next(iter(self._unclaimed))
            self._unclaimed_count -= len(self._unclaimed.pop(oldest))

    def _deal(self, trade: _Trade, state: Any, msg: Mapping[str, Any]) -> Report:
        deal = report_of(state, msg, code=trade.code)
        assert deal is not None
        trade.filled += int(msg["quantity"])
        return deal
