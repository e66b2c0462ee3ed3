"""Bars: the ticks of each code summed up over intervals of a strategy's `bar_seconds`.

A bar holds the ticks of one code whose timestamps lie in [start, end), with end = start +
bar_seconds; the intervals are counted from the open of the code's trading session (the
sessions of the run's market rules; Taiwan's in a run without rules), so that 60-second bars
of a stock start at 09:00:00 and those of a TAIEX future's night session at 15:00:00.  An
interval without a tick has no bar.  A tick outside every session (a print after the close)
falls into the gap between two sessions, whose intervals are counted from the close before it.

A bar falls due at its end, or at its session's close if that comes first (both ends of a
session belong to it, so a bar of the closing auction falls due just after the close).  It is
given to `on_bar` before the first tick, of any code, at or after that moment: once that tick
is matched and its reports delivered, right before its `on_tick` (or `warm_up`).  The bars
still open when the backfill ends and when the run ends are given then: before the first live
tick, before `on_end`.  Bars given together come by start, then by code.

The replay engine builds the bars natively (`quorvel.modules.replay.replay.bar_builder`); the
paced engine with `BarBuilder` here, which takes the same steps in the same order.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Callable, Dict, List, Tuple

from quorvel import market
from quorvel.backtest.errors import BacktestError
from quorvel.backtest.messages import Bar
from quorvel.backtest.strategy.base import Strategy

__all__ = ["BarBuilder", "bar_seconds", "session_span", "session_spans"]

# session_span(code, moment) -> (origin, due): where the span holding `moment` starts counting
# its intervals, and the first moment after it.
SessionSpan = Callable[[str, float], Tuple[float, float]]


def bar_seconds(strategy: Strategy) -> float:
    """How long the strategy's bars last; 0 for none: `bar_seconds` is 0, or it has no `on_bar`."""
    seconds = strategy.bar_seconds
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise BacktestError(
            f"{type(strategy).__name__}.bar_seconds must be a number of seconds, not {seconds!r}"
        )
    if not 0 <= seconds < math.inf:
        raise BacktestError(
            f"{type(strategy).__name__}.bar_seconds must be 0 (no bars) or a positive, finite "
            f"number of seconds, not {seconds!r}"
        )
    overridden = type(strategy).on_bar is not Strategy.on_bar
    return float(seconds) if overridden else 0.0


def session_span(
    code: str, moment: float, rules: market.MarketRules = market.TAIWAN
) -> Tuple[float, float]:
    """The span of `code`'s moments that holds `moment` (broker seconds) under `rules`: for a
    moment in a session, its open and the first moment after its close; between two sessions,
    the close before and the open after.  A code without sessions has one span, counted from
    the epoch (so its bars start on the wall clock's whole intervals)."""
    day = rules.trading_day_of(moment)
    days = (rules.previous_trading_days(day, 1)[0], day, rules.next_trading_day(day))
    sessions = [session for near in days for session in rules.sessions(code, near)]
    if not sessions:
        return 0.0, math.inf
    for session in sessions:
        if session.open_timestamp <= moment <= session.close_timestamp:
            return session.open_timestamp, math.nextafter(session.close_timestamp, math.inf)
    close_before = max(s.close_timestamp for s in sessions if s.close_timestamp < moment)
    open_after = min(s.open_timestamp for s in sessions if s.open_timestamp > moment)
    return close_before, open_after


def session_spans(rules: market.MarketRules) -> SessionSpan:
    """`session_span` under `rules`, as the bar builders call it."""
    return functools.partial(session_span, rules=rules)


@dataclass
class _Building:
    """One code's span and the bar being built in it."""

    origin: float = math.inf  # the span; none at first
    span_due: float = -math.inf
    is_open: bool = False
    start: float = 0.0
    end: float = 0.0
    due: float = 0.0
    open: float = 0.0
    high: float = 0.0
    low: float = 0.0
    close: float = 0.0
    volume: int = 0
    ticks: int = 0
    is_backfilling: bool = False


class BarBuilder:
    """The bars of the ticks added, per code, as the replay loop builds them natively."""

    def __init__(self, seconds: float, span_of: SessionSpan = session_span) -> None:
        if not 0 < seconds < math.inf:
            raise ValueError("a bar lasts a positive, finite number of seconds")
        self.seconds = seconds
        self.span_of = span_of
        self.building: Dict[str, _Building] = {}
        self.next_due = math.inf  # the earliest due of the bars being built

    def take_due(self, moment: float) -> List[Bar]:
        """The bars due at `moment`, taken out, by start, then by code."""
        due = [
            (bar.start, code)
            for code, bar in self.building.items()
            if bar.is_open and bar.due <= moment
        ]
        bars = [self._bar(code) for _, code in sorted(due)]
        self.next_due = min(
            (bar.due for bar in self.building.values() if bar.is_open), default=math.inf
        )
        return bars

    def take_all(self) -> List[Bar]:
        """Every bar, taken out as `take_due` gives them; the spans are forgotten."""
        bars = self.take_due(math.inf)
        for bar in self.building.values():
            bar.origin, bar.span_due = math.inf, -math.inf
        return bars

    def add(
        self, code: str, moment: float, price: float, volume: int, is_backfilling: bool
    ) -> None:
        """Add a tick to its code's bar, once the bars due at its moment are taken out."""
        bar = self.building.get(code)
        if bar is None:
            bar = self.building[code] = _Building()
        if bar.is_open:
            if moment < bar.start or moment >= bar.due:
                raise RuntimeError(
                    "a tick came out of time order, or before the bars due at its moment were taken"
                )
            bar.high = max(bar.high, price)
            bar.low = min(bar.low, price)
            bar.close = price
            bar.volume += volume
            bar.ticks += 1
            return
        if not bar.origin <= moment < bar.span_due:
            bar.origin, bar.span_due = self._span(code, moment)
        start = bar.origin + math.floor((moment - bar.origin) / self.seconds) * self.seconds
        # Where rounding put the moment outside its interval, the neighbouring one holds it.
        if start > moment:
            start -= self.seconds
        if start + self.seconds <= moment:
            start += self.seconds
        bar.start, bar.end = start, start + self.seconds
        bar.due = min(bar.end, bar.span_due)
        bar.open = bar.high = bar.low = bar.close = price
        bar.volume, bar.ticks = volume, 1
        bar.is_backfilling = is_backfilling
        bar.is_open = True
        self.next_due = min(self.next_due, bar.due)

    def _span(self, code: str, moment: float) -> Tuple[float, float]:
        span = self.span_of(code, moment)
        if type(span) is not tuple or len(span) != 2:
            raise TypeError("session_span(code, moment) must give a tuple (origin, due)")
        origin, due = float(span[0]), float(span[1])
        if not origin <= moment < due:
            raise ValueError(
                f"session_span({code!r}, {moment!r}) gave {span!r}, a span that does not hold "
                "the moment"
            )
        return origin, due

    def _bar(self, code: str) -> Bar:
        bar = self.building[code]
        bar.is_open = False
        return {
            "code": code,
            "start": bar.start,
            "end": bar.end,
            "open": bar.open,
            "high": bar.high,
            "low": bar.low,
            "close": bar.close,
            "volume": bar.volume,
            "ticks": bar.ticks,
            "is_backfilling": bar.is_backfilling,
        }
