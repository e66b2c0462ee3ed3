"""The paced engine: the live-like road through the tick feed's threads.

1. `Ticker.send_ticks` loads the period (and a backfill period) and starts
   the sending thread;
2. `Ticker.pop_tick` hands over the next tick, or a status dict under
   "darq_status" (backfill over, run ended);
3. what is due at the sessions' closes passed since the last tick is done
   (`TradingRules.pass_closes`: day orders expired, reference prices moved
   on); then `Matcher.set_current_tick` and `Matcher.match_deal` fill or
   expire the pending orders of the tick's code; the deal and cancel reports
   they queue are taken at once with `Matcher.pop_response`.  A tick of a
   code the account watches goes to the desk before matching and after its
   reports;
4. the strategy sees the tick; its operations are posted through
   `Matcher.add_pending_order_queue`, and the driver waits for the intake
   thread's reports of each (it knows their number before posting), so that
   every order is in the book before the next tick is matched;
5. `Ticker.allow_next_tick` releases the next tick.

Quotes and bars (`PacedView`) follow the ticks: the quote cursor moves on as
a tick arrives, and the bars a tick makes due are given before the strategy
sees it, as in the replay engine.

The sending thread converts a tick only once it holds a permit.  The driver
keeps `window` permits granted ahead, so the thread prepares up to that many
ticks while the driver works; ``window=1`` gives the strictly paced replay.
The permits ahead are granted as the loads make ticks known, never more than
the run has ticks.

Unlike the replay engine, this engine loads the whole period before its first
tick, as `Ticker.send_ticks` does: its memory grows with the period's length
(about 250 bytes a tick at the peak, 2.5 GiB for 10 million ticks).
"""

from __future__ import annotations

import math
import threading
import time
from typing import Any, Optional

from quorvel.backtest.engine.desks import QueuedDesk, attached
from quorvel.backtest.engine.lifecycle import Watchdog, observed_feed
from quorvel.backtest.engine.paced_view import PacedView
from quorvel.backtest.engine.road import BACKFILL_OVER_STATUS, END_STATUS, Progress, Run, same_day
from quorvel.backtest.errors import BacktestError


def run_paced(run: Run) -> None:
    ticker, strategy, result = run.ticker, run.strategy, run.result
    with Watchdog(run.stall_timeout, ticker, run.matcher) as watchdog:
        desk = QueuedDesk(
            run.matcher, run.markets, strategy, result, run.account, run.rules, watchdog=watchdog
        )
        view = PacedView(run, desk)
        loaded = _LoadedDays(ticker, result.window, watchdog, run.progress)
        with observed_feed(ticker, loaded, run.stall_timeout):
            backfill_from, backfill_to = result.backfill or (None, None)
            with attached(strategy, desk):
                strategy.on_start()
                desk.deliver()
                loading = time.perf_counter()
                ticker.send_ticks(run.instruments, *result.period, backfill_from, backfill_to)
                started = time.perf_counter()
                result.load_seconds = started - loading
                try:
                    _paced_ticks(
                        ticker, desk, view, watchdog, run.progress, loaded, run.equity_every
                    )
                    strategy.on_end()
                    desk.deliver()
                finally:
                    result.replay_seconds = time.perf_counter() - started


class _LoadedDays:
    """Watches the feed's loads day by day (the backfill thread's too): counts
    the ticks known so far for the progress, grants the window's permits as
    ticks become known, so that no more are queued than the run has ticks,
    and beats the watchdog, so that a long load is not taken for a stall."""

    def __init__(
        self, ticker: Any, window: int, watchdog: Watchdog, progress: Optional[Progress]
    ) -> None:
        self.ticker = ticker
        self.watchdog = watchdog
        self.progress = progress
        self.total = 0
        self._permits_left = window - 1  # the constructor granted the first permit
        self._lock = threading.Lock()  # the live load and the backfill thread's add at once

    def __call__(self, code: str, date: str, rows: int) -> None:
        self.watchdog.beat()
        with self._lock:
            self.total += rows
            total = self.total
            permits = min(self._permits_left, rows)
            self._permits_left -= permits
        for _ in range(permits):
            self.ticker.allow_next_tick()
        if self.progress is not None:
            self.progress(0, total)


def _paced_ticks(
    ticker: Any,
    desk: QueuedDesk,
    view: PacedView,
    watchdog: Watchdog,
    progress: Optional[Progress],
    loaded: _LoadedDays,
    equity_every: int,
) -> None:
    matcher, strategy, result, rules = desk.matcher, desk.strategy, desk.result, desk.rules
    watched = desk.account.watched
    done = 0
    last_live: Optional[float] = None  # the timestamp of the last live tick not yet sampled
    # The feed announces the backfill's end only if its sending thread first looked while the
    # backfill was under way; one over before that (no ticks, or permits granted ahead) is
    # recorded here, before the first live tick or the run's end, as the replay engine records it.
    backfill_unannounced = bool(result.backfill)
    watchdog.beat()
    while True:
        tick = ticker.pop_tick()
        watchdog.beat()
        if watchdog.expired:
            raise BacktestError(f"no tick came for {watchdog.timeout:g} s; the run was stopped")
        if tick is None:
            raise BacktestError("the tick feed handed over None instead of a tick")
        status = tick.get("darq_status")
        if backfill_unannounced and (status is not None or not tick["is_backfilling"]):
            backfill_unannounced = False
            if status != BACKFILL_OVER_STATUS:
                result.statuses.append(BACKFILL_OVER_STATUS)
        if status is not None:
            result.statuses.append(status)
            view.phase_over()
            if status == END_STATUS:
                break
            continue
        if last_live is not None and not same_day(last_live, tick["timestamp"]):
            result.sample(last_live)  # the day's last live tick
            last_live = None
        if tick["timestamp"] > rules.next_close:
            rules.pass_closes(tick["timestamp"], desk)
        view.tick_arrived(tick)
        desk.current[0] = tick
        code = tick["code"]
        matcher.set_current_tick(tick)
        if code in watched:
            desk.before_match(tick)
        matcher.match_deal(code, tick["close"], tick["qty"], tick["timestamp"])
        desk.take_reports()
        if code in watched:
            desk.after_match(tick)
        view.tick_matched(tick)
        if tick["is_backfilling"]:
            result.backfill_ticks += 1
            strategy.warm_up(tick)
            desk.deliver()
        else:
            result.live_ticks += 1
            strategy.on_tick(tick)
            desk.deliver()
            last_live = tick["timestamp"]
            if result.live_ticks % equity_every == 0 and result.sample(last_live, day_end=False):
                last_live = None
        ticker.allow_next_tick()
        done += 1
        if progress is not None and done % 256 == 0:
            progress(done, loaded.total)
    if last_live is not None:
        result.sample(last_live)
    rules.pass_closes(math.inf, desk)
    if progress is not None:
        progress(done, loaded.total)
