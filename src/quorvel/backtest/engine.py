"""Run a backtest: the tick feed, the simulated exchange and a small strategy.

This is the driver that connects the two extension modules.  For every tick it
follows the same road:

1. `Ticker.send_ticks` loads the period (and a backfill period) and starts
   the sending thread;
2. `Ticker.pop_tick` hands over the next tick, or a status dict under
   "darq_status" (backfill over, run ended);
3. `Matcher.set_current_tick` and `Matcher.match_deal` fill or expire the
   pending orders of the tick's code; the deal and cancel reports they queue
   are taken at once with `Matcher.pop_response`;
4. the strategy sees the tick and posts its order operations through
   `Matcher.add_pending_order_queue`; the driver waits for the intake
   thread's report of each, so that every order is in the book before the
   next tick is matched and a run is reproducible;
5. `Ticker.allow_next_tick` releases the next tick.

The sending thread converts a tick only once it holds a permit.  The driver
keeps `window` permits granted ahead, so the thread prepares up to that many
ticks while the driver works; the ticks are still processed one at a time in
order, and ``window=1`` gives the strictly paced replay.

`run_backtest` runs it for any broker API object that offers the contract
registry and the history tick query.
"""

from __future__ import annotations

import contextlib
import os
import queue
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import MeanReversionStrategy, StrategyParams
from quorvel.constant import BASIC_INFO, FLAG

END_STATUS = FLAG.exit_send_tick.value
BACKFILL_OVER_STATUS = FLAG.finish_backfilling.value

DEFAULT_CODES = ("2330", "TXFR1")
# A week of the offline broker's calendar (Monday to Friday), and the Thursday
# and Friday before it to warm the strategy up.
DEFAULT_PERIOD = ("2024-01-08", "2024-01-12")
DEFAULT_BACKFILL = ("2024-01-04", "2024-01-05")


class BacktestError(Exception):
    """A run that cannot start or cannot finish, with a message for the user."""


class BacktestInterrupted(BacktestError):
    """A run stopped by Ctrl-C; `result` holds what it produced until then."""

    def __init__(self, result: BacktestResult) -> None:
        super().__init__("interrupted")
        self.result = result


@contextlib.contextmanager
def _handed_over(result: BacktestResult, data_dir: str) -> Iterator[None]:
    """Complete `result` once the run has wound down; Ctrl-C hands it over as it is."""
    try:
        yield
    except KeyboardInterrupt:
        raise BacktestInterrupted(result) from None
    finally:
        result.cache_files_after = _cache_files(data_dir)


# The data directory and the modules' console, logger and `Thread` are
# process-wide, so two runs in one process would mix their ticks and files.
_RUN_LOCK = threading.Lock()


@contextlib.contextmanager
def _one_run_at_a_time() -> Iterator[None]:
    if not _RUN_LOCK.acquire(blocking=False):
        raise BacktestError(
            "another backtest is running in this process; run concurrent backtests in "
            "separate processes (for example with multiprocessing or concurrent.futures."
            "ProcessPoolExecutor)"
        )
    try:
        yield
    finally:
        _RUN_LOCK.release()


class _Watchdog:
    """Ends a run that stopped moving instead of letting it wait for ever.

    `pop_tick` and `pop_response` wait without limit.  The driver calls
    `beat` whenever it makes progress; if no beat comes for `timeout`
    seconds, the watchdog wakes the driver: `stop_send_ticks` puts an end
    status on the tick queue and a stall marker goes on the report queue.
    """

    STALL_MARKER = {"quorvel_backtest": "stalled"}

    def __init__(self, timeout: float, ticker: Any, matcher: Any) -> None:
        self.timeout = timeout
        self.ticker = ticker
        self.matcher = matcher
        self.expired = False
        self.last_beat = time.monotonic()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="backtest-watchdog", daemon=True)

    def beat(self) -> None:
        self.last_beat = time.monotonic()

    def __enter__(self) -> "_Watchdog":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def _watch(self) -> None:
        while not self._stop.wait(min(1.0, self.timeout / 4)):
            if time.monotonic() - self.last_beat > self.timeout:
                self.expired = True
                self.ticker.stop_send_ticks()
                self.matcher.add_response_to_queue(dict(self.STALL_MARKER))
                return


def resolve_codes(api: Any, codes: Sequence[str]) -> List[Dict[str, str]]:
    """The instrument list for `codes`, each looked up in the API's contract registry.

    A code given more than once is listed once: the feed would replay its ticks once per entry.
    """
    resolved = []
    for code in dict.fromkeys(codes):
        if _registry_has(api.Contracts.Stocks, code):
            resolved.append({"code": code, "market": "Stock"})
        elif _registry_has(api.Contracts.Futures, code):
            resolved.append({"code": code, "market": "Future"})
        else:
            raise BacktestError(
                f"unknown code {code!r}: neither a stock nor a futures contract of the broker"
            )
    return resolved


def _registry_has(registry: Any, code: str) -> bool:
    try:
        return registry[code] is not None
    except (KeyError, IndexError):
        return False


class _QuietConsole:
    def print(self, *args: Any, **kwargs: Any) -> None:
        pass


@contextlib.contextmanager
def _modules_quiet(modules: Sequence[Any]) -> Iterator[None]:
    """Hold back the modules' per-order and per-day status lines during a run."""
    saved = [module.console for module in modules]
    for module in modules:
        module.console = _QuietConsole()
    try:
        yield
    finally:
        for module, console in zip(modules, saved):
            module.console = console


@contextlib.contextmanager
def _data_dir(path: str) -> Iterator[None]:
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = path
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


class _EndOfRun(BaseException):
    """Ends a module's thread: the thread's loop lets through what is not an `Exception`."""


class _EndIntake:
    """An intake item that ends the matcher's intake thread, which reads items by subscription."""

    def __getitem__(self, key: str) -> Any:
        raise _EndOfRun


class _RunThreads:
    """Every thread the modules start during a run, ended before the run returns.

    The modules look `Thread` up in their namespace at each use, so a
    recording subclass bound there sees each start and its target's owner.
    On exit the matcher's intake thread gets an `_EndIntake`; the ticker's
    feed threads are stopped (`stop_send_ticks`), any load they have not
    finished comes back empty (`stopping`, see `_count_loaded_rows`), and
    permits are granted, the ticks they release discarded, until they end.
    Joining waits at most `timeout` seconds in all.
    """

    def __init__(self, matcher_module: Any, ticker_module: Any, timeout: float) -> None:
        self.modules = (matcher_module, ticker_module)
        self.timeout = timeout
        self.stopping = threading.Event()
        self.intake: List[threading.Thread] = []
        self.feed: List[threading.Thread] = []

    def __enter__(self) -> "_RunThreads":
        self.saved = [module.Thread for module in self.modules]
        for module, started in zip(self.modules, (self.intake, self.feed)):
            module.Thread = _recording_thread_class(started)
        return self

    def __exit__(self, exc_type: Any, *exc: object) -> None:
        for module, thread_class in zip(self.modules, self.saved):
            module.Thread = thread_class
        self.stopping.set()
        for thread in self.intake:
            thread.owner.pending_order_queue.put(_EndIntake())
        for thread in self.feed:
            thread.owner.stop_send_ticks()
        deadline = time.monotonic() + self.timeout
        for thread in self.feed:
            while thread.is_alive() and time.monotonic() < deadline:
                _release_feed(thread.owner)
                thread.join(0.05)
        for thread in self.intake:
            thread.join(max(0.0, deadline - time.monotonic()))
        running = [thread.name for thread in self.intake + self.feed if thread.is_alive()]
        if running and exc_type is None:
            raise BacktestError(
                f"the threads {', '.join(running)} did not end within {self.timeout:g} s"
            )


def _recording_thread_class(started: List[threading.Thread]) -> type:
    class RecordedThread(threading.Thread):
        def __init__(self, *args: Any, target: Any = None, **kwargs: Any) -> None:
            super().__init__(*args, target=target, **kwargs)
            self.owner = getattr(target, "__self__", None)

        def start(self) -> None:
            started.append(self)
            super().start()

        def run(self) -> None:
            with contextlib.suppress(_EndOfRun):
                super().run()

    return RecordedThread


def _release_feed(ticker: Any) -> None:
    """Let a stopped feed thread run out: grant permits, drop the ticks it sends."""
    for _ in range(256):
        ticker.allow_next_tick()
    with contextlib.suppress(queue.Empty):
        while True:
            ticker.tick_queue.get_nowait()


def _cache_files(data_dir: str) -> int:
    cache = os.path.join(data_dir, "sino", "ticks")
    return len(os.listdir(cache)) if os.path.isdir(cache) else 0


Progress = Callable[[int, int], None]  # (ticks done, ticks known so far)


def run_backtest(
    api: Any,
    codes: Sequence[str],
    period: Tuple[str, str] = DEFAULT_PERIOD,
    backfill: Optional[Tuple[str, str]] = DEFAULT_BACKFILL,
    *,
    data_dir: str,
    params: StrategyParams = StrategyParams(),
    window: int = 64,
    progress: Optional[Progress] = None,
    quiet_modules: bool = True,
    stall_timeout: float = 120.0,
    equity_every: int = 50,
) -> BacktestResult:
    """Replay `period` for `codes` through the matcher with the built-in strategy.

    `api` is the broker API object (`SimulatedBroker` or the broker's own,
    logged in); ticks are cached under `data_dir`.  Raises `BacktestError`
    for an unknown code, while another run is under way in this process, and
    for a run in which neither a tick nor an awaited report comes for
    `stall_timeout` seconds (a feed thread that died, an order operation the
    exchange refused).  On Ctrl-C it raises `BacktestInterrupted`, which
    carries the result so far.  Every thread the run started has ended when
    it returns or raises.
    """
    from quorvel.modules.matcher import matcher as matcher_module
    from quorvel.modules.ticker import ticker as ticker_module

    if window < 1:
        raise ValueError(f"window must be at least 1, got {window}")
    instruments = resolve_codes(api, codes)
    markets = {entry["code"]: entry["market"] for entry in instruments}
    start_from, end_to = period
    result = BacktestResult(instruments, (start_from, end_to), None, window)
    if backfill:
        result.backfill = (backfill[0], backfill[1])
    quiet = (
        _modules_quiet([matcher_module, ticker_module])
        if quiet_modules
        else contextlib.nullcontext()
    )
    path = os.path.expanduser(data_dir)
    threads = _RunThreads(matcher_module, ticker_module, stall_timeout)
    # Left in reverse order: the threads end before the data directory is restored.
    with _handed_over(result, path), _one_run_at_a_time(), _data_dir(path), quiet, threads:
        result.cache_files_before = _cache_files(BASIC_INFO.data_dir)
        matcher = matcher_module.Matcher()
        ticker = ticker_module.Ticker(api)
        result.positions = matcher.positions
        strategy = MeanReversionStrategy(
            params, markets, lambda code: _position(matcher.positions, code)
        )
        with _Watchdog(stall_timeout, ticker, matcher) as watchdog:
            total = _count_loaded_rows(ticker, watchdog, progress, threads.stopping)
            for _ in range(window - 1):
                ticker.allow_next_tick()  # the constructor granted the first permit
            backfill_from, backfill_to = result.backfill or (None, None)
            ticker.send_ticks(instruments, start_from, end_to, backfill_from, backfill_to)
            started = time.perf_counter()
            try:
                _replay(ticker, matcher, strategy, result, watchdog, progress, total, equity_every)
            finally:  # an interrupted replay keeps its time and last equity point too
                result.replay_seconds = time.perf_counter() - started
                pnl = matcher.positions.summary()["total_pnl"]
                result.equity.append((result.live_ticks, pnl))
    return result


def _position(positions: Any, code: str) -> int:
    held = positions.positions.get(code)
    return held.quantity if held is not None else 0


def _count_loaded_rows(
    ticker: Any, watchdog: _Watchdog, progress: Optional[Progress], stopping: threading.Event
) -> List[int]:
    """Learn how many ticks each load yields, and beat the watchdog per loaded day.

    The ticker looks its loading steps up on the instance at every call, so
    instance attributes can wrap them.  The list returned holds the running
    total; the backfill thread adds to it too.  Once `stopping` is set, the
    days not yet fetched are skipped and a load comes back empty.
    """
    import polars as pl

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


def _replay(
    ticker: Any,
    matcher: Any,
    strategy: MeanReversionStrategy,
    result: BacktestResult,
    watchdog: _Watchdog,
    progress: Optional[Progress],
    total: List[int],
    equity_every: int,
) -> None:
    responses = matcher.response_queue
    positions = matcher.positions
    done = 0
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
        matcher.set_current_tick(tick)
        matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
        while not responses.empty():  # the deal and cancel reports of this tick
            _take_report(matcher, strategy, result, watchdog)
        if tick["is_backfilling"]:
            result.backfill_ticks += 1
            strategy.warm_up(tick)
        else:
            result.live_ticks += 1
            operations = strategy.on_tick(tick)
            for action, payload in operations:
                matcher.add_pending_order_queue(action, payload)
                result.operations.append((action, payload))
            for _ in operations:  # the intake thread answers each with one report
                _take_report(matcher, strategy, result, watchdog)
            if result.live_ticks % equity_every == 0:
                result.equity.append((result.live_ticks, positions.summary()["total_pnl"]))
        ticker.allow_next_tick()
        done += 1
        if progress is not None and done % 256 == 0:
            progress(done, total[0])
    if progress is not None:
        progress(done, total[0])


def _take_report(
    matcher: Any,
    strategy: MeanReversionStrategy,
    result: BacktestResult,
    watchdog: _Watchdog,
) -> None:
    report = matcher.pop_response()
    if watchdog.expired or report == _Watchdog.STALL_MARKER:
        raise BacktestError(
            f"the exchange did not answer an order operation within {watchdog.timeout:g} s; "
            "see the log under the data directory"
        )
    result.reports.append(report)
    strategy.on_report(report)
