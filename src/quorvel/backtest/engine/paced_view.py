"""What the paced engine gives the strategy beside the feed's tick dicts: quotes and bars.

The quotes are read from the very frames the feed sends from, which the feed's door hands over
(`take_loads`); the ticks of a phase come in the order of its frame's rows, so counting them
moves the quote cursor.  The bars are built by `BarBuilder`, as the replay loop builds them.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import polars as pl

from quorvel.backtest import core
from quorvel.backtest.engine.bars import BarBuilder, bar_seconds, session_spans
from quorvel.backtest.engine.desks import Desk
from quorvel.backtest.engine.road import Run
from quorvel.backtest.errors import BacktestError
from quorvel.backtest.messages import Bar


class PacedView:
    """The quote cursor and the bars of one paced run, moved on by its driver."""

    def __init__(self, run: Run, desk: Desk) -> None:
        self.ticker = run.ticker
        self.periods = {True: run.result.backfill, False: run.result.period}
        self.loads: Dict[Tuple[str, str], List[pl.DataFrame]] = {}  # taken, not yet replayed
        self.quotes = desk.quotes
        self.phase: Optional[bool] = None  # whether the phase under way is the backfill
        seconds = bar_seconds(run.strategy)
        self.bars = BarBuilder(seconds, session_spans(run.rules.rules)) if seconds else None
        self.on_bar = run.strategy.on_bar
        self.deliver = desk.deliver

    def tick_arrived(self, tick: Dict[str, Any]) -> None:
        """Before a tick is matched: the quote cursor moved to its row (at the first tick of a
        phase, the first row of the phase's frame, once the bars of the phase before are given)."""
        if tick["is_backfilling"] is not self.phase:
            self.phase_over()
            self.phase = tick["is_backfilling"]
            self.quotes.replaying(self._frame_of(self.phase))
        self.quotes.cursor[0] += 1

    def tick_matched(self, tick: Dict[str, Any]) -> None:
        """Once a tick's reports are delivered, before the strategy sees it: the bars that its
        moment makes due are given, then the tick goes into its code's bar."""
        bars = self.bars
        if bars is None:
            return
        moment = tick["timestamp"]
        if moment >= bars.next_due:
            self._give(bars.take_due(moment))
        bars.add(tick["code"], moment, tick["close"], tick["qty"], tick["is_backfilling"])

    def phase_over(self) -> None:
        """The backfill or the run is over: every bar still open is given."""
        if self.bars is not None:
            self._give(self.bars.take_all())

    def _give(self, bars: List[Bar]) -> None:
        for bar in bars:
            self.on_bar(bar)
            self.deliver()

    def _frame_of(self, is_backfilling: bool) -> pl.DataFrame:
        feed = core.feed()

        period = self.periods[is_backfilling]
        for start_from, end_to, frame in feed.take_loads(self.ticker):
            self.loads.setdefault((start_from, end_to), []).append(frame)
        loaded = self.loads.get(period) if period is not None else None
        if not loaded:
            raise BacktestError(f"the tick feed sent ticks of {period} without loading them")
        return loaded.pop(0)
