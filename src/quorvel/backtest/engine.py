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
    """The instrument list for `codes`, each looked up in the API's contract registry."""
    resolved = []
    for code in codes:
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


def _cache_files(data_dir: str) -> int:
    cache = os.path.join(data_dir, "sino", "ticks")
    # The day files only: the cache's manifest and lock file are not days.
    return sum(name.endswith(" - ticks.csv") for name in os.listdir(cache)) if os.path.isdir(cache) else 0


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
    for an unknown code, and for a run in which neither a tick nor an awaited
    report comes for `stall_timeout` seconds (a feed thread that died, an
    order operation the exchange refused).
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
    with _data_dir(os.path.expanduser(data_dir)), quiet:
        result.cache_files_before = _cache_files(BASIC_INFO.data_dir)
        matcher = matcher_module.Matcher()
        ticker = ticker_module.Ticker(api)
        result.positions = matcher.positions
        strategy = MeanReversionStrategy(
            params, markets, lambda code: _position(matcher.positions, code)
        )
        with _Watchdog(stall_timeout, ticker, matcher) as watchdog:
            total = _count_loaded_rows(ticker, watchdog, progress)
            for _ in range(window - 1):
                ticker.allow_next_tick()  # the constructor granted the first permit
            backfill_from, backfill_to = result.backfill or (None, None)
            ticker.send_ticks(instruments, start_from, end_to, backfill_from, backfill_to)
            _replay(
                ticker,
                matcher,
                strategy,
                result,
                watchdog,
                progress,
                total,
                equity_every,
            )
        result.cache_files_after = _cache_files(BASIC_INFO.data_dir)
    return result


def _position(positions: Any, code: str) -> int:
    held = positions.positions.get(code)
    return held.quantity if held is not None else 0


def _count_loaded_rows(ticker: Any, watchdog: _Watchdog, progress: Optional[Progress]) -> List[int]:
    """Learn how many ticks each load yields, and beat the watchdog per loaded day.

    The ticker looks its loading steps up on the instance at every call, so
    instance attributes can wrap them.  The list returned holds the running
    total; the backfill thread adds to it too.
    """
    total = [0]
    combine = ticker._Ticker__process_and_combine_ticks
    fetch_day = ticker._Ticker__auto_fetch_ticks

    def counting_combine(codes: list, start_from: str, end_to: str) -> Any:
        frame = combine(codes, start_from, end_to)
        total[0] += frame.shape[0]
        if progress is not None:
            progress(0, total[0])
        return frame

    def beating_fetch_day(code: str, product_type: str, date: str) -> Any:
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
    done = 0
    watchdog.beat()
    started = time.perf_counter()
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
            result.record_tick(tick, sample=result.live_ticks % equity_every == 0)
        ticker.allow_next_tick()
        done += 1
        if progress is not None and done % 256 == 0:
            progress(done, total[0])
    result.replay_seconds = time.perf_counter() - started
    result.end_timeline()
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
