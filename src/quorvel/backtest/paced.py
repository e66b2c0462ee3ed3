"""The paced engine: the live-like road through the tick feed's threads.

1. `Ticker.send_ticks` loads the period (and a backfill period) and starts
   the sending thread;
2. `Ticker.pop_tick` hands over the next tick, or a status dict under
   "darq_status" (backfill over, run ended);
3. `Matcher.set_current_tick` and `Matcher.match_deal` fill or expire the
   pending orders of the tick's code; the deal and cancel reports they queue
   are taken at once with `Matcher.pop_response`.  A tick of a code the
   account watches goes to the desk before matching and after its reports;
4. the strategy sees the tick; its operations are posted through
   `Matcher.add_pending_order_queue`, and the driver waits for the intake
   thread's reports of each (it knows their number before posting), so that
   every order is in the book before the next tick is matched;
5. `Ticker.allow_next_tick` releases the next tick.

The sending thread converts a tick only once it holds a permit.  The driver
keeps `window` permits granted ahead, so the thread prepares up to that many
ticks while the driver works; ``window=1`` gives the strictly paced replay.
"""

from __future__ import annotations

import threading
import time
from typing import Any, List, Optional

import polars as pl

from quorvel.backtest.desks import QueuedDesk, attached
from quorvel.backtest.errors import BacktestError
from quorvel.backtest.lifecycle import Watchdog
from quorvel.backtest.run import END_STATUS, Progress, Run, same_day


def run_paced(run: Run) -> None:
    ticker, strategy, result = run.ticker, run.strategy, run.result
    with Watchdog(run.stall_timeout, ticker, run.matcher) as watchdog:
        desk = QueuedDesk(
            run.matcher, run.markets, strategy, result, run.account, watchdog=watchdog
        )
        total = _count_loaded_rows(ticker, watchdog, run.progress, run.stopping)
        for _ in range(result.window - 1):
            ticker.allow_next_tick()  # the constructor granted the first permit
        backfill_from, backfill_to = result.backfill or (None, None)
        with attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            ticker.send_ticks(run.instruments, *result.period, backfill_from, backfill_to)
            started = time.perf_counter()
            try:
                _paced_ticks(ticker, desk, watchdog, run.progress, total, run.equity_every)
                strategy.on_end()
                desk.deliver()
            finally:
                result.replay_seconds = time.perf_counter() - started


def _count_loaded_rows(
    ticker: Any, watchdog: Watchdog, progress: Optional[Progress], stopping: threading.Event
) -> List[int]:
    """Learn how many ticks each load yields, and beat the watchdog per loaded day.

    The ticker looks its loading steps up on the instance at every call, so
    instance attributes can wrap them.  The list returned holds the running
    total; the backfill thread adds to it too.  Once `stopping` is set, the
    days not yet fetched are skipped and a load comes back empty.
    """
    total = [0]
    combine = ticker._Ticker__process_and_combine_ticks
    fetch_day = ticker._Ticker__auto_fetch_ticks

    def counting_combine(codes: list, start_from: str, end_to: str) -> Any:
        frame = combine(codes, start_from, end_to)
        if stopping.is_set():
            frame = frame.head(0)
        total[0] += frame.shape[0]
        if progress is not None:
            progress(0, total[0])
        return frame

    def beating_fetch_day(code: str, product_type: str, date: str) -> Any:
        if stopping.is_set():
            return pl.DataFrame(schema=ticker.tick_df_schema)
        watchdog.beat()
        return fetch_day(code, product_type, date)

    ticker._Ticker__process_and_combine_ticks = counting_combine
    ticker._Ticker__auto_fetch_ticks = beating_fetch_day
    return total


def _paced_ticks(
    ticker: Any,
    desk: QueuedDesk,
    watchdog: Watchdog,
    progress: Optional[Progress],
    total: List[int],
    equity_every: int,
) -> None:
    matcher, strategy, result = desk.matcher, desk.strategy, desk.result
    watched = desk.account.watched
    done = 0
    last_live: Optional[float] = None  # the timestamp of the last live tick not yet sampled
    watchdog.beat()
    while True:
        tick = ticker.pop_tick()
        watchdog.beat()
        if watchdog.expired:
            raise BacktestError(f"no tick came for {watchdog.timeout:g} s; the run was stopped")
        if tick is None:
            raise BacktestError("the tick feed handed over None instead of a tick")
        status = tick.get("darq_status")
        if status is not None:
            result.statuses.append(status)
            if status == END_STATUS:
                break
            continue
        if last_live is not None and not same_day(last_live, tick["timestamp"]):
            result.sample(last_live)  # the day's last live tick
            last_live = None
        desk.current[0] = tick
        code = tick["code"]
        matcher.set_current_tick(tick)
        if code in watched:
            desk.before_match(tick)
        matcher.match_deal(code, tick["close"], tick["qty"], tick["timestamp"])
        desk.take_reports()
        if code in watched:
            desk.after_match(tick)
        if tick["is_backfilling"]:
            result.backfill_ticks += 1
            strategy.warm_up(tick)
            desk.deliver()
        else:
            result.live_ticks += 1
            strategy.on_tick(tick)
            desk.deliver()
            last_live = tick["timestamp"]
            if result.live_ticks % equity_every == 0:
                result.sample(last_live)
                last_live = None
        ticker.allow_next_tick()
        done += 1
        if progress is not None and done % 256 == 0:
            progress(done, total[0])
    if last_live is not None:
        result.sample(last_live)
    if progress is not None:
        progress(done, total[0])
