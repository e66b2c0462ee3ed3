"""Money and metrics of a run, in NTD, computed from its fills and its price timeline.

The position keeper counts P&L in price points; here every fill is valued
with its contract (`contracts`) and charged its costs (`costs`).  The
average-cost rule is the position keeper's own (`Position.fill`), applied to
quantities in NTD per price point, so that its P&L comes out in NTD.

Definitions:

* A stock sell that is a current-day trade (`quorvel.backtest.costs.DayTrades`)
  pays the day-trade tax on that part; ``day_trade_qty`` marks the lots of
  each fill that belong to a day trade, on both sides.
* gross P&L = realised + unrealised (open positions marked to the last live
  price); net P&L = gross - fees - taxes.  Closing an open position would
  cost more; that is not charged.
* A round trip of a code runs from a fill that takes its position away from
  flat to the fill that brings it back to flat or through it.  A fill through
  flat ends one round trip and starts the next; its costs are shared between
  the two by quantity.  Round trips still open at the end are not counted.
* Win rate: the share of round trips with a positive net P&L; profit factor:
  the net gains of the winning round trips over the net losses of the losing
  ones, infinite with winning ones and no losing one (`profit_factor_of`; the
  figures hold None then, as JSON has no infinity), and None without either.
* The equity curve is the net P&L sampled along the run's timeline; the
  maximum drawdown is the largest fall of it from an earlier peak (the
  capital itself is the first peak).
* Daily returns: the change of the end-of-day net P&L over the capital,
  trading day by trading day (a night session counts for the trading day it
  belongs to, `quorvel.market.trading_day_of`); the Sharpe ratio is their mean
  over their standard deviation, times the square root of 252, and None with
  fewer days than the run's minimum (20 by default: a handful of days says
  little about a year) or no variation.
* Turnover: the traded value of both sides in NTD over the capital.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import math
import statistics
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from quorvel import market
from quorvel.backtest.contracts import Contract
from quorvel.backtest.costs import CostModel, DayTrades, DayTrading
from quorvel.constant import Action, OperationType
from quorvel.modules.positions.positions import Position

TRADING_DAYS_PER_YEAR = 252
SECONDS_PER_DAY = 86_400
# Fewer trading days than this give no Sharpe ratio.
DEFAULT_MIN_SHARPE_DAYS = 20

# The figures of `Figures.as_dict` that are sums of NTD, and those that are ratios.
MONEY_FIGURES = frozenset(
    {
        "gross_pnl",
        "realized_pnl",
        "unrealized_pnl",
        "fees",
        "taxes",
        "net_pnl",
        "traded_value",
        "max_drawdown",
    }
)
RATIO_FIGURES = frozenset(
    {"turnover", "win_rate", "profit_factor", "max_drawdown_share", "sharpe"}
)


class Sample(NamedTuple):
    """A point of the run's timeline: the time of a live tick, the last live price
    of every code so far, and how many reports the exchange had produced by then."""

    timestamp: float
    prices: Dict[str, float]
    reports: int


def exchange_day(timestamp: float) -> dt.date:
    """The trading day of an exchange timestamp (local wall-clock time counted as UTC): that of
    its session, so a night session's ticks count for the next trading day."""
    return market.trading_day_of(timestamp)


@dataclass(frozen=True)
class ValuedFill:
    """A deal report with its value, costs and the P&L it realised, in NTD."""

    report_index: int
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


@dataclass
class Figures:
    """The money and trading figures of one code, or of all codes together."""

    realized: float = 0.0
    unrealized: float = 0.0
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
        return self.realized + self.unrealized

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


@dataclass
class EquityCurve:
    """Net P&L in NTD of each code at every sample of the timeline."""

    timestamps: List[float] = field(default_factory=list, repr=False)
    net_pnl: Dict[str, List[float]] = field(default_factory=dict, repr=False)

    def __repr__(self) -> str:
        return f"EquityCurve(points={len(self.timestamps)}, codes={list(self.net_pnl)})"

    def total(self) -> List[float]:
        columns = list(self.net_pnl.values())
        return [sum(values) for values in zip(*columns)] if columns else []


@dataclass
class Evaluation:
    """The fills valued, the round trips, the equity curve, and the figures of each code and
    of all together; `trading_days` is how many days the daily returns span."""

    fills: List[ValuedFill] = field(repr=False)
    round_trips: List[RoundTrip] = field(repr=False)
    curve: EquityCurve = field(repr=False)
    per_code: Dict[str, Figures] = field(repr=False)
    total: Figures = field(repr=False)
    trading_days: int = 0
    min_sharpe_days: int = DEFAULT_MIN_SHARPE_DAYS

    def __repr__(self) -> str:
        total = self.total
        sharpe = "None" if total.sharpe is None else f"{total.sharpe:.2f}"
        return (
            f"Evaluation(fills={len(self.fills)}, round_trips={len(self.round_trips)}, "
            f"points={len(self.curve.timestamps)}, codes={list(self.per_code)}, "
            f"trading_days={self.trading_days}, net_pnl={total.net:,.0f}, "
            f"max_drawdown={total.max_drawdown:,.0f}, sharpe={sharpe})"
        )


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
        held = self.position.quantity
        day_trade_shares = 0
        offsets: List[Tuple[Any, int]] = []
        if self.contract.is_stock:
            day = int(report["exchange_ts"] // SECONDS_PER_DAY)
            day_trade_shares, offsets = self.day_trades.fill(
                day, is_sell, lots * value_per_point, held, index
            )
            fee, tax = self.costs.stock_costs(value, is_sell, price * day_trade_shares)
        else:
            fee, tax = self.costs.futures_costs(value, lots)
        realized_before = self.position.realized_pnl
        self.position.fill(action, lots * value_per_point, price)
        realized = self.position.realized_pnl - realized_before
        self.lots += -lots if is_sell else lots
        self._follow_round_trips(report["exchange_ts"], held, fee + tax, realized)
        if self.open_trip is not None:
            self.open_trip.lots = max(self.open_trip.lots, abs(self.lots))
        figures = self.figures
        figures.realized += realized
        figures.fees += fee
        figures.taxes += tax
        figures.fills += 1
        figures.traded_value += value
        valued = ValuedFill(
            index,
            report["exchange_ts"],
            report["id"],
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
            day_trade_shares // value_per_point,
        )
        return valued, [(tag, shares // value_per_point) for tag, shares in offsets]

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
        unrealized = self.position.unrealized_pnl(price)
        return self.figures.realized + unrealized - self.figures.fees - self.figures.taxes


def evaluate(
    reports: Sequence[Mapping[str, Any]],
    timeline: Sequence[Sample],
    contracts: Mapping[str, Contract],
    costs: CostModel,
    capital: float,
    day_trading: DayTrading = DayTrading(),
    min_sharpe_days: int = DEFAULT_MIN_SHARPE_DAYS,
) -> Evaluation:
    """Value every fill of `reports` and sample net P&L at every point of `timeline`; a
    Sharpe ratio needs `min_sharpe_days` trading days."""
    books = {code: Book(contract, costs, day_trading) for code, contract in contracts.items()}
    order_lots = _stock_order_lots(reports)
    fills: List[ValuedFill] = []
    fill_at: Dict[int, int] = {}  # the place in `fills` of each report index
    curve = EquityCurve(net_pnl={code: [] for code in books})
    taken = 0

    def take_fills(start: int, end: int) -> None:
        for index in range(start, end):
            report = reports[index]
            if "operation_type" not in report:
                lot = report.get("order_lot", order_lots.get(report["id"]))
                valued, offsets = books[report["code"]].fill(index, report, lot)
                for earlier, lots in offsets:
                    place = fill_at[earlier]
                    fills[place] = dataclasses.replace(
                        fills[place], day_trade_qty=fills[place].day_trade_qty + lots
                    )
                fill_at[index] = len(fills)
                fills.append(valued)

    for sample in timeline:
        take_fills(taken, sample.reports)
        taken = max(taken, sample.reports)
        curve.timestamps.append(sample.timestamp)
        for code, book in books.items():
            curve.net_pnl[code].append(book.net_pnl(sample.prices.get(code)))
    take_fills(taken, len(reports))
    last_prices = timeline[-1].prices if timeline else {}

    per_code = {}
    for code, book in books.items():
        figures = book.figures
        figures.unrealized = book.position.unrealized_pnl(last_prices.get(code))
        _count_round_trips(figures, book.round_trips)
        _add_curve_figures(
            figures, curve.timestamps, curve.net_pnl[code], capital, min_sharpe_days
        )
        per_code[code] = figures
    round_trips = sorted(
        (trip for book in books.values() for trip in book.round_trips), key=lambda t: t.closed
    )
    total = Figures()
    for figures in per_code.values():
        for name in ("realized", "unrealized", "fees", "taxes", "fills", "traded_value"):
            setattr(total, name, getattr(total, name) + getattr(figures, name))
    _count_round_trips(total, round_trips)
    _add_curve_figures(total, curve.timestamps, curve.total(), capital, min_sharpe_days)
    trading_days = len({exchange_day(timestamp) for timestamp in curve.timestamps})
    return Evaluation(fills, round_trips, curve, per_code, total, trading_days, min_sharpe_days)


def _stock_order_lots(reports: Sequence[Mapping[str, Any]]) -> Dict[str, str]:
    """The order lot of every stock order, by trade id, from its New report."""
    lots = {}
    for report in reports:
        if report.get("operation_type") == OperationType.NEW:
            order = report["order"]
            if "order_lot" in order:
                lots[order["id"]] = str(order["order_lot"])
    return lots


def _count_round_trips(figures: Figures, round_trips: Sequence[RoundTrip]) -> None:
    nets = [trip.net for trip in round_trips]
    figures.round_trips = len(nets)
    figures.winning_round_trips = sum(1 for net in nets if net > 0)
    figures.gains = sum(net for net in nets if net > 0)
    figures.losses = -sum(net for net in nets if net < 0)


def _add_curve_figures(
    figures: Figures,
    timestamps: Sequence[float],
    net_pnl: Sequence[float],
    capital: float,
    min_sharpe_days: int,
) -> None:
    figures.max_drawdown = max(drawdowns(net_pnl), default=0.0)
    figures.max_drawdown_share = figures.max_drawdown / capital
    figures.sharpe = sharpe_ratio(daily_returns(timestamps, net_pnl, capital), min_sharpe_days)
    figures.turnover = figures.traded_value / capital


def drawdowns(net_pnl: Sequence[float]) -> List[float]:
    """How far each point lies below the highest earlier point, the start (0) included."""
    peak = 0.0
    falls = []
    for value in net_pnl:
        peak = max(peak, value)
        falls.append(peak - value)
    return falls


def daily_returns(
    timestamps: Sequence[float], net_pnl: Sequence[float], capital: float
) -> List[float]:
    """Each day's change of the end-of-day net P&L, over the capital."""
    end_of_day: Dict[dt.date, float] = {}
    for timestamp, value in zip(timestamps, net_pnl):
        end_of_day[exchange_day(timestamp)] = value
    returns, previous = [], 0.0
    for value in end_of_day.values():
        returns.append((value - previous) / capital)
        previous = value
    return returns


def sharpe_ratio(
    returns: Sequence[float], min_days: int = DEFAULT_MIN_SHARPE_DAYS
) -> Optional[float]:
    """Annualised Sharpe ratio of daily returns; None with fewer than `min_days` (two at
    least) or no variation."""
    if len(returns) < max(2, min_days):
        return None
    deviation = statistics.stdev(returns)
    if deviation == 0:
        return None
    return statistics.mean(returns) / deviation * math.sqrt(TRADING_DAYS_PER_YEAR)
