"""The stand-in broker's exchange: its order book of the account's orders, its fills, and the
objects the broker's API hands out (trades, deals, streaming ticks, positions).

The broker's package builds its contracts, orders, accounts and constants offline, but not its
`Trade`, order status, deal, tick or position objects: those come only off the wire.  The
classes here have the attributes the broker's documents give those objects (docs/live.md, "The
stand-in broker"), so that code written against the broker reads them the same way.

The exchange is simple on purpose.  An order reaches it at once and is matched against the
ticks that come after it, at their prices: a limit order fills when a tick trades at or through
its price, a market order at the next tick.  A tick's volume is shared by the orders it fills,
in their order of arrival, and on an order's first tick so is the volume quoted on the side it
trades against (it crossed the book on arrival); what is not filled waits for the next tick,
except that IOC keeps only what its first tick fills and FOK fills whole on it or not at all.
"""

from __future__ import annotations

import datetime as dt
import itertools
from dataclasses import dataclass, field, replace
from decimal import Decimal
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Tuple

import shioaji as sj

from quorvel.market import TAIWAN, MarketRules, broker_nanoseconds, broker_seconds
from quorvel.market.contracts import FUTURE, STOCK, contract_for
from quorvel.sim import Ticks

__all__ = [
    "BidAskFOPv1",
    "BidAskSTKv1",
    "Deal",
    "FuturePosition",
    "FutureProfitLoss",
    "KBars",
    "OrderResult",
    "OrderStatusInfo",
    "Snapshot",
    "StandInExchange",
    "StockPosition",
    "StockProfitLoss",
    "TapeTick",
    "TickFOPv1",
    "TickSTKv1",
    "Trade",
    "text",
]

# Taiwan keeps no daylight saving time: its wall clock is UTC+8 all year.
TAIPEI = dt.timezone(dt.timedelta(hours=8))
# The depth of the streaming bid/ask: five prices a side.
BOOK_LEVELS = 5
# What the exchange answers an accepted operation with (operation.op_code "00" is success).
OK_CODE = "00"
# The stand-in's own code for a refused one: the documents say only "others: fail".
FAILED_CODE = "88"
# A tick's tick_type: the trade hit the ask (buyer-initiated), hit the bid, or neither.
TICK_BUY, TICK_SELL = 1, 2
# chg_type: where the last price is against the reference price.
LIMIT_UP, UP, UNCHANGED, DOWN, LIMIT_DOWN = 1, 2, 3, 4, 5


def text(value: Any) -> str:
    """The string the broker's event dicts write for one of its enums (or a plain string)."""
    return str(getattr(value, "value", value))


def epoch_seconds(moment: dt.datetime) -> float:
    """The true epoch seconds of an exchange wall-clock time, as exchange_ts and ts carry it."""
    return broker_seconds(moment) - 8 * 3600


def _decimal(price: float) -> Decimal:
    return Decimal(repr(float(price)))


@dataclass(frozen=True)
class TapeTick:
    """One trade of the offline broker's day, in the exchange's wall-clock time."""

    code: str
    moment: dt.datetime
    close: float
    volume: int
    bid_price: float
    bid_volume: int
    ask_price: float
    ask_volume: int
    tick_type: int


@dataclass(frozen=True)
class TickSTKv1:
    """A stock's streaming tick (the broker's TickSTKv1): prices as Decimal, volumes in lots."""

    code: str
    exchange: Any
    date: dt.date
    time: dt.time
    datetime: dt.datetime
    open: Decimal
    avg_price: Decimal
    close: Decimal
    high: Decimal
    low: Decimal
    amount: Decimal
    total_amount: Decimal
    volume: int
    total_volume: int
    tick_type: int
    chg_type: int
    price_chg: Decimal
    pct_chg: Decimal
    bid_side_total_vol: int
    ask_side_total_vol: int
    bid_side_total_cnt: int
    ask_side_total_cnt: int
    closing_oddlot_shares: int = 0
    closing_oddlot_close: Optional[Decimal] = None
    closing_oddlot_amount: Optional[Decimal] = None
    closing_oddlot_bid_price: Optional[Decimal] = None
    closing_oddlot_ask_price: Optional[Decimal] = None
    fixed_trade_vol: int = 0
    fixed_trade_amount: Optional[Decimal] = None
    suspend: bool = False
    simtrade: bool = False
    intraday_odd: bool = False


@dataclass(frozen=True)
class TickFOPv1:
    """A futures contract's streaming tick (the broker's TickFOPv1)."""

    code: str
    exchange: Any
    date: dt.date
    time: dt.time
    datetime: dt.datetime
    open: Decimal
    underlying_price: Decimal
    bid_side_total_vol: int
    ask_side_total_vol: int
    avg_price: Decimal
    close: Decimal
    high: Decimal
    low: Decimal
    amount: Decimal
    total_amount: Decimal
    volume: int
    total_volume: int
    tick_type: int
    chg_type: int
    price_chg: Decimal
    pct_chg: Decimal
    simtrade: bool = False


@dataclass(frozen=True)
class BidAskSTKv1:
    """A stock's streaming five-level bid/ask (the broker's BidAskSTKv1)."""

    code: str
    exchange: Any
    date: dt.date
    time: dt.time
    datetime: dt.datetime
    bid_price: List[Decimal]
    bid_volume: List[int]
    diff_bid_vol: List[int]
    ask_price: List[Decimal]
    ask_volume: List[int]
    diff_ask_vol: List[int]
    suspend: bool = False
    simtrade: bool = False
    intraday_odd: bool = False


@dataclass(frozen=True)
class BidAskFOPv1:
    """A futures contract's streaming five-level bid/ask (the broker's BidAskFOPv1)."""

    code: str
    exchange: Any
    date: dt.date
    time: dt.time
    datetime: dt.datetime
    bid_total_vol: int
    ask_total_vol: int
    bid_price: List[Decimal]
    bid_volume: List[int]
    diff_bid_vol: List[int]
    ask_price: List[Decimal]
    ask_volume: List[int]
    diff_ask_vol: List[int]
    first_derived_bid_price: Decimal = Decimal(0)
    first_derived_ask_price: Decimal = Decimal(0)
    first_derived_bid_vol: int = 0
    first_derived_ask_vol: int = 0
    underlying_price: Decimal = Decimal(0)
    simtrade: bool = False


@dataclass
class Deal:
    """One fill of a trade, as trade.status.deals lists it."""

    seq: str
    price: float
    quantity: int
    ts: float


@dataclass
class OrderResult:
    """trade.order: the order as placed, with the ids the broker gave it (a new price goes to
    trade.status.modified_price, as the broker's documents show)."""

    id: str
    seqno: str
    ordno: str
    action: Any
    price: float
    quantity: int
    price_type: Any
    order_type: Any
    time_in_force: Any
    account: Any
    custom_field: str = ""
    order_cond: Any = None
    order_lot: Any = None
    daytrade_short: Optional[bool] = None
    octype: Any = None


@dataclass
class OrderStatusInfo:
    """trade.status: where the order stands; the broker updates it as its reports come."""

    id: str
    status: Any
    status_code: str
    order_datetime: dt.datetime
    msg: str = ""
    web_id: str = "137"
    modified_time: Optional[dt.datetime] = None
    modified_price: float = 0.0
    order_quantity: int = 0
    deal_quantity: int = 0
    cancel_quantity: int = 0
    deals: List[Deal] = field(default_factory=list)


@dataclass
class Trade:
    """What place_order answers: the contract, the order and its status."""

    contract: Any
    order: OrderResult
    status: OrderStatusInfo


@dataclass
class StockPosition:
    """One stock held, as list_positions answers on the stock account (quantities in lots)."""

    id: int
    code: str
    direction: Any
    quantity: int
    price: float
    last_price: float
    pnl: float
    yd_quantity: int
    cond: Any = sj.StockOrderCond.Cash
    margin_purchase_amount: int = 0
    collateral: int = 0
    short_sale_margin: int = 0
    interest: int = 0


@dataclass
class FuturePosition:
    """One futures position, as list_positions answers on the futures account."""

    id: int
    code: str
    direction: Any
    quantity: int
    price: float
    last_price: float
    pnl: float


@dataclass
class StockProfitLoss:
    """One closing fill of a stock, as list_profit_loss answers (pnl gross of costs)."""

    id: int
    code: str
    quantity: int
    pnl: float
    date: str
    dseq: str
    price: float
    pr_ratio: float
    cond: Any = sj.StockOrderCond.Cash
    seqno: str = ""


@dataclass
class FutureProfitLoss:
    """One closing fill of a futures contract, as list_profit_loss answers (no fee or tax)."""

    id: int
    code: str
    quantity: int
    pnl: float
    date: str
    entry_price: float
    cover_price: float
    tax: int = 0
    fee: int = 0
    direction: Any = None


@dataclass
class KBars:
    """Minute bars, as kbars answers: each bar's ts is the end of its minute, in the ticks'
    nanoseconds."""

    ts: List[int] = field(default_factory=list)
    Open: List[float] = field(default_factory=list)
    High: List[float] = field(default_factory=list)
    Low: List[float] = field(default_factory=list)
    Close: List[float] = field(default_factory=list)
    Volume: List[int] = field(default_factory=list)
    Amount: List[float] = field(default_factory=list)

    def add(self, ts: int, price: float, volume: int, amount: float) -> None:
        """Count a trade into the bar ending at `ts` (the last bar, or a new one)."""
        if not self.ts or self.ts[-1] != ts:
            self.ts.append(ts)
            self.Open.append(price)
            self.High.append(price)
            self.Low.append(price)
            self.Close.append(price)
            self.Volume.append(0)
            self.Amount.append(0.0)
        self.High[-1], self.Low[-1] = max(self.High[-1], price), min(self.Low[-1], price)
        self.Close[-1] = price
        self.Volume[-1] += volume
        self.Amount[-1] += amount


@dataclass(frozen=True)
class Snapshot:
    """A code's state now, as snapshots answers."""

    ts: int
    code: str
    exchange: str
    open: float
    high: float
    low: float
    close: float
    tick_type: Any
    change_price: float
    change_rate: float
    change_type: Any
    average_price: float
    volume: int
    total_volume: int
    amount: float
    total_amount: float
    yesterday_volume: float
    buy_price: float
    buy_volume: float
    sell_price: float
    sell_volume: int
    volume_ratio: float


OrderEvent = Tuple[Any, Dict[str, Any]]


@dataclass
class Market:
    """One code's day: its contract, its ticks and the running figures its streaming ticks
    carry (the day's open, high, low, volumes and amounts so far)."""

    contract: Any
    is_stock: bool
    ticks: List[TapeTick]
    value_per_point: int
    cursor: int = 0
    open: float = 0.0
    high: float = 0.0
    low: float = 0.0
    last: float = 0.0
    last_tick: Optional[TapeTick] = None
    total_volume: int = 0
    total_amount: float = 0.0
    buy_volume: int = 0
    sell_volume: int = 0
    buy_count: int = 0
    sell_count: int = 0

    @property
    def code(self) -> str:
        return str(self.contract.code)

    @property
    def reference(self) -> float:
        return float(self.contract.reference)

    def next_tick(self) -> Optional[TapeTick]:
        return self.ticks[self.cursor] if self.cursor < len(self.ticks) else None

    def take(self) -> TapeTick:
        """The next tick, counted into the day's figures."""
        tick = self.ticks[self.cursor]
        self.cursor += 1
        self.last_tick = tick
        if not self.total_volume:
            self.open = self.high = self.low = tick.close
        self.high, self.low = max(self.high, tick.close), min(self.low, tick.close)
        self.last = tick.close
        self.total_volume += tick.volume
        self.total_amount += self.amount(tick)
        if tick.tick_type == TICK_BUY:
            self.buy_volume, self.buy_count = self.buy_volume + tick.volume, self.buy_count + 1
        elif tick.tick_type == TICK_SELL:
            self.sell_volume, self.sell_count = self.sell_volume + tick.volume, self.sell_count + 1
        return tick

    @property
    def size(self) -> int:
        """The shares of a lot (the contract's unit); 1 for a futures contract."""
        return int(self.contract.unit)

    def amount(self, tick: TapeTick) -> float:
        """A tick's amount: in NTD for a stock (price x lots x shares a lot), in price units
        times contracts for a futures contract."""
        return tick.close * tick.volume * self.size

    @property
    def average_price(self) -> float:
        if not self.total_volume:
            return 0.0
        return round(self.total_amount / self.total_volume / self.size, 2)

    def change_type(self, price: float) -> int:
        if price >= float(self.contract.limit_up):
            return LIMIT_UP
        if price <= float(self.contract.limit_down):
            return LIMIT_DOWN
        return UP if price > self.reference else DOWN if price < self.reference else UNCHANGED

    def streaming_tick(self, tick: TapeTick) -> Any:
        """The streaming tick of a tick just taken (`take`)."""
        change = tick.close - self.reference
        common = dict(
            code=self.code,
            exchange=self.contract.exchange,
            date=tick.moment.date(),
            time=tick.moment.time(),
            datetime=tick.moment,
            open=_decimal(self.open),
            avg_price=_decimal(self.average_price),
            close=_decimal(tick.close),
            high=_decimal(self.high),
            low=_decimal(self.low),
            amount=_decimal(self.amount(tick)),
            total_amount=_decimal(self.total_amount),
            volume=tick.volume,
            total_volume=self.total_volume,
            tick_type=tick.tick_type,
            chg_type=self.change_type(tick.close),
            price_chg=_decimal(round(change, 4)),
            pct_chg=_decimal(round(100 * change / self.reference, 2)),
            bid_side_total_vol=self.sell_volume,
            ask_side_total_vol=self.buy_volume,
        )
        if not self.is_stock:
            return TickFOPv1(underlying_price=Decimal(0), **common)
        return TickSTKv1(
            bid_side_total_cnt=self.sell_count, ask_side_total_cnt=self.buy_count, **common
        )

    def snapshot(self, now: dt.datetime) -> Snapshot:
        """The market's state after the ticks taken so far."""
        tick = self.last_tick
        change = self.last - self.reference if tick else 0.0
        names = {LIMIT_UP: "LimitUp", UP: "Up", UNCHANGED: "Unchanged", DOWN: "Down",
                 LIMIT_DOWN: "LimitDown"}
        side = {TICK_BUY: "Buy", TICK_SELL: "Sell"}.get(tick.tick_type if tick else 0, "None")
        return Snapshot(
            ts=broker_nanoseconds(tick.moment if tick else now),
            code=self.code,
            exchange=text(self.contract.exchange),
            open=self.open, high=self.high, low=self.low, close=self.last,
            tick_type=sj.TickType(side),
            change_price=round(change, 4),
            change_rate=round(100 * change / self.reference, 2),
            change_type=sj.ChangeType(names[self.change_type(self.last)] if tick else "Unchanged"),
            average_price=self.average_price,
            volume=tick.volume if tick else 0,
            total_volume=self.total_volume,
            amount=self.amount(tick) if tick else 0.0,
            total_amount=self.total_amount,
            yesterday_volume=0.0,
            buy_price=tick.bid_price if tick else 0.0,
            buy_volume=tick.bid_volume if tick else 0,
            sell_price=tick.ask_price if tick else 0.0,
            sell_volume=tick.ask_volume if tick else 0,
            volume_ratio=0.0,
        )

    def streaming_bidask(self, tick: TapeTick, rules: MarketRules) -> Any:
        """The five-level bid/ask after a tick: its best prices, the deeper levels one price
        step apart each with no volume, since the offline ticks hold the best level only."""
        bids, asks = [tick.bid_price], [tick.ask_price]
        for _ in range(BOOK_LEVELS - 1):
            bids.append(rules.price_below(self.code, bids[-1]) or 0.0)
            asks.append(rules.price_above(self.code, asks[-1]))
        depth = [0] * (BOOK_LEVELS - 1)
        common = dict(
            code=self.code,
            exchange=self.contract.exchange,
            date=tick.moment.date(),
            time=tick.moment.time(),
            datetime=tick.moment,
            bid_price=[_decimal(price) for price in bids],
            bid_volume=[tick.bid_volume, *depth],
            diff_bid_vol=[0] * BOOK_LEVELS,
            ask_price=[_decimal(price) for price in asks],
            ask_volume=[tick.ask_volume, *depth],
            diff_ask_vol=[0] * BOOK_LEVELS,
        )
        if self.is_stock:
            return BidAskSTKv1(**common)
        return BidAskFOPv1(bid_total_vol=tick.bid_volume, ask_total_vol=tick.ask_volume, **common)


@dataclass
class _Working:
    """An order in the book: its trade, what is left of it, and whether a tick has seen it."""

    trade: Trade
    market: Market
    remaining: int
    seen: bool = False


@dataclass
class _Holding:
    """The account's net position in one code: signed lots or contracts at an average price."""

    quantity: int = 0
    price: float = 0.0
    yesterday: int = 0


class StandInExchange:
    """The account's orders on the stand-in's market, and what they did.

    `place`, `update`, `cancel` and `trade_on` change the book and return the order and deal
    events they caused, each an (OrderState, msg) pair in the broker's documented layout; the
    broker delivers them.  `refuse(market, order)`, given, names the reason an order is refused
    (a one-line message) or None to take it.
    """

    def __init__(
        self,
        day: dt.date,
        rules: MarketRules = TAIWAN,
        refuse: Optional[Callable[[Any, Any], Optional[str]]] = None,
    ) -> None:
        self.day = day
        self.rules = rules
        self.refuse = refuse
        self.trades: List[Trade] = []
        self.book: List[_Working] = []
        self.holdings: Dict[str, _Holding] = {}
        self.profit_loss: List[Any] = []
        self.markets: Dict[str, Market] = {}
        self._numbers = itertools.count(1)
        self._events = itertools.count(1)

    def hold(self, positions: Mapping[str, Tuple[int, float]]) -> None:
        """Start the day holding `positions`: code -> (signed quantity, average price)."""
        for code, (quantity, price) in positions.items():
            self.holdings[code] = _Holding(quantity, price, quantity)

    # Orders

    def place(self, market: Market, order: Any, account: Any, now: dt.datetime) -> Tuple[
        Trade, List[OrderEvent]
    ]:
        number = next(self._numbers)
        trade = Trade(
            contract=market.contract,
            order=OrderResult(
                id=f"{0x5A000000 + number:08x}",
                seqno=f"{100000 + number:06d}",
                ordno=f"S{number:04d}",
                action=order.action,
                price=float(order.price),
                quantity=int(order.quantity),
                price_type=order.price_type,
                order_type=order.order_type,
                time_in_force=order.time_in_force,
                account=account,
                custom_field=order.custom_field or "",
                order_cond=getattr(order, "order_cond", None),
                order_lot=getattr(order, "order_lot", None),
                daytrade_short=getattr(order, "daytrade_short", None),
                octype=getattr(order, "octype", None),
            ),
            status=OrderStatusInfo(
                id="", status=sj.OrderStatus.PendingSubmit, status_code="0", order_datetime=now
            ),
        )
        trade.status.id = trade.order.id
        self.trades.append(trade)
        refusal = self._refusal(market, trade.order)
        if refusal:
            trade.status.status, trade.status.status_code = sj.OrderStatus.Failed, FAILED_CODE
            trade.status.msg = refusal
            return trade, [self._order_event(trade, "New", now, refusal)]
        trade.status.status, trade.status.status_code = sj.OrderStatus.Submitted, OK_CODE
        trade.status.order_quantity = trade.order.quantity
        self.book.append(_Working(trade, market, trade.order.quantity))
        return trade, [self._order_event(trade, "New", now)]

    def _refusal(self, market: Market, order: OrderResult) -> Optional[str]:
        """Why the stand-in's exchange refuses an order, or None.  The broker's documents give
        no texts for these refusals: the messages are the stand-in's own."""
        if order.quantity <= 0:
            return f"quantity must be positive, not {order.quantity}"
        if text(order.price_type) == "LMT":
            contract = market.contract
            if not float(contract.limit_down) <= order.price <= float(contract.limit_up):
                return (
                    f"price {order.price:g} outside the day's limits "
                    f"{float(contract.limit_down):g} to {float(contract.limit_up):g}"
                )
            off_step = self.rules.off_step_message(market.code, order.price)
            if off_step:
                return off_step
        return self.refuse(market.contract, order) if self.refuse else None

    def update(
        self, trade: Trade, price: Optional[float], qty: Optional[int], now: dt.datetime
    ) -> List[OrderEvent]:
        """A new price, or `qty` taken off what is left of the order (reduce only)."""
        entry = self._entry(trade)
        if entry is None:
            return [self._order_event(trade, "UpdatePrice" if price else "UpdateQty", now,
                                      "the order is no longer working")]
        status = trade.status
        if price is not None:
            refusal = self._refusal(entry.market, replace(trade.order, price=float(price)))
            if refusal:
                return [self._order_event(trade, "UpdatePrice", now, refusal)]
            status.modified_time, status.modified_price = now, float(price)
            return [self._order_event(trade, "UpdatePrice", now)]
        status.modified_time = now
        taken = min(int(qty or 0), entry.remaining)
        if taken <= 0:
            return [self._order_event(trade, "UpdateQty", now, f"cannot reduce by {qty}")]
        self._take_off(entry, taken)
        return [self._order_event(trade, "UpdateQty", now)]

    def cancel(self, trade: Trade, now: dt.datetime) -> List[OrderEvent]:
        entry = self._entry(trade)
        if entry is None:
            return [self._order_event(trade, "Cancel", now, "the order is no longer working")]
        trade.status.modified_time = now
        self._take_off(entry, entry.remaining)
        return [self._order_event(trade, "Cancel", now)]

    def _entry(self, trade: Trade) -> Optional[_Working]:
        return next((entry for entry in self.book if entry.trade.order.id == trade.order.id), None)

    def _take_off(self, entry: _Working, quantity: int) -> None:
        status = entry.trade.status
        entry.remaining -= quantity
        status.cancel_quantity += quantity
        status.order_quantity -= quantity
        if entry.remaining == 0:
            self.book.remove(entry)
            status.status = sj.OrderStatus.Cancelled

    # Matching

    def trade_on(self, market: Market, tick: TapeTick) -> List[OrderEvent]:
        """Fill the orders of `market` that `tick` trades against; the events they cause.

        The tick's volume is shared by the orders it fills; an order's first tick also lets
        it take the volume quoted on the side it trades against, shared the same way (it
        crossed the book on arrival)."""
        events: List[OrderEvent] = []
        traded = tick.volume
        quoted = {"Buy": tick.ask_volume, "Sell": tick.bid_volume}
        for entry in [entry for entry in self.book if entry.market is market]:
            order, first_look = entry.trade.order, not entry.seen
            entry.seen = True
            price = self._fill_price(entry.trade, tick)
            side = text(order.action)
            from_book = quoted[side] if first_look and price is not None else 0
            fill = 0 if price is None else min(entry.remaining, traded + from_book)
            kind = text(order.order_type)
            if kind == "FOK" and fill < entry.remaining:
                fill = 0
            if price is not None and fill:
                quoted[side] -= min(fill, from_book)
                traded -= fill - min(fill, from_book)
                events.append(self._fill(entry, price, fill, tick.moment))
            if entry.remaining and kind in ("IOC", "FOK"):
                entry.trade.status.modified_time = tick.moment
                self._take_off(entry, entry.remaining)
                events.append(self._order_event(entry.trade, "Cancel", tick.moment))
        return events

    @staticmethod
    def _fill_price(trade: Trade, tick: TapeTick) -> Optional[float]:
        """The tick's price if it trades at or through the order's limit (the price it was
        changed to, if it was), any for a market order; else None."""
        order = trade.order
        if text(order.price_type) == "LMT":
            limit = trade.status.modified_price or order.price
            buying = text(order.action) == "Buy"
            if not (tick.close <= limit if buying else tick.close >= limit):
                return None
        return tick.close

    def _fill(
        self, entry: _Working, price: float, quantity: int, moment: dt.datetime
    ) -> OrderEvent:
        trade, status = entry.trade, entry.trade.status
        entry.remaining -= quantity
        status.deal_quantity += quantity
        seq = f"{len(status.deals) + 1:06d}"
        status.deals.append(Deal(seq, price, quantity, epoch_seconds(moment)))
        status.status = sj.OrderStatus.PartFilled if entry.remaining else sj.OrderStatus.Filled
        if not entry.remaining:
            self.book.remove(entry)
        signed = quantity if text(trade.order.action) == "Buy" else -quantity
        self._book_fill(entry.market, signed, price, trade, moment)
        return self._deal_event(entry, price, quantity, moment)

    def _book_fill(self, market: Market, signed: int, price: float, trade: Trade,
                   moment: dt.datetime) -> None:
        """Move the account's position by a fill; what it closes goes to the day's profit
        and loss."""
        holding = self.holdings.setdefault(market.code, _Holding())
        if holding.quantity * signed >= 0:
            total = holding.quantity + signed
            holding.price = (holding.price * holding.quantity + price * signed) / total
            holding.quantity = total
            return
        closed = min(abs(signed), abs(holding.quantity))
        direction = 1 if holding.quantity > 0 else -1
        pnl = (price - holding.price) * closed * direction * market.value_per_point
        number = len(self.profit_loss) + 1
        if market.is_stock:
            cost = holding.price * closed * market.value_per_point
            self.profit_loss.append(StockProfitLoss(
                number, market.code, closed, pnl, moment.strftime("%Y%m%d"), trade.order.ordno,
                price, round(100 * pnl / cost, 2) if cost else 0.0, seqno=trade.order.seqno,
            ))
        else:
            self.profit_loss.append(FutureProfitLoss(
                number, market.code, closed, pnl, moment.strftime("%Y%m%d"), holding.price,
                price, direction=sj.Action.Buy if direction > 0 else sj.Action.Sell,
            ))
        holding.quantity += signed
        if holding.quantity * direction < 0:  # the fill turned the position over
            holding.price = price
        elif not holding.quantity:
            holding.price = 0.0

    # Positions

    def positions(self, stocks: bool) -> List[Any]:
        """The account's open positions of stocks, or of futures, at the last prices."""
        answer: List[Any] = []
        for code, holding in self.holdings.items():
            market = self.markets.get(code)
            if not holding.quantity or market is None or market.is_stock != stocks:
                continue
            last = market.last or holding.price
            direction = sj.Action.Buy if holding.quantity > 0 else sj.Action.Sell
            pnl = (last - holding.price) * holding.quantity * market.value_per_point
            common = (len(answer), code, direction, abs(holding.quantity), holding.price, last, pnl)
            answer.append(
                StockPosition(*common, yd_quantity=abs(holding.yesterday))
                if stocks else FuturePosition(*common)
            )
        return answer

    # The broker's event layouts

    def _event_id(self, kind: str) -> str:
        return f"v1:{kind}:standin:{self.day:%Y%m%d}:{next(self._events)}"

    def _order_event(self, trade: Trade, op_type: str, now: dt.datetime,
                     refusal: str = "") -> OrderEvent:
        order, status, market = trade.order, trade.status, self.markets[trade.contract.code]
        detail: Dict[str, Any] = {
            "id": order.id,
            "seqno": order.seqno,
            "ordno": order.ordno,
            "account": _account_dict(order.account),
            "action": text(order.action),
            "price": order.price,
            "quantity": order.quantity,
            "order_type": text(order.order_type),
            "price_type": text(order.price_type),
        }
        contract = market.contract
        if market.is_stock:
            state = sj.OrderState.StockOrder
            detail.update(order_cond=text(order.order_cond or "Cash"),
                          order_lot=text(order.order_lot or "Common"),
                          custom_field=order.custom_field)
            contract_dict = {"security_type": "STK", "exchange": text(contract.exchange),
                             "code": contract.code, "symbol": contract.symbol,
                             "name": contract.name, "currency": "TWD"}
        else:
            state = sj.OrderState.FuturesOrder
            detail.update(market_type=_market_type(now),
                          oc_type=text(order.octype or "Auto"), subaccount="", combo=False)
            contract_dict = {"security_type": "FUT", "code": contract.category,
                             "exchange": "TAIFEX", "delivery_month": contract.delivery_month,
                             "full_code": contract.code, "delivery_date": "",
                             "strike_price": 0.0, "option_right": "Future"}
        msg = {
            "event_id": self._event_id("SO" if market.is_stock else "FO"),
            "operation": {"op_type": op_type, "op_code": FAILED_CODE if refusal else OK_CODE,
                          "op_msg": refusal},
            "order": detail,
            "status": {"id": order.id, "exchange_ts": epoch_seconds(now),
                       "modified_price": status.modified_price,
                       "cancel_quantity": status.cancel_quantity,
                       "order_quantity": status.order_quantity, "web_id": status.web_id},
            "contract": contract_dict,
        }
        return state, msg

    def _deal_event(self, entry: _Working, price: float, quantity: int,
                    moment: dt.datetime) -> OrderEvent:
        order, market = entry.trade.order, entry.market
        account = _account_dict(order.account)
        msg: Dict[str, Any] = {
            "event_id": self._event_id("SD" if market.is_stock else "FD"),
            "trade_id": order.id,
            "seqno": order.seqno,
            "ordno": f"{order.ordno}{len(entry.trade.status.deals):03d}",
            "exchange_seq": f"{next(self._events):06d}",
            "broker_id": account["broker_id"],
            "account_id": account["account_id"],
            "action": text(order.action),
            "code": market.code if market.is_stock else market.contract.category,
            "price": price,
            "quantity": quantity,
            "ts": epoch_seconds(moment),
        }
        if market.is_stock:
            msg.update(order_cond=text(order.order_cond or "Cash"),
                       order_lot=text(order.order_lot or "Common"),
                       web_id=entry.trade.status.web_id, custom_field=order.custom_field)
            return sj.OrderState.StockDeal, msg
        msg.update(subaccount="", security_type="FUT",
                   delivery_month=market.contract.delivery_month, full_code=market.code,
                   strike_price=0.0, option_right="Future",
                   market_type=_market_type(moment),
                   combo=False)
        return sj.OrderState.FuturesDeal, msg


def _market_type(moment: dt.datetime) -> str:
    """The futures session a moment falls in: the night one runs from 15:00 to 05:00."""
    return "Night" if moment.hour >= 15 or moment.hour < 5 else "Day"


def _account_dict(account: Any) -> Dict[str, Any]:
    return {
        "account_type": text(account.account_type),
        "person_id": "",
        "broker_id": account.broker_id,
        "account_id": account.account_id,
        "signed": bool(account.signed),
        "username": "",
    }


def market_of(contract: Any, ticks: List[TapeTick]) -> Market:
    """A code's day on the stand-in's market."""
    is_stock = text(contract.security_type) == "STK"
    value = contract_for(contract.code, STOCK if is_stock else FUTURE).value_per_point("Common")
    return Market(contract, is_stock, ticks, value)


def tape_ticks(code: str, columns: Ticks) -> Iterator[TapeTick]:
    """The offline broker's day of `code` (its eight columns) as ticks in wall-clock time."""
    start = dt.datetime(1970, 1, 1)
    for ts, close, volume, bid, bid_volume, ask, ask_volume, tick_type in zip(
        columns["ts"], columns["close"], columns["volume"], columns["bid_price"],
        columns["bid_volume"], columns["ask_price"], columns["ask_volume"], columns["tick_type"],
    ):
        moment = start + dt.timedelta(microseconds=ts // 1000)
        yield TapeTick(code, moment, close, volume, bid, bid_volume, ask, ask_volume, tick_type)
