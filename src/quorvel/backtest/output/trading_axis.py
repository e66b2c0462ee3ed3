"""An x axis of trading time for matplotlib: it counts the points of a run's timeline, so that
nights, weekends and holidays leave no gaps, and is labelled with dates that suit its span.

The ticks are those matplotlib's `AutoDateLocator` picks for the visible
span (hours for a day, days for a week, months for a year), each put on the
first point at or after its time, and the span's first point; they are
labelled as `ConciseDateFormatter` labels them: only what changes from tick
to tick, the rest once at the end.
"""

from __future__ import annotations

import bisect
import datetime as dt
import math
from typing import Any, Dict, List, Optional, Sequence

import matplotlib.dates as mdates
from matplotlib.ticker import Formatter, FuncFormatter, Locator

_MOST_TICKS = 9


def trading_time_axis(axes: Any, times: Sequence[Any], labelled: bool) -> None:
    """Date ticks and grid lines on `axes`, whose x values are the indexes of `times`
    (datetimes, ascending); tick labels only where `labelled`."""
    locator = TradingTimeLocator(times)
    axes.xaxis.set_major_locator(locator)
    axes.xaxis.set_major_formatter(TradingTimeFormatter(locator))
    axes.grid(axis="x", color="grey", linewidth=0.4, linestyle=":")
    axes.tick_params(axis="x", labelbottom=labelled)
    axes.yaxis.set_major_formatter(
        FuncFormatter(lambda value, _: f"{value:,.0f}" if abs(value) >= 100 else f"{value:g}")
    )
    if len(times) > 1:
        axes.set_xlim(0, len(times) - 1)


class TradingTimeLocator(Locator):
    """Ticks on the first point of the visible span and on the first point at or after each
    time `AutoDateLocator` picks for it; each stands for its point's time cut to the unit
    of those times (the day of a daily tick, the month of a monthly one)."""

    def __init__(self, times: Sequence[Any]) -> None:
        self.dates: List[float] = [float(date) for date in mdates.date2num(times)] if times else []
        self.date_locator = mdates.AutoDateLocator(minticks=4, maxticks=_MOST_TICKS)
        self.tick_dates: Dict[int, float] = {}  # the time each tick stands for, by its point

    def __call__(self) -> List[int]:
        assert self.axis is not None, "a locator is called once it is set on an axis"
        low, high = self.axis.get_view_interval()
        return self.tick_values(low, high)

    def tick_values(self, vmin: float, vmax: float) -> List[int]:
        if not self.dates:
            return []
        first = min(max(math.ceil(vmin), 0), len(self.dates) - 1)
        last = min(max(math.floor(vmax), 0), len(self.dates) - 1)
        self.tick_dates = {}
        if first >= last:
            return [first]
        span = mdates.num2date(self.dates[first]), mdates.num2date(self.dates[last])
        located = [mdates.num2date(value) for value in self.date_locator.tick_values(*span)]
        # A time in a gap (a night, a weekend) falls on the point after the gap.
        points = {first, *(bisect.bisect_left(self.dates, mdates.date2num(t)) for t in located)}
        shown = sorted(point for point in points if first <= point <= last)
        # A tick closer than this to the next is dropped: a short stretch (a night session's
        # hours after midnight, the first point of a span) cannot take a label of its own.
        least_gap = (last - first) / (3 * _MOST_TICKS)
        kept = [p for p, after in zip(shown, [*shown[1:], math.inf]) if after - p >= least_gap]
        unit = _unit_of(located)
        for point in kept:
            self.tick_dates[point] = mdates.date2num(_cut(mdates.num2date(self.dates[point]), unit))
        return kept

    def date_at(self, point: float) -> float:
        """The time a tick at `point` stands for: its locator's, else the point's own."""
        index = min(max(round(point), 0), len(self.dates) - 1)
        return self.tick_dates.get(index, self.dates[index])


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
