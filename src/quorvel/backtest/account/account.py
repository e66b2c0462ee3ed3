"""The account a backtest trades in: its cash, what orders hold, margins, and what it refuses.

A run starts with its capital as cash, and every fill moves the cash by its
value, fee and tax, valued by the run's `Ledger`, which the results read too.  Settlement timing is
not modelled: a sale's proceeds can be used at once and a purchase is paid at
once.  One pool of cash serves stocks and futures.  The rules (`AccountRules`,
Taiwan defaults, every figure a setting):

* Stocks, cash account: a buy holds its value and its estimated costs while
  it works; a sell needs the shares held and not already offered in working
  sells.  With `day_trade`, a sale beyond them is a sell-first day trade: it
  holds its value as a buy would, and what is still short when its session
  closes (the sessions of the run's market rules) is bought back at market by the engine.
* Stocks, margin account: a buy beyond the shares short is a margin purchase
  that pays the buyer's share of its value (the rest is lent); a sale beyond
  the shares held is a short sale that deposits the short margin, and whose
  proceeds are held with the deposit until it is bought back.  Neither loan
  interest, borrowing fees nor the maintenance ratio are modelled.
* Futures: each open contract holds its product's initial margin of the
  trading day (`AccountRules.margin_table`, stock futures a share of the
  contract value); with `day_trade` declared, a position opened in a session
  holds the day-trade share of it until the session closes.  A position still
  held when its month ends is settled (`Account.settle`).  Margin calls, by
  default as a broker makes them: when the day's settlement finds the cash
  plus the open futures P&L below the maintenance margin, a call is made
  (`Account.day_settled`), due at the deadline of the next trading day; the
  futures are closed then unless the equity is back at the initial margin,
  and at once only when the risk indicator (equity over the initial margin)
  falls below its threshold (`Account.margin_call`).  "immediate" closes them
  at the first fall below the maintenance margin, "warn" only warns.

An order is checked before it is sent (`Account.hold`): the part of it that
closes a position needs nothing; the rest needs its margin or value and its
estimated costs from the buying power (cash plus the open futures P&L, less
the futures initial margin and what working orders hold), or it is refused
with `AccountRefusal`.  A market order is valued at the last price.  The
account knows nothing of the engines: they pass it the orders, the reports
and the ticks of the codes in `Account.watched`, and carry out what it says.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import math
from dataclasses import dataclass
from typing import Any, Collection, Dict, List, Literal, Mapping, NamedTuple, Optional, Set, Tuple

from quorvel import market
from quorvel.backtest.account.ledger import (
    DIVIDEND,
    SECONDS_PER_DAY,
    SHARES,
    Book,
    HoldingEvent,
    Ledger,
    ValuedFill,
)
from quorvel.backtest.errors import AccountRefusal
from quorvel.backtest.messages import MarginCall
from quorvel.backtest.settings.account import FuturesMargin
from quorvel.backtest.settings.run import RunSettings
from quorvel.constant import Action, OperationType, OrderLot
from quorvel.market.contracts import Contract


class Balances(NamedTuple):
    """The account at a point of the run, in NTD."""

    cash: float
    margin_in_use: float  # futures initial margin, and margin purchases' and short sales' own money
    buying_power: float  # what a new order can still use


class _Margins(NamedTuple):
    """The account's equity (cash plus the open futures P&L) and its futures' margins."""

    equity: float
    initial: float
    maintenance: float
    positions: Dict[str, int]

    def call(
        self,
        timestamp: float,
        action: Literal["call", "liquidate", "warn"],
        reason: Literal["maintenance", "deadline", "risk indicator"],
        due: Optional[float] = None,
    ) -> MarginCall:
        return MarginCall(
            timestamp=timestamp,
            equity=self.equity,
            maintenance_margin=self.maintenance,
            initial_margin=self.initial,
            positions=self.positions,
            action=action,
            reason=reason,
            due=due,
        )


@dataclass
class _Hold:
    """What a working order holds: the lots that close a position need nothing; the lots
    that open one hold `per_lot` each and their share of the estimated `costs`."""

    code: str
    is_sell: bool
    closing: int
    opening: int
    per_lot: float
    costs: float
    forced: bool = False  # entered by the engine to close a position

    @property
    def lots(self) -> int:
        return self.closing + self.opening

    @property
    def amount(self) -> float:
        return self.opening * self.per_lot + self.costs

    def fill(self, lots: int) -> None:
        """Filled lots close first, as the position does."""
        closed = min(lots, self.closing)
        self.closing -= closed
        self._drop_opening(lots - closed)

    def reduce(self, lots: int) -> None:
        """Lots taken off the order leave from the opening ones first: they hold money."""
        opened = min(lots, self.opening)
        self._drop_opening(opened)
        self.closing -= lots - opened

    def _drop_opening(self, lots: int) -> None:
        if lots:
            self.costs -= self.costs * lots / self.opening
            self.opening -= lots


@dataclass
class _Holding:
    """One code's position (its `Book`) and the money tied up in it."""

    contract: Contract
    book: Book
    loan: float = 0.0  # lent for the margin purchases held
    own: float = 0.0  # paid by the account for the margin purchases held
    collateral: float = 0.0  # the short sales' proceeds and deposits held
    deposit: float = 0.0  # the deposits among them
    short_due: Optional[float] = None  # when an open day-trade short must be bought back
    day_lots: int = 0  # futures contracts opened as day trades in the session under way

    @property
    def shares(self) -> int:
        """Shares held (stocks), or contracts times their multiplier (futures); short negative."""
        return self.book.position.quantity


class Account:
    """The account of one run: fed its orders, reports and watched ticks, it holds the cash
    and margins, refuses what it cannot carry and says what the engine must close.

    It keeps the settings' capital, costs and account rules; with
    ``account_rules=False`` nothing is refused and nothing closed: the account
    only keeps its ledger (the unlimited account).  `last_prices` are the
    position keeper's, read as the ticks come.
    """

    def __init__(
        self,
        contracts: Mapping[str, Contract],
        settings: RunSettings,
        last_prices: Mapping[str, float],
    ) -> None:
        rules = settings.account
        self.rules = rules
        self.market = settings.market
        self.costs = settings.costs
        self.enforced = settings.account_rules
        self.last_prices = last_prices
        self.cash = settings.capital
        self.ledger = Ledger(contracts, self.costs, rules.day_trading(self.enforced))
        self.holdings = {
            code: _Holding(contract, self.ledger.books[code])
            for code, contract in contracts.items()
        }
        self.orders: Dict[str, _Hold] = {}  # by trade id, while the order works
        # What the working orders hold, kept as they change, so that an order costs the same
        # to check whatever the number working: the money, the lots closing each code and side
        # (code, is_sell), and how many the engine entered to close positions.
        self._reserved = _ExactSum()
        self._closing: Dict[Tuple[str, bool], int] = collections.defaultdict(int)
        self._forced = 0
        self.watched: Set[str] = set()  # codes whose every tick the engine passes on
        self.refused = 0
        self.peak_margin = 0.0
        # The balances while no price can change them (no futures held), until an order or
        # a report does: a run that holds nothing samples them for free.
        self._still: Optional[Balances] = None
        self._margin_called = False
        self.call_due: Optional[float] = None  # when the margin call made at a settlement is due
        self.payments: List[Tuple[dt.date, float]] = []  # dividends to pay (owed: negative)
        # The futures held and their initial and maintenance margins, until they change.
        self._required: Optional[Tuple[Dict[str, int], float, float]] = None
        first_day = (settings.backfill_range() or settings.period)[0]
        self.day = market.calendar.parse_day(first_day)  # the trading day whose margins apply
        margin = rules.is_margin_account
        self._buy_share = rules.margin_buy_pct / 100 if margin else 1.0
        self._short_share = rules.short_margin_pct / 100 if margin else 1.0

    # Orders.
    def hold(self, code: str, action: str, qty: int, price: float) -> _Hold:
        """What an order of `qty` at `price` (a market order: the last price, 0 without one)
        would hold; `AccountRefusal` when the account cannot carry it."""
        holding = self.holdings[code]
        is_sell = action == Action.SELL
        free = self._free_to_close(code, is_sell)
        closing = min(qty, free)
        opening = qty - closing
        hold = _Hold(
            code,
            is_sell,
            closing,
            opening,
            self._per_lot(holding, is_sell, price),
            self._estimated_costs(holding.contract, is_sell, price, opening),
        )
        if not self.enforced or not opening:
            return hold
        order = f"{'selling' if is_sell else 'buying'} {_quantity(holding.contract, qty)} of {code}"
        if holding.contract.is_stock and is_sell and not self._may_sell_short():
            self._refuse(
                f"{order} needs {_quantity(holding.contract, qty)} held; {free} held and not "
                "in working sells (a cash account sells what it holds; day trades need --day-trade)"
            )
        if not price:
            self._refuse(f"{order} at the market needs a last price, and {code} has had no tick")
        self._check_buying_power(f"{order} at {_price(price)}", hold.amount)
        return hold

    def reserve(self, trade_id: str, hold: _Hold) -> None:
        """The order `hold` was made for is sent as `trade_id`: it holds from now on, before
        the exchange may fill it."""
        self._still = None
        self._keep(trade_id, hold)

    def force(self, trade_id: str, code: str, is_sell: bool, qty: int) -> None:
        """The engine entered `trade_id` to close `qty` of a position."""
        self._still = None
        self._keep(trade_id, _Hold(code, is_sell, qty, 0, 0.0, 0.0, forced=True))

    def working(self, trade_id: str) -> Optional[Tuple[str, int]]:
        """The code of the working order `trade_id` (on its way to the book or in it) and its
        lots still to fill; None once it has left the book (filled, cancelled, reduced to
        nothing) or for an id never entered."""
        hold = self.orders.get(trade_id)
        return None if hold is None else (hold.code, hold.lots)

    def check_reprice(self, trade_id: str, price: float, taken_off: int = 0) -> None:
        """`AccountRefusal` unless the working order, with `taken_off` lots taken off it,
        can change its price to `price`."""
        hold = self.orders.get(trade_id)
        if hold is None or not self.enforced:
            return
        reduced = dataclasses.replace(hold)
        reduced.reduce(taken_off)
        extra = self._repriced(reduced, price).amount - hold.amount
        if extra > 0:
            contract = self.holdings[hold.code].contract
            order = (
                f"repricing {trade_id} ({'selling' if hold.is_sell else 'buying'} "
                f"{_quantity(contract, hold.lots)} of {hold.code}) to {_price(price)}"
            )
            self._check_buying_power(order, extra, "more")

    def receive(self, report: Mapping[str, Any]) -> None:
        """Take a report of the exchange: a fill moves the cash; a cancellation or a
        reduction releases what the order held."""
        self._still = None
        valued = self.ledger.take(report)
        if valued is not None:
            self._fill(report, valued)
            return
        order = report["order"]
        trade_id = order["id"]
        hold = self.orders.get(trade_id)
        if hold is None:
            return
        operation = report["operation_type"]
        if operation == OperationType.CANCEL:
            self._release(trade_id)
        elif operation == OperationType.UPDATE_QTY:
            self._release(trade_id)
            hold.reduce(hold.lots - order["quantity"])
            self._keep(trade_id, hold)
        elif operation == OperationType.UPDATE_PRICE:
            self._keep(trade_id, self._repriced(self._release(trade_id), float(order["price"])))

    # What the engine asks at the ticks of watched codes.
    def lots_held(self, code: str) -> int:
        """Net whole lots or contracts held, counted toward zero (as the book counts them); short
        negative."""
        holding = self.holdings[code]
        return int(holding.shares / _lot_shares(holding.contract))

    def day_trade_due(self, code: str, timestamp: float) -> int:
        """Lots of a day-trade short in `code` that the close has come for at `timestamp`."""
        due = self.holdings[code].short_due
        if due is None or timestamp < due:
            return 0
        return -self.lots_held(code)

    def margin_call(self, timestamp: float) -> Optional[MarginCall]:
        """At a tick of a future held: the margin call that closes the futures at market, or
        that only warns.  As a broker runs them, only when the risk indicator lies below its
        threshold, or the call made at a settlement is due and the equity is not back at the
        initial margin; "immediate" and "warn", when the equity lies below the maintenance
        margin, once per fall ("warn"), or again once the positions the engine closed have been
        dealt with."""
        if not self.enforced:
            return None
        margins = self._margins()
        if margins is None:
            return None
        if self.rules.margin_call == "broker":
            if self._forced:
                return None
            if margins.equity < margins.initial * self.rules.risk_indicator_pct / 100:
                return margins.call(timestamp, "liquidate", "risk indicator")
            if self.call_due is None or timestamp < self.call_due:
                return None
            self.call_due = None
            if margins.equity >= margins.initial:
                return None
            return margins.call(timestamp, "liquidate", "deadline")
        if margins.equity >= margins.maintenance:
            self._margin_called = False
            return None
        if self._margin_called or self._forced:
            return None
        warn = self.rules.margin_call == "warn"
        self._margin_called = warn
        return margins.call(timestamp, "warn" if warn else "liquidate", "maintenance")

    def day_settled(self, timestamp: float, next_day: dt.date) -> Optional[MarginCall]:
        """The trading day ended at `timestamp` and `next_day` comes, with its margins and the
        dividends paid by then: as a broker runs them, the day's settlement makes a margin call
        when the equity lies below the maintenance margin, due at the deadline of `next_day`
        (one call at a time; one met by the equity back at the initial margin is over)."""
        self.day = next_day
        self._required = None
        self._still = None
        self.cash += sum(amount for paid_on, amount in self.payments if paid_on <= next_day)
        self.payments = [(paid_on, amount) for paid_on, amount in self.payments if paid_on > next_day]
        if not self.enforced or self.rules.margin_call != "broker":
            return None
        margins = self._margins()
        if margins is None or margins.equity >= margins.initial:
            self.call_due = None
        if margins is None or self.call_due is not None or margins.equity >= margins.maintenance:
            return None
        due = dt.datetime.combine(next_day, self.rules.margin_call_due)
        self.call_due = market.broker_seconds(due)
        return margins.call(timestamp, "call", "maintenance", self.call_due)

    def session_closed(self, codes: Collection[str]) -> None:
        """The sessions of `codes` closed: their day trades become positions held overnight."""
        self._still = None
        for code in codes:
            self.holdings[code].day_lots = 0

    def enter_event(
        self, entry: HoldingEvent, samples: int, paid_on: Optional[dt.date] = None
    ) -> ValuedFill:
        """Enter a holding event (see `Book.enter_event`), after `samples` timeline samples: a
        settlement's P&L and tax move the cash; a dividend moves it on `paid_on`, its payment
        date."""
        self._still = None
        valued = self.ledger.enter_event(entry, samples)
        holding = self.holdings[entry.code]
        if valued.kind == DIVIDEND:  # paid less the premium withheld
            self.payments.append((paid_on or self.day, valued.value - valued.tax))
        elif valued.kind != SHARES:  # shares lost in a reduction were paid for when bought
            self.cash += valued.realized - valued.fee - valued.tax
        self._required = None
        holding.day_lots = 0
        if self.enforced:
            self._watch(entry.code, holding, entry.timestamp)
        return valued

    def _margins(self) -> Optional["_Margins"]:
        """The equity and margins of the futures held; None with none held.  The margins are
        kept until the positions or the day change, unless a stock future's follow its price."""
        required = self._required
        if required is None:
            positions = {
                code: self.lots_held(code)
                for code, holding in self.holdings.items()
                if not holding.contract.is_stock and holding.shares
            }
            initial = maintenance = 0.0
            for code, lots in positions.items():
                margin = self._contract_margin(code)
                initial += margin.initial * abs(lots)
                maintenance += margin.maintenance * abs(lots)
            required = positions, initial, maintenance
            if not any(self.market.kind(code) == market.Kind.STOCK_FUTURE for code in positions):
                self._required = required
        positions, initial, maintenance = required
        if not positions:
            return None
        equity = self.cash + sum(self._open_pnl(code) for code in positions)
        return _Margins(equity, initial, maintenance, positions)

    def balances(self) -> Balances:
        """Cash, margin in use and buying power now."""
        if self._still is not None:
            return self._still
        futures_margin = open_pnl = stock_margin = 0.0
        futures_held = False
        for code, holding in self.holdings.items():
            if holding.contract.is_stock:
                stock_margin += holding.own + holding.deposit
            elif holding.shares:
                futures_held = True
                futures_margin += self._futures_margin_in_use(code)
                open_pnl += self._open_pnl(code)
        reserved = self._reserved.total()
        in_use = futures_margin + stock_margin
        self.peak_margin = max(self.peak_margin, in_use)
        balances = Balances(self.cash, in_use, self.cash + open_pnl - futures_margin - reserved)
        if not futures_held:
            self._still = balances
        return balances

    # Inside.
    def _fill(self, report: Mapping[str, Any], valued: ValuedFill) -> None:
        """Move the cash and what the order holds by a fill the ledger has valued."""
        holding = self.holdings[report["code"]]
        if holding.contract.is_stock:
            traded = valued.quantity * valued.value_per_point
            traded = -traded if valued.action == Action.SELL else traded
            self._settle_stock(holding, valued.price, traded, holding.shares - traded)
        else:
            self.cash += valued.realized
            self._required = None
            if self.rules.day_trade:
                traded = -valued.quantity if valued.action == Action.SELL else valued.quantity
                holding.day_lots = _day_lots_after(
                    holding.day_lots, valued.position - traded, valued.position
                )
        self.cash -= valued.fee + valued.tax
        hold = self.orders.get(report["id"])
        if hold is not None:
            self._release(report["id"])
            hold.fill(valued.quantity)
            self._keep(report["id"], hold)
        if self.enforced:
            self._watch(report["code"], holding, valued.timestamp)
        self.balances()  # follows the peak margin

    def _settle_stock(self, holding: _Holding, price: float, traded: int, held: int) -> None:
        """Move the cash of a stock fill of `traded` shares (sold negative) at `price`
        with `held` shares held before it."""
        if traded > 0:
            covered = min(traded, max(-held, 0))
            if covered:
                share = covered / -held
                released = holding.collateral * share
                holding.collateral -= released
                holding.deposit -= holding.deposit * share
                self.cash += released - price * covered
            opened = price * (traded - covered)
            paid = opened * self._buy_share
            self.cash -= paid
            holding.loan += opened - paid
            if self.rules.is_margin_account:
                holding.own += paid
        else:
            closed = min(-traded, max(held, 0))
            if closed:
                share = closed / held
                repaid = holding.loan * share
                holding.loan -= repaid
                holding.own -= holding.own * share
                self.cash += price * closed - repaid
            opened = price * (-traded - closed)
            deposit = opened * self._short_share
            holding.collateral += opened + deposit
            holding.deposit += deposit
            self.cash -= deposit

    def _watch(self, code: str, holding: _Holding, timestamp: float) -> None:
        """Watch the futures held (their margin) and the day-trade shorts (the close)."""
        if holding.contract.is_stock:
            short = holding.shares < 0 and not self.rules.is_margin_account
            if not short:
                holding.short_due = None
            elif holding.short_due is None:
                holding.short_due = session_close(self.market, code, timestamp)
            watched = short
        else:
            watched = holding.shares != 0
        if watched:
            self.watched.add(code)
        else:
            self.watched.discard(code)

    def _free_to_close(self, code: str, is_sell: bool) -> int:
        """Lots of `code` held on the other side and not already being closed."""
        held = self.lots_held(code) * (1 if is_sell else -1)
        return max(held - self._closing[code, is_sell], 0)

    def _keep(self, trade_id: str, hold: _Hold) -> None:
        """`hold` is what the working order `trade_id` holds now; an order with no lots left
        works no more."""
        if hold.lots:
            self.orders[trade_id] = hold
            self._count(hold, 1)

    def _release(self, trade_id: str) -> _Hold:
        """What the working order `trade_id` held, no longer counted: its order left the book
        or is about to change."""
        hold = self.orders.pop(trade_id)
        self._count(hold, -1)
        return hold

    def _count(self, hold: _Hold, sign: int) -> None:
        self._reserved.add(sign * hold.amount)
        self._closing[hold.code, hold.is_sell] += sign * hold.closing
        self._forced += sign * hold.forced

    def _may_sell_short(self) -> bool:
        return self.rules.is_margin_account or self.rules.day_trade

    def _per_lot(self, holding: _Holding, is_sell: bool, price: float) -> float:
        contract = holding.contract
        if not contract.is_stock:
            initial = self.rules.futures_margin(contract, price, self.market, self.day).initial
            return initial * self._day_trade_share
        value = price * _lot_shares(contract)
        return value * (self._short_share if is_sell else self._buy_share)

    def _estimated_costs(self, contract: Contract, is_sell: bool, price: float, lots: int) -> float:
        if not lots:
            return 0.0
        value = price * lots * _lot_shares(contract)
        if contract.is_stock:
            return sum(self.costs.stock_costs(value, is_sell, 0.0, contract.tax_class))
        return sum(self.costs.futures_costs(contract.code[:3], value, lots))

    def _repriced(self, hold: _Hold, price: float) -> _Hold:
        holding = self.holdings[hold.code]
        return dataclasses.replace(
            hold,
            per_lot=self._per_lot(holding, hold.is_sell, price),
            costs=self._estimated_costs(holding.contract, hold.is_sell, price, hold.opening),
        )

    def _contract_margin(self, code: str) -> FuturesMargin:
        holding = self.holdings[code]
        price = self.last_prices.get(code, holding.book.position.avg_price)
        return self.rules.futures_margin(holding.contract, price, self.market, self.day)

    def _futures_margin_in_use(self, code: str) -> float:
        """The initial margin the position of `code` holds: its day trades' share for the
        contracts opened as day trades in the session under way."""
        held = abs(self.lots_held(code))
        day_lots = min(self.holdings[code].day_lots, held)
        initial = self._contract_margin(code).initial
        return initial * (held - day_lots + day_lots * self._day_trade_share)

    @property
    def _day_trade_share(self) -> float:
        return self.rules.day_trade_margin_pct / 100 if self.rules.day_trade else 1.0

    def _open_pnl(self, code: str) -> float:
        return self.holdings[code].book.position.unrealized_pnl(self.last_prices.get(code))

    def _check_buying_power(self, order: str, needed: float, more: str = "") -> None:
        available = self.balances().buying_power
        if needed > available:
            needs = f"{_ntd(needed)} NTD {more}".rstrip()
            self._refuse(f"{order} needs {needs}; {_ntd(available)} available")

    def _refuse(self, message: str) -> None:
        self.refused += 1
        raise AccountRefusal(message)


class _ExactSum:
    """A sum of floats added and taken away one at a time, exact to the last bit: what the
    working orders hold is the same whatever the order they came and went in, and nothing is
    left over when the last one goes.  The partial sums do not overlap (Shewchuk's algorithm,
    as `math.fsum` keeps them)."""

    def __init__(self) -> None:
        self._partials: List[float] = []

    def add(self, value: float) -> None:
        kept = []
        for partial in self._partials:
            if abs(value) < abs(partial):
                value, partial = partial, value
            high = value + partial
            low = partial - (high - value)
            if low:
                kept.append(low)
            value = high
        kept.append(value)
        self._partials = kept

    def total(self) -> float:
        return math.fsum(self._partials)


def session_close(rules: market.MarketRules, code: str, timestamp: float) -> float:
    """When the session of `code` under `rules` that holds `timestamp` closes, in exchange
    seconds; on a day the calendar does not trade, or between sessions, when its last session's
    hours end that day."""
    session = rules.session_at(code, timestamp)
    if session is not None:
        return session.close_timestamp
    closes = rules.instrument(code).sessions[-1].closes
    day_start = timestamp // SECONDS_PER_DAY * SECONDS_PER_DAY
    return day_start + (closes.hour * 60 + closes.minute) * 60 + closes.second


def exchange_time_text(timestamp: float) -> str:
    """An exchange timestamp as its wall-clock time, "2024-01-08 13:30:00"."""
    return market.wall_clock(round(timestamp)).isoformat(sep=" ")


def _day_lots_after(day_lots: int, before: int, after: int) -> int:
    """The contracts opened as day trades after a fill took a position from `before` to
    `after` (short negative): the contracts it closes are today's first, those it opens
    today's."""
    if before == 0 or (before > 0) != (after > 0):
        closed, opened = abs(before), abs(after)
    else:
        closed, opened = max(abs(before) - abs(after), 0), max(abs(after) - abs(before), 0)
    return min(max(day_lots - closed, 0) + opened, abs(after))


def _lot_shares(contract: Contract) -> int:
    """Shares in a lot of the orders the strategy enters (common lots), or 1 per contract."""
    return (
        contract.value_per_point(OrderLot.COMMON.value)
        if contract.is_stock
        else (contract.multiplier or 1)
    )


def _quantity(contract: Contract, qty: int) -> str:
    unit = "lot" if contract.is_stock else "contract"
    return f"{qty} {unit}{'' if qty == 1 else 's'}"


def _price(price: float) -> str:
    return f"{price:,.2f}".rstrip("0").rstrip(".")


def _ntd(value: float) -> str:
    return f"{value:,.0f}"
