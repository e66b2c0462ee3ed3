"""The replay road: every tick of a run through the matcher and the strategy, natively."""

from typing import Any, Callable, Dict, List, Optional, Set, Sized, Tuple

import polars as pl

from quorvel.modules.matcher.fills import QueueFills

class BarBuilder:
    """The bars a TickRoad builds of its ticks."""

    def __init__(
        self, seconds: float, session_span: Callable[[str, float], Tuple[float, float]]
    ) -> None: ...

class TickRoad:
    """The road of a tick: each tick arrives (the day before sampled at its end, the closes passed,
    the quote cursor moved on), is matched, its reports taken, its bars given, the strategy
    called and its reports delivered, and every equity_every-th live tick sampled."""

    @property
    def live_ticks(self) -> Any:
        """Live ticks taken so far."""
    @property
    def backfill_ticks(self) -> Any:
        """Backfill ticks taken so far."""
    def __init__(
        self,
        set_current_tick: Callable[[Dict[str, Any]], object],
        match_deal: Callable[[str, float, int, float], object],
        reports: Sized,
        take_reports: Callable[[], object],
        owed: Sized,
        deliver: Callable[[], object],
        current: List[Any],
        watched: Set[str],
        before_match: Callable[[Dict[str, Any]], object],
        after_match: Callable[[Dict[str, Any]], object],
        warm_up: Optional[Callable[[Dict[str, Any]], object]],
        on_tick: Optional[Callable[[Dict[str, Any]], object]],
        sample: Callable[[float, bool], bool],
        equity_every: int,
        trading_day_of: Callable[[float], object],
        day_rollover: float,
        pass_closes: Callable[[float], float],
        bars: Optional[BarBuilder] = None,
        on_bar: Optional[Callable[[Dict[str, Any]], object]] = None,
        progress: Optional[Callable[[int], object]] = None,
        cursor: Any = None,
        fills: Optional[QueueFills] = None,
    ) -> None: ...
    def replay(
        self,
        frame: pl.DataFrame,
        market_map: Dict[str, str],
        format_timestamp: Callable[[int, int], float],
        is_backfilling: bool,
    ) -> None:
        """Take the rows of `frame` (a tick frame: code, ts, close, volume, tick_type) down the road,
        each as the feed's tick dict of its phase (market_map names each code's market,
        format_timestamp makes its timestamp)."""
    def take(self, tick: Dict[str, Any]) -> None:
        """Take one tick dict the feed sent down the road."""
    def follow(self, frame: pl.DataFrame) -> None:
        """The frame the ticks to take() come from, from its first row on: a fill model reads their quotes."""
    def wake(self, moment: float) -> None:
        """Something is due at `moment` besides the closes: pass_closes is asked at the first tick after it."""
    def close_bars(self) -> None:
        """Give every bar still open to on_bar (the end of a phase); later ticks start new bars."""
    def settle(self) -> None:
        """Sample the last live tick as its trading day's end, unless it was sampled (the run's end)."""
