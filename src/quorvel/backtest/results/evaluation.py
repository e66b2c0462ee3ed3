"""Money and metrics of a run, in NTD, computed from its ledger and its timeline.

The fills are valued in NTD by the run's ledger (`quorvel.backtest.account.ledger`).

Definitions:

* A stock sell that is a current-day trade (`quorvel.backtest.account.ledger.DayTrades`)
  pays the day-trade tax on that part; ``day_trade_qty`` marks the lots of
  each fill that belong to a day trade, on both sides.
* gross P&L = realised + unrealised (open positions marked to the last live
  price) + dividends (earned, or owed by a short, on their ex-dates); net P&L =
  gross - fees - taxes.  Closing an open position would
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
  belongs to, by the run's calendar); the Sharpe ratio is their mean
  over their standard deviation, times the square root of 252, and None with
  fewer days than the run's minimum (20 by default: a handful of days says
  little about a year) or no variation.
* Turnover: the traded value of both sides in NTD over the capital.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import math
import statistics
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from quorvel.backtest.account.ledger import Figures, Ledger, HoldingEvent, RoundTrip, ValuedFill
from quorvel.backtest.settings.costs import CostModel, DayTrading
from quorvel.backtest.settings.run import DEFAULT_MIN_SHARPE_DAYS
from quorvel.market.contracts import Contract

TRADING_DAYS_PER_YEAR = 252

# The trading day a moment (broker seconds) counts for, by the run's calendar.
DayOf = Callable[[float], dt.date]


class Sample(NamedTuple):
    """A point of the run's timeline: the time of a live tick, the last live price
    of every code so far, and how many reports the exchange had produced by then."""

    timestamp: float
    prices: Dict[str, float]
    reports: int


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


def revalued(
    reports: Sequence[Mapping[str, Any]],
    timeline: Sequence[Sample],
    contracts: Mapping[str, Contract],
    costs: CostModel,
    day_trading: DayTrading,
    events: Sequence[Tuple[int, int, HoldingEvent]] = (),
) -> Tuple[Ledger, EquityCurve]:
    """`reports` and `events` (each with how many reports and samples came before it, as
    `Ledger.events` holds them) valued again in a new ledger with `costs`, in the order
    they came, and the net P&L at every point of `timeline` with them."""
    ledger = Ledger(contracts, costs, day_trading)
    curve = EquityCurve(net_pnl={code: [] for code in contracts})
    pending = collections.deque(events)

    def take_before(sample: float, report_count: int) -> None:
        while True:
            if pending and pending[0][1] <= sample and pending[0][0] <= ledger.reports:
                _, samples, entry = pending.popleft()
                ledger.enter_event(entry, samples)
            elif ledger.reports < report_count:
                ledger.take(reports[ledger.reports])
            else:
                return

    for number, sample in enumerate(timeline):
        take_before(number, sample.reports)
        curve.timestamps.append(sample.timestamp)
        for code, value in ledger.net_pnl(sample.prices).items():
            curve.net_pnl[code].append(value)
    take_before(math.inf, len(reports))
    return ledger, curve


def evaluate(
    ledger: Ledger,
    curve: EquityCurve,
    last_prices: Mapping[str, float],
    capital: float,
    day_of: DayOf,
    min_sharpe_days: int = DEFAULT_MIN_SHARPE_DAYS,
) -> Evaluation:
    """The figures of `ledger`'s fills and of `curve`, open positions marked at `last_prices`;
    the daily returns count trading days by `day_of`, and a Sharpe ratio needs
    `min_sharpe_days` of them.  The ledger is read, not changed."""
    per_code = {}
    for code, book in ledger.books.items():
        figures = dataclasses.replace(book.figures)
        figures.unrealized = book.position.unrealized_pnl(last_prices.get(code))
        _count_round_trips(figures, book.round_trips)
        _add_curve_figures(
            figures, curve.timestamps, curve.net_pnl[code], capital, min_sharpe_days, day_of
        )
        per_code[code] = figures
    round_trips = sorted(
        (trip for book in ledger.books.values() for trip in book.round_trips),
        key=lambda t: t.closed,
    )
    total = Figures()
    for figures in per_code.values():
        _add_sums(total, figures)
    _count_round_trips(total, round_trips)
    _add_curve_figures(total, curve.timestamps, curve.total(), capital, min_sharpe_days, day_of)
    trading_days = len({day_of(timestamp) for timestamp in curve.timestamps})
    return Evaluation(
        list(ledger.fills), round_trips, curve, per_code, total, trading_days, min_sharpe_days
    )


def joined(
    evaluations: Sequence[Evaluation],
    capital: float,
    day_of: DayOf,
    min_sharpe_days: int = DEFAULT_MIN_SHARPE_DAYS,
) -> Evaluation:
    """Runs one after another, each started flat with `capital`, evaluated as one run: each
    code's net P&L goes on from where the run before left it, the fills and round trips follow
    in order, the sums are added, and the drawdown, the Sharpe ratio, the win rate and the
    turnover are computed again over the whole.  A position a run held at its end counts as
    that run's unrealised P&L: the next run starts without it."""
    codes = list(dict.fromkeys(code for run in evaluations for code in run.per_code))
    curve = EquityCurve(net_pnl={code: [] for code in codes})
    per_code = {code: Figures() for code in codes}
    carried = dict.fromkeys(codes, 0.0)
    for run in evaluations:
        curve.timestamps.extend(run.curve.timestamps)
        points = len(run.curve.timestamps)
        for code in codes:
            values = run.curve.net_pnl.get(code, [0.0] * points)
            curve.net_pnl[code].extend(carried[code] + value for value in values)
            if code in run.per_code:
                _add_sums(per_code[code], run.per_code[code])
                carried[code] += run.per_code[code].net
    round_trips = [trip for run in evaluations for trip in run.round_trips]
    total = Figures()
    for code, figures in per_code.items():
        _add_sums(total, figures)
        _count_round_trips(figures, [trip for trip in round_trips if trip.code == code])
        _add_curve_figures(
            figures, curve.timestamps, curve.net_pnl[code], capital, min_sharpe_days, day_of
        )
    _count_round_trips(total, round_trips)
    _add_curve_figures(total, curve.timestamps, curve.total(), capital, min_sharpe_days, day_of)
    trading_days = len({day_of(timestamp) for timestamp in curve.timestamps})
    fills = [fill for run in evaluations for fill in run.fills]
    return Evaluation(fills, round_trips, curve, per_code, total, trading_days, min_sharpe_days)


def _add_sums(total: Figures, figures: Figures) -> None:
    """Add the figures that are sums (money, fills, traded value) of `figures` to `total`."""
    for name in ("realized", "unrealized", "dividends", "fees", "taxes", "fills", "traded_value"):
        setattr(total, name, getattr(total, name) + getattr(figures, name))


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
    day_of: DayOf,
) -> None:
    figures.max_drawdown = max(drawdowns(net_pnl), default=0.0)
    figures.max_drawdown_share = figures.max_drawdown / capital
    returns = daily_returns(timestamps, net_pnl, capital, day_of)
    figures.sharpe = sharpe_ratio(returns, min_sharpe_days)
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
    timestamps: Sequence[float], net_pnl: Sequence[float], capital: float, day_of: DayOf
) -> List[float]:
    """Each trading day's change of the end-of-day net P&L, over the capital."""
    end_of_day: Dict[dt.date, float] = {}
    for timestamp, value in zip(timestamps, net_pnl):
        end_of_day[day_of(timestamp)] = value
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
