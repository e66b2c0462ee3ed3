"""The replay engine: the period walked by a native loop on the caller's thread.

It loads the period (and the backfill period) through the tick feed's door
(`quorvel.modules.ticker.feed.load`), so it reads and writes the same cache
files and merges in the same order as the feed; then the native loop of
`quorvel.modules.replay.replay` walks the frame's rows (converted a slice at a
time, as the feed's sending thread reads them), builds each tick dict exactly
as that thread does, calls `Matcher.set_current_tick` and
`Matcher.match_deal`, takes the reports those queue, and calls the strategy.
The strategy's operations call `add_order`, `modify_order` and `cancel_order`
directly and take their reports at once with `pop_response`.  A tick of a
code in the account's `watched` set also goes to the desk before it is
matched and after its reports, as in the paced engine; a run that holds
nothing has none.  The loop writes each tick's row to the desk's quote
cursor, and builds the strategy's bars natively when it asks for them
(`quorvel.backtest.bars`).

Under market rules the frame is walked in slices cut at the sessions' closes
(zero-copy slices; the cuts found by a search of the sorted "ts" column), and
what is due at a close (`TradingRules.pass_closes`) is done between two
slices, before the first tick after it, as the paced engine does it.
"""

from __future__ import annotations

import bisect
import math
import time
from typing import Any, Callable, Dict, List, Optional

from quorvel.backtest.bars import bar_seconds, session_span
from quorvel.backtest.desks import DirectDesk, attached
from quorvel.backtest.run import BACKFILL_OVER_STATUS, END_STATUS, Run, timeline_rows
from quorvel.backtest.strategy import Strategy

# The decimals of a tick's "timestamp", as the feed rounds its "ts".
TIMESTAMP_DIGITS = 8


class _ReplayHooks:
    """What the native loop calls and reads for one phase (backfill or live) of a run."""

    def __init__(
        self,
        desk: DirectDesk,
        market_map: Dict[str, str],
        format_timestamp: Callable[[int, int], float],
        is_backfilling: bool,
        react: Optional[Callable[[Dict[str, Any]], None]],
        sample: Optional[Callable[[], None]],
        count: Callable[[int], None],
        bars: Any = None,
    ) -> None:
        self.market_map = market_map
        self.format_timestamp = format_timestamp
        self.is_backfilling = is_backfilling
        self.set_current_tick = desk.matcher.set_current_tick
        self.match_deal = desk.matcher.match_deal
        self.responses = desk.responses.queue
        self.take_reports = desk.take_reports
        self.react = react
        self.owed = desk.owed
        self.deliver = desk.deliver
        self.current = desk.current
        self.sample = sample
        self.sample_rows: List[int] = []  # rows of the slice after which to sample, ascending
        self.first_row = 0  # the slice's first row in the phase's frame
        self.count = count  # count(ticks of the phase done)
        # The account's codes whose ticks it must see, before and after matching.
        self.watched = desk.account.watched
        self.before_match = desk.before_match
        self.after_match = desk.after_match
        self.cursor = desk.quotes.cursor
        self.bars = bars  # the run's bar builder, or None: no bars
        self.on_bar = desk.strategy.on_bar
        self.session_span = session_span

    def checkpoint(self, done: int) -> None:
        """The native loop's count of the slice's ticks done."""
        self.count(self.first_row + done)


def _overrides(strategy: Strategy, hook: str) -> bool:
    return getattr(type(strategy), hook) is not getattr(Strategy, hook)


def run_replay(run: Run) -> None:
    from quorvel.modules.replay import replay as replay_module
    from quorvel.modules.ticker import feed
    from quorvel.modules.ticker import ticker as ticker_module

    ticker, strategy, result = run.ticker, run.strategy, run.result
    seconds = bar_seconds(strategy)
    bars = replay_module.bar_builder(seconds) if seconds else None
    backfill_frame = (
        feed.load(ticker, run.instruments, *result.backfill, None) if result.backfill else None
    )
    live_frame = feed.load(ticker, run.instruments, *result.period, None)
    backfill_rows = backfill_frame.height if backfill_frame is not None else 0
    total = backfill_rows + live_frame.height
    report = run.progress or (lambda done, known: None)
    report(0, total)
    desk = DirectDesk(run.matcher, run.markets, strategy, result, run.account, run.rules)

    def phase(is_backfilling: bool) -> _ReplayHooks:
        def count(number: int) -> None:
            if is_backfilling:
                result.backfill_ticks = number
            else:
                result.live_ticks = number
            report(result.backfill_ticks + result.live_ticks, total)

        hook = "warm_up" if is_backfilling else "on_tick"
        return _ReplayHooks(
            desk,
            ticker.code_market_map,
            ticker_module.format_nano_ts_to_second_ts,
            is_backfilling,
            getattr(strategy, hook) if _overrides(strategy, hook) else None,
            None if is_backfilling else lambda: result.sample(desk.current[0]["timestamp"]),
            count,
            bars,
        )

    def timestamp(ts: int) -> float:
        return ticker_module.format_nano_ts_to_second_ts(ts, TIMESTAMP_DIGITS)

    def walk(frame: Any, hooks: _ReplayHooks) -> None:
        sample_rows = timeline_rows(frame, run.equity_every) if hooks.sample is not None else []
        cuts = [0, *run.rules.cut_rows(frame["ts"], timestamp), frame.height]
        for start, end in zip(cuts, cuts[1:]):
            if start == end:  # an empty frame
                break
            run.rules.pass_closes(timestamp(frame["ts"][start]), desk)
            hooks.first_row = start
            hooks.sample_rows = [
                row - start
                for row in sample_rows[
                    bisect.bisect_left(sample_rows, start) : bisect.bisect_left(sample_rows, end)
                ]
            ]
            piece = frame.slice(start, end - start)
            desk.quotes.replaying(piece)
            replay_module.replay_ticks(piece, hooks)
        replay_module.close_bars(hooks)

    started = time.perf_counter()
    try:
        with attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            if backfill_frame is not None:
                walk(backfill_frame, phase(True))
                result.statuses.append(BACKFILL_OVER_STATUS)
            walk(live_frame, phase(False))
            run.rules.pass_closes(math.inf, desk)
            result.statuses.append(END_STATUS)
            strategy.on_end()
            desk.deliver()
    finally:
        result.replay_seconds = time.perf_counter() - started
