"""An x axis of trading time for matplotlib: it counts the points of a run's timeline, so that
nights, weekends and holidays leave no gaps, and is labelled with dates that suit its span.

The ticks are those matplotlib's `AutoDateLocator` picks for the visible
span (hours for a day, days for a week, months for a year), each put on the
first point at or after its time, and labelled as `ConciseDateFormatter`
labels them: only what changes from tick to tick, the rest once at the end.
"""

from __future__ import annotations

import bisect
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
    """Ticks at the times `AutoDateLocator` picks for the visible span, each on the first point
    at or after it; remembers the time each tick stands for."""

    def __init__(self, times: Sequence[Any]) -> None:
        self.dates: List[float] = [float(date) for date in mdates.date2num(times)] if times else []
        self.date_locator = mdates.AutoDateLocator(minticks=4, maxticks=_MOST_TICKS)
        self.tick_dates: Dict[int, float] = {}  # the time each tick stands for, by its point

    def __call__(self) -> List[int]:
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
        # A tick closer than this to the next one is dropped: the points of a short stretch
        # (a night session's hours after midnight, say) cannot take a label of their own.
        least_gap = (last - first) / (3 * _MOST_TICKS)
        points: Dict[int, float] = {}
        for date in self.date_locator.tick_values(*span):
            point = bisect.bisect_left(self.dates, date)
            if first <= point <= last:
                # Times in a gap (a night, a weekend) share the point after it: the last
                # of them, the nearest to it, names it.
                points[point] = date
        kept = sorted(points)
        kept = [p for p, after in zip(kept, [*kept[1:], math.inf]) if after - p >= least_gap]
        self.tick_dates = {point: points[point] for point in kept}
        return kept

    def date_at(self, point: float) -> float:
        """The time a tick at `point` stands for: its locator's, else the point's own."""
        index = min(max(round(point), 0), len(self.dates) - 1)
        return self.tick_dates.get(index, self.dates[index])


class TradingTimeFormatter(Formatter):
    """Labels the ticks of a `TradingTimeLocator` with the times they stand for."""

    def __init__(self, locator: TradingTimeLocator) -> None:
        self.locator = locator
        self.concise = mdates.ConciseDateFormatter(locator.date_locator)

    def format_ticks(self, values: Sequence[float]) -> List[str]:
        return list(self.concise.format_ticks([self.locator.date_at(v) for v in values]))

    def __call__(self, x: float, pos: Optional[int] = None) -> str:
        return str(self.concise(self.locator.date_at(x), pos))

    def get_offset(self) -> str:
        return str(self.concise.get_offset())
