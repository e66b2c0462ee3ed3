"""What the charts of a run draw, the PNG plot and the report page alike: net P&L and drawdown
along the run's timeline, each code's price along its price path, and its buys and sells."""

from __future__ import annotations

import colorsys
import datetime as dt
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from quorvel.backtest.account.ledger import DIVIDEND, SHARES, ValuedFill
from quorvel.backtest.results.evaluation import Evaluation, drawdowns
from quorvel.backtest.results.result import BacktestResult
from quorvel.constant import Action

# The Tableau colours, matplotlib's tab10 and then tab20's light shades: twenty distinct colours.
_CODE_COLOURS = (
    "#1f77b4",
    "#ff7f0e",
    "#2ca02c",
    "#d62728",
    "#9467bd",
    "#8c564b",
    "#e377c2",
    "#7f7f7f",
    "#bcbd22",
    "#17becf",
    "#aec7e8",
    "#ffbb78",
    "#98df8a",
    "#ff9896",
    "#c5b0d5",
    "#c49c94",
    "#f7b6d2",
    "#c7c7c7",
    "#dbdb8d",
    "#9edae5",
)


@dataclass(frozen=True)
class ChartSeries:
    """A run's curves, one value per point of its timeline (`timestamps`), each code's price
    path (`BacktestResult.price_path`), and its fills by code.

    Times are broker seconds; money is in NTD and prices in quote units.
    """

    timestamps: List[float]  # the time of each point of the timeline
    net_pnl: Dict[str, List[float]]
    total: List[float]
    drawdown: List[float]  # the total's fall from its earlier peak, as a negative amount
    prices: Dict[str, Tuple[List[float], List[float]]]  # each code's times and prices
    buys: Dict[str, List[ValuedFill]]
    sells: Dict[str, List[ValuedFill]]

    @property
    def codes(self) -> List[str]:
        return list(self.net_pnl)


def chart_series(result: BacktestResult, evaluation: Optional[Evaluation] = None) -> ChartSeries:
    """The series of `result`'s charts, from `evaluation` (by default the result's own)."""
    evaluation = evaluation or result.evaluate()
    curve = evaluation.curve
    total = curve.total()
    codes = list(curve.net_pnl)
    # A dividend's or a stock dividend's entry is no trade at a price: not drawn.
    traded = [fill for fill in evaluation.fills if fill.kind not in (DIVIDEND, SHARES)]
    fills_of = {code: [fill for fill in traded if fill.code == code] for code in codes}
    return ChartSeries(
        timestamps=list(curve.timestamps),
        net_pnl=curve.net_pnl,
        total=total,
        drawdown=[-fall for fall in drawdowns(total)],
        prices={code: result.price_path.of(code) for code in codes},
        buys={code: _side(fills, Action.BUY) for code, fills in fills_of.items()},
        sells={code: _side(fills, Action.SELL) for code, fills in fills_of.items()},
    )


def _side(fills: Sequence[ValuedFill], action: Action) -> List[ValuedFill]:
    return [fill for fill in fills if fill.action == action.value]


def wall_clock(timestamp: float) -> dt.datetime:
    """An exchange timestamp (local wall-clock time counted as UTC) as a naive local datetime."""
    return dt.datetime(1970, 1, 1) + dt.timedelta(seconds=timestamp)


def chart_title(result: BacktestResult) -> str:
    """The heading of a run's charts; a partial run's says so on a second line."""
    title = (
        f"{result.strategy}: net P&L in NTD over a capital of {result.settings.capital:,.0f} NTD, "
        f"{result.period[0]} to {result.period[1]}"
    )
    return title if result.stopped is None else f"{title}\npartial: {result.stopped}"


def closed_stretches(result: BacktestResult) -> List[Tuple[dt.datetime, dt.datetime]]:
    """The stretches of the period in which none of the run's codes trades (nights, weekends,
    holidays), each from a second after one session's close to a second before the next
    opening, so that a chart can leave them out.  The sessions are those of the run's
    calendar (`BacktestResult.trading_time`)."""
    second = dt.timedelta(seconds=1)
    return [
        (wall_clock(close) + second, wall_clock(opening) - second)
        for close, opening in result.trading_time.gaps()
    ]


def code_colours(count: int) -> List[str]:
    """`count` distinct colours for as many codes: the Tableau colours, or as many evenly
    spaced hues when there are more codes than those."""
    if count <= len(_CODE_COLOURS):
        return list(_CODE_COLOURS[:count])
    hues = [colorsys.hsv_to_rgb(index / count, 0.75, 0.85) for index in range(count)]
    return ["#" + "".join(f"{round(part * 255):02x}" for part in rgb) for rgb in hues]
