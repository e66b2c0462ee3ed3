"""The ledger of a run's fills: each fill valued in NTD with its costs, the position it leaves,
the P&L it realises and the round trips it opens and closes.

The position keeper counts P&L in price points; here every fill is valued
with its contract (`quorvel.market.contracts`) and charged its costs
(`quorvel.backtest.settings.costs`).  The average-cost rule is the position
keeper's own (`Position.fill`), applied to quantities in NTD per price point,
so that its P&L comes out in NTD.  The account keeps one `Book` per code as it
receives the fills; the results read the same books.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import math
from dataclasses import dataclass
from typing import Any, Deque, Dict, List, Mapping, Optional, Tuple

from quorvel.backtest.core import Position
from quorvel.backtest.settings.costs import CostModel, DayTrading
from quorvel.constant import Action, OperationType
from quorvel.market.contracts import Contract

SECONDS_PER_DAY = 86_400
EPOCH_ORDINAL = dt.date(1970, 1, 1).toordinal()


class DayTrades:
    """One stock's current-day trades, fill by fill, in shares.

    A sell is a day trade for the shares it sells out of those bought earlier
    the same day (first bought, first sold) and, with `sell_first`, for the
    shares it sells beyond the holding; a buy is one for the shares of such a
    short sale it buys back, and for the shares that a later sell of the same
    day sells out of it.  Each fill is classified when it comes, from the
    fills before it, so that the tax a sell pays is known when it is made.
    """

    def __init__(self, rule: DayTrading) -> None:
        self.rule = rule
        self.day: Optional[int] = None
        self.bought: Deque[List[Any]] = collections.deque()  # [tag, shares not yet sold] today
        self.sold_first = 0  # shares sold first today and not yet bought back

    def fill(
        self, day: int, is_sell: bool, shares: int, held: int, tag: Any = None
    ) -> Tuple[int, List[Tuple[Any, int]]]:
        """The day-trade shares of a fill of `shares` on `day` with `held` shares held
        before it (short negative), and the earlier buys (their tags and shares)
        that a sell makes day trades."""
        if not self.rule.enabled:
            return 0, []
        if day != self.day:
            self.day, self.sold_first = day, 0
            self.bought.clear()
        if not is_sell:
            covered = min(shares, self.sold_first)
            self.sold_first -= covered
            opened = shares - min(shares, max(-held, 0))
            if opened:
                self.bought.append([tag, opened])
            return covered, []
        offsets: List[Tuple[Any, int]] = []
        left = shares
        while left and self.bought:
            entry = self.bought[0]
            taken = min(left, entry[1])
            offsets.append((entry[0], taken))
            entry[1] -= taken
            left -= taken
            if not entry[1]:
                self.bought.popleft()
        shorted = shares - min(shares, max(held, 0)) if self.rule.sell_first else 0
        self.sold_first += shorted
        return shares - left + shorted, offsets


# The kinds of the ledger's entries: a deal report's fill; a futures position settled at its
# month's end; a position carried over a roll, opened again in the next month; a stock's cash
# dividend; its shares changed by a stock dividend or a capital reduction.
FILL, SETTLEMENT, ROLL, DIVIDEND, SHARES = "fill", "settlement", "roll", "dividend", "shares"


@dataclass(frozen=True)
class HoldingEvent:
    """Something that befalls a position held (`quantity`: contracts, or a stock's shares;
    short negative) without a trade: settled at `price` at its month's end (kind
    `SETTLEMENT`), opened at `price` in the next month (`ROLL`), paid `price` NTD a share
    (`DIVIDEND`), or made `price` shares a share (`SHARES`)."""

    code: str
    timestamp: float
    price: float
    quantity: int
    kind: str = SETTLEMENT


@dataclass(frozen=True)
class ValuedFill:
    """A ledger entry, a deal report's fill or a settlement, with its value, costs and the P&L
    it realised, in NTD; a settlement has no report (`report_index` None)."""

    report_index: Optional[int]
    timestamp: float
    trade_id: str
    code: str
    action: str
    price: float
    quantity: int
    order_lot: Optional[str]
    value_per_point: int
    value: float
    fee: float
    tax: float
    realized: float
    position: int  # the code's position after the fill, in lots or contracts
    day_trade_qty: int = 0  # lots of the fill that belong to a current-day trade
    kind: str = FILL


@dataclass
class RoundTrip:
    """A position of one code from flat to flat: when it opened and closed (exchange
    seconds), long or short, the most lots or contracts it held, and its P&L in NTD."""

    code: str
    opened: float
    side: str = "long"
    lots: int = 0
    closed: float = math.nan
    gross: float = 0.0
    costs: float = 0.0

    @property
    def net(self) -> float:
        return self.gross - self.costs


# The figures of `Figures.as_dict` that are sums of NTD, and those that are ratios.
MONEY_FIGURES = frozenset(
    {
        "gross_pnl",
        "realized_pnl",
        "unrealized_pnl",
        "dividends",
        "fees",
        "taxes",
        "net_pnl",
        "traded_value",
        "max_drawdown",
    }
)
RATIO_FIGURES = frozenset({"turnover", "win_rate", "profit_factor", "max_drawdown_share", "sharpe"})


@dataclass
class Figures:
    """The money and trading figures of one code, or of all codes together."""

    realized: float = 0.0
    unrealized: float = 0.0
    dividends: float = 0.0  # cash dividends earned (owed: negative) on their ex-dates
    fees: float = 0.0
    taxes: float = 0.0
    fills: int = 0
    traded_value: float = 0.0
    round_trips: int = 0
    winning_round_trips: int = 0
    gains: float = 0.0
    losses: float = 0.0
    max_drawdown: float = 0.0
    max_drawdown_share: float = 0.0
    sharpe: Optional[float] = None
    turnover: float = 0.0

    @property
    def gross(self) -> float:
        return self.realized + self.unrealized + self.dividends

    @property
    def net(self) -> float:
        return self.gross - self.fees - self.taxes

    @property
    def win_rate(self) -> Optional[float]:
        return self.winning_round_trips / self.round_trips if self.round_trips else None

    @property
    def profit_factor(self) -> Optional[float]:
        return self.gains / self.losses if self.losses else None

    def as_dict(self) -> Dict[str, Any]:
        return {
            "gross_pnl": self.gross,
            "realized_pnl": self.realized,
            "unrealized_pnl": self.unrealized,
            "dividends": self.dividends,
            "fees": self.fees,
            "taxes": self.taxes,
            "net_pnl": self.net,
            "fills": self.fills,
            "traded_value": self.traded_value,
            "turnover": self.turnover,
            "round_trips": self.round_trips,
            "winning_round_trips": self.winning_round_trips,
            "win_rate": self.win_rate,
            "profit_factor": self.profit_factor,
            "max_drawdown": self.max_drawdown,
            "max_drawdown_share": self.max_drawdown_share,
            "sharpe": self.sharpe,
        }


def profit_factor_of(figures: Mapping[str, Any]) -> Optional[float]:
    """The profit factor of figures as `Figures.as_dict` gives them, infinite for winning round
    trips without a losing one (held there as None)."""
    value = figures.get("profit_factor")
    if value is None and figures.get("winning_round_trips"):
        return math.inf
    return value


class Book:
    """One code's position in NTD per price point, its costs and its round trips.

    `fill` values one deal report; the account values its fills with the same
    book, so that its cash and these figures come from one computation.
    """

    def __init__(self, contract: Contract, costs: CostModel, day_trading: DayTrading) -> None:
        self.contract = contract
        self.costs = costs
        self.day_trades = DayTrades(day_trading)
        self.position = Position(contract.code, contract.market)
        self.lots = 0
        self.figures = Figures()
        self.round_trips: List[RoundTrip] = []
        self.open_trip: Optional[RoundTrip] = None

    def fill(
        self, index: int, report: Mapping[str, Any], order_lot: Optional[str]
    ) -> Tuple[ValuedFill, List[Tuple[int, int]]]:
        """The fill valued, and the earlier fills (their report indexes and lots) it
        makes day trades."""
        action = Action.from_value(report["action"])
        price, lots = float(report["price"]), int(report["quantity"])
        value_per_point = self.contract.value_per_point(order_lot)
        value = price * lots * value_per_point
        is_sell = action == Action.SELL
        day_trade_shares = 0
        offsets: List[Tuple[Any, int]] = []
        if self.contract.is_stock:
            day = int(report["exchange_ts"] // SECONDS_PER_DAY)
            day_trade_shares, offsets = self.day_trades.fill(
                day, is_sell, lots * value_per_point, self.position.quantity, index
            )
            fee, tax = self.costs.stock_costs(
                value,
                is_sell,
                price * day_trade_shares,
                self.contract.tax_class,
                dt.date.fromordinal(EPOCH_ORDINAL + day).isoformat(),
            )
        else:
            fee, tax = self.costs.futures_costs(self.contract.code[:3], value, lots)
        valued = self._enter(
            index, report["exchange_ts"], report["id"], action, price, lots, order_lot, fee, tax
        )
        valued = dataclasses.replace(valued, day_trade_qty=day_trade_shares // value_per_point)
        return valued, [(tag, shares // value_per_point) for tag, shares in offsets]

    def enter_event(self, entry: HoldingEvent) -> ValuedFill:
        """A futures position settled at its month's end (no fee; the tax on its value), or
        opened again in the next month (a fill's fee and tax); a stock's dividend or new
        number of shares."""
        if entry.kind in (DIVIDEND, SHARES):
            return self._corporate_action(entry)
        opening = entry.kind == ROLL
        action = Action.BUY if (entry.quantity > 0) == opening else Action.SELL
        lots = abs(entry.quantity)
        value = entry.price * lots * self.contract.value_per_point(None)
        if opening:
            fee, tax = self.costs.futures_costs(self.contract.code[:3], value, lots)
        else:
            fee, tax = 0.0, self.costs.futures_tax(value)
        return self._enter(
            None, entry.timestamp, entry.kind, action, entry.price, lots, None, fee, tax, entry.kind
        )

    def _corporate_action(self, entry: HoldingEvent) -> ValuedFill:
        """A dividend of `entry.price` NTD a share held (owed by a short), or the shares held
        made `entry.price` times as many at the same cost (a stock dividend, a reduction)."""
        position, shares = self.position, entry.quantity
        action = Action.BUY if shares > 0 else Action.SELL
        tax = realized = 0.0
        if entry.kind == DIVIDEND:
            amount = entry.price * shares
            day = dt.date.fromordinal(EPOCH_ORDINAL + int(entry.timestamp // SECONDS_PER_DAY))
            tax = self.costs.dividend_premium(amount, day.isoformat())
            self.figures.dividends += amount
            self.figures.taxes += tax
            if self.open_trip is not None:
                self.open_trip.gross += amount
                self.open_trip.costs += tax
            moved, value = abs(shares), amount
        else:
            # No fraction of a share is issued: the shares are counted toward zero (a hair above
            # the exact count, against float error), their cost spread over the whole ones.
            now = int(shares * entry.price + (1e-9 if shares > 0 else -1e-9))
            cost = position.avg_price * position.quantity
            position.avg_price = cost / now if now else 0.0
            position.quantity = now
            if not now:  # nothing is left of the holding: its cost is lost
                realized = -cost
                position.realized_pnl += realized
                self.figures.realized += realized
                self._follow_round_trips(entry.timestamp, shares, 0.0, realized)
            self.lots = int(now / self.contract.value_per_point("Common"))
            moved, value = abs(now - shares), 0.0
        return ValuedFill(
            None,
            entry.timestamp,
            entry.kind,
            self.contract.code,
            action.value,
            entry.price,
            moved,
            None,
            1,
            value,
            0.0,
            tax,
            realized,
            self.lots,
            kind=entry.kind,
        )

    def _enter(
        self,
        index: Optional[int],
        timestamp: float,
        trade_id: str,
        action: Action,
        price: float,
        lots: int,
        order_lot: Optional[str],
        fee: float,
        tax: float,
        kind: str = FILL,
    ) -> ValuedFill:
        value_per_point = self.contract.value_per_point(order_lot)
        value = price * lots * value_per_point
        is_sell = action == Action.SELL
        held = self.position.quantity
        realized_before = self.position.realized_pnl
        self.position.fill(action, lots * value_per_point, price)
        realized = self.position.realized_pnl - realized_before
        self.lots += -lots if is_sell else lots
        self._follow_round_trips(timestamp, held, fee + tax, realized)
        if self.open_trip is not None:
            self.open_trip.lots = max(self.open_trip.lots, abs(self.lots))
        figures = self.figures
        figures.realized += realized
        figures.fees += fee
        figures.taxes += tax
        figures.fills += int(kind == FILL)
        figures.traded_value += value
        return ValuedFill(
            index,
            timestamp,
            trade_id,
            self.contract.code,
            action.value,
            price,
            lots,
            order_lot,
            value_per_point,
            value,
            fee,
            tax,
            realized,
            self.lots,
            kind=kind,
        )

    def _follow_round_trips(
        self, timestamp: float, held: int, costs: float, realized: float
    ) -> None:
        now = self.position.quantity
        traded = abs(now - held)
        closing_share = 0.0
        if self.open_trip is not None:
            trip = self.open_trip
            closed = held != 0 and (now == 0 or (now > 0) != (held > 0))
            closing_share = min(abs(held), traded) / traded if closed else 1.0
            trip.gross += realized
            trip.costs += costs * closing_share
            if closed:
                trip.closed = timestamp
                self.round_trips.append(trip)
                self.open_trip = None
        if self.open_trip is None and now != 0:
            self.open_trip = RoundTrip(
                self.contract.code,
                timestamp,
                side="long" if now > 0 else "short",
                costs=costs * (1 - closing_share),
            )

    def net_pnl(self, price: Optional[float]) -> float:
        figures = self.figures
        unrealized = self.position.unrealized_pnl(price)
        return figures.realized + unrealized + figures.dividends - figures.fees - figures.taxes


class Ledger:
    """The books of every code of a run and its valued fills, in the order of the reports.

    `take` is given every report, order reports too: a fill is valued by its code's book, with
    the order lot its New report gave, and the earlier fills it makes day trades are marked so.
    The account keeps the run's ledger as the reports come; the results read that one, or
    value the reports again in a new one when the costs have changed since.
    """

    def __init__(
        self, contracts: Mapping[str, Contract], costs: CostModel, day_trading: DayTrading
    ) -> None:
        self.costs = costs
        self.day_trading = day_trading
        self.books = {
            code: Book(contract, costs, day_trading) for code, contract in contracts.items()
        }
        self.fills: List[ValuedFill] = []
        self.reports = 0  # the reports taken
        # The holding events entered, each with how many reports and timeline samples came before.
        self.events: List[Tuple[int, int, HoldingEvent]] = []
        self._fill_at: Dict[int, int] = {}  # the place in `fills` of each report's fill
        self._order_lots: Dict[str, str] = {}  # of each stock order, by trade id

    def take(self, report: Mapping[str, Any]) -> Optional[ValuedFill]:
        """Take the next report; the fill valued, for a deal report."""
        index = self.reports
        self.reports += 1
        if "operation_type" in report:
            order = report["order"]
            if "order_lot" in order and report["operation_type"] == OperationType.NEW:
                self._order_lots[order["id"]] = str(order["order_lot"])
            return None
        lot = report.get("order_lot", self._order_lots.get(report["id"]))
        valued, offsets = self.books[report["code"]].fill(index, report, lot)
        for earlier, lots in offsets:
            place = self._fill_at[earlier]
            before = self.fills[place]
            self.fills[place] = dataclasses.replace(
                before, day_trade_qty=before.day_trade_qty + lots
            )
        self._fill_at[index] = len(self.fills)
        self.fills.append(valued)
        return valued

    def enter_event(self, entry: HoldingEvent, samples: int) -> ValuedFill:
        """Enter a settlement, after the reports taken so far and `samples` timeline samples."""
        valued = self.books[entry.code].enter_event(entry)
        self.events.append((self.reports, samples, entry))
        self.fills.append(valued)
        return valued

    def net_pnl(self, prices: Mapping[str, float]) -> Dict[str, float]:
        """Each code's net P&L in NTD, its position marked at `prices` (none: unmarked)."""
        return {code: book.net_pnl(prices.get(code)) for code, book in self.books.items()}
