"""The dicts a strategy is handed: ticks, bars, quotes, order and deal reports, margin calls.

They are plain dicts built by the tick feed and the simulated exchange in
the layouts of the live broker, so a strategy reads the same keys in a
backtest as in live trading; the types here describe them for readers and
type checkers, and create nothing.

Time.  Every time (a tick's "timestamp", a report's "exchange_ts") is in
seconds on the broker's clock: the exchange's local time (Asia/Taipei)
written as if it were UTC epoch seconds.  So
``datetime.fromtimestamp(tick["timestamp"], timezone.utc)`` shows the Taipei
wall clock (09:00 at the stock market's open); converting it as UTC+8 would
shift every tick eight hours.

An order report and a deal report are told apart by "operation_type", which
only order reports carry.
"""

from __future__ import annotations

from typing import Dict, Literal, Optional, TypedDict

from quorvel.constant import (
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
)


class Tick(TypedDict):
    """One trade of the market, handed to `Strategy.warm_up` (backfill) or `Strategy.on_tick`."""

    market_type: Literal["Stock", "Future"]  # the market of the instrument
    timestamp: float  # exchange time of the trade, in seconds (see "Time" above)
    code: str  # the instrument's code, e.g. "2330" or "TXFR1"
    close: float  # the trade's price, in quote units
    qty: int  # the traded volume, in lots or contracts
    tick_type: int  # 1: hit the ask (buyer-initiated), 2: hit the bid, 0: a call auction
    is_simulate: bool  # always False: a tick of the market, not one made up by the exchange
    is_backfilling: bool  # True for the warm-up ticks before the period


class Bar(TypedDict):
    """The ticks of one code in one interval of `Strategy.bar_seconds`, handed to
    `Strategy.on_bar`; the intervals are counted from the open of the code's session."""

    code: str  # the instrument's code
    start: float  # the interval's start, in seconds (see "Time" above): its ticks are from it on
    end: float  # start + bar_seconds: its ticks are before it
    open: float  # the first tick's price
    high: float  # the highest price
    low: float  # the lowest price
    close: float  # the last tick's price
    volume: int  # the ticks' volume, in lots or contracts
    ticks: int  # how many ticks, at least 1: an interval without a tick has no bar
    is_backfilling: bool  # True for the bars of warm-up ticks


class Quote(TypedDict):
    """The bid and ask as they stood at a code's latest tick, from `Strategy.quote`."""

    bid_price: float  # the best bid; 0.0 when no bid was standing (or the source had none)
    bid_volume: int  # lots or contracts bid at it
    ask_price: float  # the best ask; 0.0 when no ask was standing (or the source had none)
    ask_volume: int  # lots or contracts offered at it


class _ReportedOrderFields(TypedDict):
    id: str  # the trade id that `Strategy.buy` and `Strategy.sell` return
    seqno: str  # the trade id again
    ordno: str  # the trade id again
    account: str  # the simulated account, "BT-00001"
    code: str  # the instrument's code
    action: Action  # Buy or Sell
    price: float  # the limit price; for a market order the last price when it was entered
    quantity: int  # lots or contracts still working (after a reduction, what is left)
    order_type: OrderType  # ROD, IOC or FOK
    price_type: PriceType  # LMT or MKT


class ReportedOrder(_ReportedOrderFields, total=False):
    """The order as an order report shows it; stocks and futures each add their own keys."""

    order_cond: OrderCond  # stocks only: cash, margin or short sale (a strategy's orders: Cash)
    order_lot: OrderLot  # stocks only: the lot (a strategy's orders: Common, 1,000 shares)
    oc_type: OCType  # futures only: opening or closing (a strategy's orders: Auto)


class TradeStatus(TypedDict):
    id: str  # the trade id
    exchange: str  # the simulated exchange's name, "DARQ Backtest Exchange"
    exchange_ts: Optional[float]  # time of the instrument's latest tick; None before its first


class OrderReport(TypedDict):
    """An order was entered, changed or cancelled (by the strategy or, for IOC and FOK, by the
    exchange)."""

    operation_type: OperationType  # New, UpdateQty, UpdatePrice or Cancel
    operation_status_code: str  # "0001" entered, "0002" changed, "0003" cancelled
    operation_message: str  # the status code's message
    order: ReportedOrder  # the order after the operation
    trade_status: TradeStatus  # the exchange's side of it


class _DealReportFields(TypedDict):
    id: str  # the filled order's trade id
    seqno: str  # the trade id again
    ordno: str  # the trade id again
    exchange_seqno: str  # the trade id again
    broker_id: str  # the simulated exchange's name, "DARQ Backtest Exchange"
    account: str  # the simulated account, "BT-00001"
    action: Action  # Buy or Sell
    code: str  # the instrument's code
    quantity: int  # lots or contracts filled by this deal
    price: float  # the fill price: the price of the tick that filled it
    exchange_ts: float  # time of the tick that filled it


class DealReport(_DealReportFields, total=False):
    """An order was filled, in whole or in part: a flat dict, without "operation_type"."""

    order_cond: OrderCond  # stocks only: as in the order
    order_lot: OrderLot  # stocks only: as in the order


class MarginCall(TypedDict):
    """The account's futures need more margin, handed to `Strategy.on_margin_call`; amounts in
    NTD.

    As a broker runs them (the default): "call" when the day's settlement finds the equity
    below the maintenance margin (it must be back at the initial margin by "due"), then
    "liquidate" at the first tick from "due" on if it is not ("reason" "deadline"), or at once
    when the risk indicator falls below its threshold ("risk indicator").  With
    ``margin_call="immediate"`` "liquidate", with "warn" "warn", as the equity falls below the
    maintenance margin ("maintenance")."""

    timestamp: float  # the tick's timestamp, or the day's settlement for a call
    equity: float  # the account's cash plus the open P&L of its futures
    maintenance_margin: float  # of the futures held
    initial_margin: float  # of the futures held
    positions: Dict[str, int]  # futures contracts held, by code (short negative)
    action: Literal["call", "liquidate", "warn"]  # liquidate: the engine closes them at market
    reason: Literal["maintenance", "deadline", "risk indicator"]
    due: Optional[float]  # a call's deadline (seconds, see "Time" above); None otherwise


class CorporateActionInfo(TypedDict):
    """A stock's dividend or capital reduction, handed to `Strategy.on_corporate_action` at
    the close of the trading day before its ex-date, before the ex-date's first tick.
    Amounts in NTD, prices in quote units."""

    code: str  # the stock's code
    ex_date: str  # "YYYY-MM-DD"
    cash_dividend: float  # NTD a share
    stock_dividend: float  # new shares a share
    capital_reduction: float  # shares cancelled a share
    payment_date: str  # when the cash is paid, "YYYY-MM-DD"
    reference_price: Optional[float]  # the ex-date's reference price; None without a last price
    shares_held: int  # at the eve's close (short negative)
    dividend: float  # what the position is paid (a short owes it: negative)
    new_shares: int  # shares added by a stock dividend, less those a reduction cancels


class Settlement(TypedDict):
    """A futures position left its month, handed to `Strategy.on_settlement`: an explicit
    month's at its last trading day's close, a continuous code's when the code moves on to the
    next month (at the close of the last day it follows the month).  Amounts in NTD."""

    timestamp: float  # the close it was settled at (seconds, see "Time" above)
    code: str  # the code held: an explicit month (TXFH4) or a continuous code (TXFR1)
    month: str  # the month settled, "YYYYMM"
    quantity: int  # contracts settled (short negative)
    price: float  # the final settlement price, or the month's last trade price
    price_source: Literal["final settlement", "last trade"]
    realized_pnl: float  # the P&L the settlement realised
    tax: float  # the futures transaction tax on the settled value
    carried_to: Optional[str]  # with roll="carry": the month the position opens again in
