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

Both engines build them natively, on the road of each tick (`quorvel.modules.replay.replay.
BarBuilder`), from the spans `session_spans` gives.
"""

from __future__ import annotations

import functools
import math
from typing import Callable, Tuple

from quorvel import market
from quorvel.backtest.errors import BacktestError
from quorvel.backtest.strategy.base import Strategy

__all__ = ["bar_seconds", "session_span", "session_spans"]

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


def session_span(code: str, moment: float, rules: market.MarketRules) -> Tuple[float, float]:
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
