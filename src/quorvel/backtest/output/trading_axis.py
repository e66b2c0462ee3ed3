"""An x axis of trading time for matplotlib: its values are trading seconds since the run's
first opening (`TradingTime.position`), so that an hour traded takes the same room in any
month, and nights, weekends and holidays take none; it is labelled with dates that suit its
span.

The ticks are those matplotlib's `AutoDateLocator` picks for the visible
span (hours for a day, days for a week, months for a year), each put where
its time lies in trading time (a time between sessions at the next
opening), and the span's start; they are labelled as `ConciseDateFormatter`
labels them: only what changes from tick to tick, the rest once at the end.
"""

from __future__ import annotations

import datetime as dt
import math
from typing import Any, Dict, List, Optional, Sequence

import matplotlib.dates as mdates
from matplotlib.ticker import Formatter, FuncFormatter, Locator

from quorvel.backtest.results.trading_time import TradingTime
from quorvel.market.calendar import broker_seconds, wall_clock

_MOST_TICKS = 9


def trading_time_axis(axes: Any, trading_time: TradingTime, labelled: bool) -> None:
    """Date ticks and grid lines on `axes`, whose x values are positions in `trading_time`;
    tick labels only where `labelled`."""
    locator = TradingTimeLocator(trading_time)
    axes.xaxis.set_major_locator(locator)
    axes.xaxis.set_major_formatter(TradingTimeFormatter(locator))
    axes.grid(axis="x", color="grey", linewidth=0.4, linestyle=":")
    axes.tick_params(axis="x", labelbottom=labelled)
    axes.yaxis.set_major_formatter(
        FuncFormatter(lambda value, _: f"{value:,.0f}" if abs(value) >= 100 else f"{value:g}")
    )
    if trading_time.total > 0:
        axes.set_xlim(0, trading_time.total)


class TradingTimeLocator(Locator):
    """Ticks at the start of the visible span and where each time `AutoDateLocator` picks for
    it lies in trading time; each stands for the moment there cut to the unit of those times
    (the day of a daily tick, the month of a monthly one)."""

    def __init__(self, trading_time: TradingTime) -> None:
        self.trading_time = trading_time
        self.date_locator = mdates.AutoDateLocator(minticks=4, maxticks=_MOST_TICKS)
        self.tick_dates: Dict[float, float] = {}  # the time each tick stands for, by position

    def __call__(self) -> List[float]:
        assert self.axis is not None, "a locator is called once it is set on an axis"
        low, high = self.axis.get_view_interval()
        return self.tick_values(low, high)

    def tick_values(self, vmin: float, vmax: float) -> List[float]:
        time = self.trading_time
        if time.total <= 0:
            return []
        first, last = min(max(vmin, 0.0), time.total), min(max(vmax, 0.0), time.total)
        self.tick_dates = {}
        if first >= last:
            return [first]
        span = wall_clock(time.moment(first)), wall_clock(time.moment(last))
        located = [mdates.num2date(value) for value in self.date_locator.tick_values(*span)]
        # A time between sessions (a night, a weekend) falls on the next opening.
        positions = {first, *(time.position(broker_seconds(moment)) for moment in located)}
        shown = sorted(position for position in positions if first <= position <= last)
        # A tick closer than this to the next is dropped: a short stretch (a night session's
        # hours after midnight, the start of a span) cannot take a label of its own.
        least_gap = (last - first) / (3 * _MOST_TICKS)
        kept = [p for p, after in zip(shown, [*shown[1:], math.inf]) if after - p >= least_gap]
        unit = _unit_of(located)
        for position in kept:
            moment = wall_clock(time.moment(position))
            self.tick_dates[position] = mdates.date2num(_cut(moment, unit))
        return kept

    def date_at(self, position: float) -> float:
        """The time a tick at `position` stands for: its locator's, else the moment there."""
        if position in self.tick_dates:
            return self.tick_dates[position]
        return float(mdates.date2num(wall_clock(self.trading_time.moment(position))))


# The fields of a time from the largest, and the value each starts at.
_FIELDS = (("year", 1), ("month", 1), ("day", 1), ("hour", 0), ("minute", 0), ("second", 0))


def _unit_of(times: Sequence[dt.datetime]) -> int:
    """How many of `_FIELDS` the times need: 2 (to the month) for month starts, 3 (to the day)
    for midnights, and so on; 5 (to the minute) without times to tell."""
    if not times:
        return 5
    needed = 1
    for index, (name, start) in enumerate(_FIELDS):
        if any(getattr(time, name) != start for time in times):
            needed = index + 1
    return needed


def _cut(time: dt.datetime, unit: int) -> dt.datetime:
    """`time` without its fields past the first `unit` of `_FIELDS`."""
    past_unit: Dict[str, Any] = {name: start for name, start in _FIELDS[unit:]}
    return time.replace(microsecond=0, **past_unit)


class TradingTimeFormatter(Formatter):
    """Labels the ticks of a `TradingTimeLocator` with the times they stand for."""

    def __init__(self, locator: TradingTimeLocator) -> None:
        self.locator = locator
        self.concise = mdates.ConciseDateFormatter(locator.date_locator)

    def format_ticks(self, values: Sequence[float]) -> List[str]:
        dates = [self.locator.date_at(value) for value in values]
        if len(dates) == 1:  # nothing changes from tick to tick: the time in full
            return [mdates.num2date(dates[0]).strftime("%Y-%m-%d %H:%M")]
        return list(self.concise.format_ticks(dates)) if dates else []

    def __call__(self, x: float, pos: Optional[int] = None) -> str:
        return str(self.concise(self.locator.date_at(x), pos))

    def get_offset(self) -> str:
        return str(self.concise.get_offset())
