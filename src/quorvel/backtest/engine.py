"""Run a backtest: a strategy replayed through the simulated exchange.

Two engines replay the same ticks through the same `Matcher`, call the
strategy's hooks at the same points and give the same reports.

``engine="replay"`` (the default) runs on the caller's thread alone.  It loads
the period (and the backfill period) through the ticker's own loading path,
so it reads and writes the same cache files and merges in the same order;
then the native loop of `quorvel.modules.replay.replay` walks the frame's
columns, builds each tick dict exactly as the feed's sending thread does,
calls `Matcher.set_current_tick` and `Matcher.match_deal`, takes the reports
those queue, and calls the strategy.  The strategy's operations call
`add_order`, `modify_order` and `cancel_order` directly and take their
reports at once with `pop_response`.

``engine="paced"`` is the live-like road through the tick feed's threads:

1. `Ticker.send_ticks` loads the period (and a backfill period) and starts
   the sending thread;
2. `Ticker.pop_tick` hands over the next tick, or a status dict under
   "darq_status" (backfill over, run ended);
3. `Matcher.set_current_tick` and `Matcher.match_deal` fill or expire the
   pending orders of the tick's code; the deal and cancel reports they queue
   are taken at once with `Matcher.pop_response`;
4. the strategy sees the tick; its operations are posted through
   `Matcher.add_pending_order_queue`, and the driver waits for the intake
   thread's reports of each (it knows their number before posting), so that
   every order is in the book before the next tick is matched;
5. `Ticker.allow_next_tick` releases the next tick.

The sending thread converts a tick only once it holds a permit.  The driver
keeps `window` permits granted ahead, so the thread prepares up to that many
ticks while the driver works; ``window=1`` gives the strictly paced replay.

In both engines the reports of a tick's matching reach `on_report` before
`on_tick`, and those of the strategy's operations after the hook that made
them returns, before the next tick.
"""

from __future__ import annotations

import bisect
import collections
import contextlib
import math
import os
import queue
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

import polars as pl

from quorvel.backtest.metrics import SECONDS_PER_DAY
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import (
    DEFAULT_STRATEGY,
    OrderDesk,
    OrderError,
    Strategy,
    StrategyArg,
    load_strategy,
    strategy_instance,
)
from quorvel.constant import BASIC_INFO, FLAG, OrderType

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


class _FeedThreads:
    """The tick feed's threads started during a run, ended before the run returns.

    The ticker looks `Thread` up in its namespace at each use, so a recording
    subclass bound there sees each start and its target's owner.  On exit the
    feed threads are stopped (`stop_send_ticks`), any load they have not
    finished comes back empty (`stopping`, see `_count_loaded_rows`), and
    permits are granted, the ticks they release discarded, until they end.
    Joining waits at most `timeout` seconds in all.
    """

    def __init__(self, ticker_module: Any, timeout: float) -> None:
        self.module = ticker_module
        self.timeout = timeout
        self.stopping = threading.Event()
        self.started: List[threading.Thread] = []

    def __enter__(self) -> "_FeedThreads":
        self.saved = self.module.Thread
        self.module.Thread = _recording_thread_class(self.started)
        return self

    def __exit__(self, exc_type: Any, *exc: object) -> None:
        self.module.Thread = self.saved
        self.stopping.set()
        for thread in self.started:
            thread.owner.stop_send_ticks()
        deadline = time.monotonic() + self.timeout
        for thread in self.started:
            while thread.is_alive() and time.monotonic() < deadline:
                _release_feed(thread.owner)
                thread.join(0.05)
        running = [thread.name for thread in self.started if thread.is_alive()]
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
    # The day files only: the cache's manifest and lock file are not days.
    return (
        sum(name.endswith(" - ticks.csv") for name in os.listdir(cache))
        if os.path.isdir(cache)
        else 0
    )


Progress = Callable[[int, int], None]  # (ticks done, ticks known so far)


ENGINES = ("replay", "paced")
NANOSECONDS_PER_DAY = SECONDS_PER_DAY * 1_000_000_000
# The replay engine converts this many rows of the frame to Python values at a time.
REPLAY_CHUNK_ROWS = 1 << 16
# The frame's columns that a tick is built from, in the order the native loop takes them.
TICK_COLUMNS = ("code", "ts", "close", "volume", "tick_type")
_ORDER_TYPES = frozenset(member.value for member in OrderType)


class _Desk(OrderDesk):
    """The strategy's side of a run: its operations checked and carried out, its reports owed.

    An operation the exchange would refuse is refused here with `OrderError`
    before anything is sent, so that every operation sent yields the number
    of reports known in advance (one, or two for a modification of both
    quantity and price).  Subclasses say how an operation reaches the matcher.
    """

    def __init__(
        self, matcher: Any, markets: Dict[str, str], strategy: Strategy, result: BacktestResult
    ) -> None:
        self.matcher = matcher
        self.markets = markets
        self.strategy = strategy
        self.result = result
        self.responses = matcher.response_queue
        self.owed: Deque[Dict[str, Any]] = collections.deque()
        self.current: List[Optional[Dict[str, Any]]] = [None]  # the tick being replayed

    def place(
        self, code: str, action: str, qty: int, price: Optional[float], order_type: Optional[str]
    ) -> str:
        product_type = self.markets.get(code)
        if product_type is None:
            raise OrderError(f"unknown code {code!r}: this run trades {', '.join(self.markets)}")
        _check_quantity(qty)
        if price is None:  # at the market; the record carries the last price
            price_type, order_type = "MKT", order_type or "IOC"
            price = self.last_price(code) or 0.0
        else:
            price_type, order_type = "LMT", order_type or "ROD"
            price = _checked_price(price)
        if order_type not in _ORDER_TYPES:
            raise OrderError(f"order_type must be one of ROD, IOC, FOK, not {order_type!r}")
        payload = {
            "code": code,
            "product_type": product_type,
            "action": action,
            "price": price,
            "qty": qty,
            "price_type": price_type,
            "order_type": order_type,
        }
        [report] = self.operate("add", payload, 1)
        return report["order"]["id"]

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> None:
        record = self._working_record(trade_id)
        if qty is None and price is None:
            raise OrderError(f"modify {trade_id}: give the quantity to take off, a price, or both")
        if qty is not None:
            _check_quantity(qty)
            if qty > record["quantity"]:
                raise OrderError(
                    f"modify {trade_id}: cannot take {qty} off an order of {record['quantity']}"
                )
        if price is not None:
            price = _checked_price(price)
        payload = {"trade_id": trade_id, "qty": qty, "price": price}
        self.operate("modify", payload, (qty is not None) + (price is not None))

    def cancel(self, trade_id: str) -> None:
        self._working_record(trade_id)
        self.operate("cancel", {"trade_id": trade_id}, 1)

    def position(self, code: str) -> int:
        held = self.matcher.positions.positions.get(code)
        return held.quantity if held is not None else 0

    def working_orders(self, code: Optional[str]) -> List[Dict[str, Any]]:
        return [
            dict(record)
            for record in self.matcher.pending_orders
            if code is None or record["code"] == code
        ]

    def last_price(self, code: str) -> Optional[float]:
        return self.matcher.positions.last_prices.get(code)

    def now(self) -> Optional[float]:
        tick = self.current[0]
        return None if tick is None else tick["timestamp"]

    def operate(self, action: str, payload: Dict[str, Any], reports: int) -> List[Dict[str, Any]]:
        """Carry out one operation and return its reports, which are recorded and owed."""
        self.result.operations.append((action, payload))
        taken = self._carry_out(action, payload, reports)
        for report in taken:
            self._receive(report)
        return taken

    def take_reports(self) -> None:
        """Take the reports that matching queued, then give the strategy all it is owed."""
        while not self.responses.empty():
            self._receive(self._pop())
        self.deliver()

    def deliver(self) -> None:
        """Give the strategy its owed reports, including those of operations it makes meanwhile."""
        owed, on_report = self.owed, self.strategy.on_report
        while owed:
            on_report(owed.popleft())

    def _receive(self, report: Dict[str, Any]) -> None:
        self.result.reports.append(report)
        self.owed.append(report)

    def _working_record(self, trade_id: str) -> Dict[str, Any]:
        for record in self.matcher.pending_orders:
            if record["trade_id"] == trade_id:
                return record
        raise OrderError(f"no working order {trade_id!r}: filled, cancelled or never entered")

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        raise NotImplementedError

    def _pop(self) -> Dict[str, Any]:
        return self.matcher.pop_response()


def _check_quantity(qty: Any) -> None:
    if type(qty) is not int or qty < 1:
        raise OrderError(f"qty must be a whole number of at least 1, not {qty!r}")


def _checked_price(price: Any) -> float:
    if isinstance(price, bool) or not isinstance(price, (int, float)) or not 0 < price < math.inf:
        raise OrderError(f"price must be a positive finite number, not {price!r}")
    return float(price)


class _DirectDesk(_Desk):
    """Operations call the matcher's order methods on this thread; their reports are taken at once."""

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        if action == "add":
            self.matcher.add_order(**payload)
        elif action == "modify":
            self.matcher.modify_order(payload["trade_id"], payload["qty"], payload["price"])
        else:
            self.matcher.cancel_order(payload["trade_id"])
        taken = []
        while not self.responses.empty():
            taken.append(self._pop())
        if len(taken) != reports:
            raise BacktestError(
                f"the exchange answered {action} {payload} with {len(taken)} reports, "
                f"not {reports}; see the log under the data directory"
            )
        return taken


class _QueuedDesk(_Desk):
    """Operations are posted to the matcher's intake thread; the driver waits for their reports."""

    def __init__(self, *args: Any, watchdog: _Watchdog) -> None:
        super().__init__(*args)
        self.watchdog = watchdog

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        self.matcher.add_pending_order_queue(action, payload)
        return [self._pop() for _ in range(reports)]

    def _pop(self) -> Dict[str, Any]:
        report = self.matcher.pop_response()
        self.watchdog.beat()
        if self.watchdog.expired or report == _Watchdog.STALL_MARKER:
            raise BacktestError(
                f"the exchange did not answer an order operation within {self.watchdog.timeout:g} s; "
                "see the log under the data directory"
            )
        return report


@contextlib.contextmanager
def _attached(strategy: Strategy, desk: _Desk) -> Iterator[None]:
    strategy._desk = desk
    try:
        yield
    finally:
        strategy._desk = None


def run_backtest(
    api: Any,
    codes: Sequence[str],
    period: Tuple[str, str] = DEFAULT_PERIOD,
    backfill: Optional[Tuple[str, str]] = DEFAULT_BACKFILL,
    *,
    data_dir: str,
    strategy: Optional[StrategyArg] = None,
    engine: str = "replay",
    window: int = 64,
    progress: Optional[Progress] = None,
    quiet_modules: bool = True,
    stall_timeout: float = 120.0,
    equity_every: int = 50,
) -> BacktestResult:
    """Replay `period` for `codes` through the matcher with `strategy`.

    `api` is the broker API object (`SimulatedBroker` or the broker's own,
    logged in); ticks are cached under `data_dir`.  `strategy` is a
    `Strategy` subclass or instance (default: the built-in mean reversion);
    `engine` is "replay" or "paced" (`window` permits granted ahead).
    Raises `BacktestError` for an unknown code, while another run is under
    way in this process, and, in the paced engine, for a run in which neither
    a tick nor an awaited report comes for `stall_timeout` seconds.  On
    Ctrl-C it raises `BacktestInterrupted`, which carries the result so far.
    Every thread the run started has ended when it returns or raises.
    """
    from quorvel.modules.matcher import matcher as matcher_module
    from quorvel.modules.ticker import ticker as ticker_module

    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, got {engine!r}")
    if window < 1:
        raise ValueError(f"window must be at least 1, got {window}")
    chosen = strategy_instance(load_strategy(DEFAULT_STRATEGY) if strategy is None else strategy)
    instruments = resolve_codes(api, codes)
    result = BacktestResult(instruments, (period[0], period[1]), None, window)
    result.engine = engine
    result.strategy = type(chosen).__name__
    if backfill:
        result.backfill = (backfill[0], backfill[1])
    quiet = (
        _modules_quiet([matcher_module, ticker_module])
        if quiet_modules
        else contextlib.nullcontext()
    )
    path = os.path.expanduser(data_dir)
    feed = _FeedThreads(ticker_module, stall_timeout)
    # Left in reverse order: the threads end before the data directory is restored.
    with _handed_over(result, path), _one_run_at_a_time(), _data_dir(path), quiet, feed:
        result.cache_files_before = _cache_files(BASIC_INFO.data_dir)
        matcher = matcher_module.Matcher()
        # One process may run many backtests: a finished run leaves no intake thread, and no
        # matcher held alive by one, behind.
        with contextlib.closing(matcher):
            ticker = ticker_module.Ticker(api)
            result.positions = matcher.positions
            markets = {entry["code"]: entry["market"] for entry in instruments}
            engine_run = _replay if engine == "replay" else _paced
            engine_run(
                _Run(
                    ticker,
                    matcher,
                    chosen,
                    markets,
                    result,
                    progress,
                    equity_every,
                    stall_timeout,
                    feed.stopping,
                )
            )
    return result


@dataclass
class _Run:
    """What an engine works with."""

    ticker: Any
    matcher: Any
    strategy: Strategy
    markets: Dict[str, str]
    result: BacktestResult
    progress: Optional[Progress]
    equity_every: int
    stall_timeout: float
    stopping: threading.Event  # set when the run winds down: loads not yet made are skipped


def _same_day(timestamp: float, other: float) -> bool:
    return timestamp // SECONDS_PER_DAY == other // SECONDS_PER_DAY


def _sample_rows(frame: Any, every: int) -> List[int]:
    """The rows of a live frame after which the run goes on the timeline: every
    `every`-th tick and the last tick of each day (the paced engine's rule)."""
    day = pl.col("ts") // NANOSECONDS_PER_DAY
    number = pl.int_range(1, pl.len() + 1)
    due = (number % every == 0) | (day != day.shift(-1)).fill_null(True)
    return frame.select(due.arg_true()).to_series().to_list()


class _ReplayHooks:
    """What the native loop calls and reads for one phase (backfill or live) of a run."""

    def __init__(
        self,
        desk: _DirectDesk,
        market_map: Dict[str, str],
        format_timestamp: Callable[[int, int], float],
        is_backfilling: bool,
        react: Optional[Callable[[Dict[str, Any]], None]],
        sample: Optional[Callable[[], None]],
        checkpoint: Callable[[int], None],
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
        self.sample_rows: List[int] = []  # rows of the current slice after which to sample
        self.checkpoint = checkpoint


def _overrides(strategy: Strategy, hook: str) -> bool:
    return getattr(type(strategy), hook) is not getattr(Strategy, hook)


def _replay(run: _Run) -> None:
    ticker, matcher, strategy, markets, result = (
        run.ticker,
        run.matcher,
        run.strategy,
        run.markets,
        run.result,
    )
    progress, equity_every = run.progress, run.equity_every
    from quorvel.modules.replay import replay as replay_module
    from quorvel.modules.ticker import ticker as ticker_module

    load = ticker._Ticker__process_and_combine_ticks
    instruments = [{"code": code, "market": market} for code, market in markets.items()]
    backfill_frame = load(instruments, *result.backfill) if result.backfill else None
    live_frame = load(instruments, *result.period)
    backfill_rows = backfill_frame.height if backfill_frame is not None else 0
    total = backfill_rows + live_frame.height
    report = progress or (lambda done, known: None)
    report(0, total)
    desk = _DirectDesk(matcher, markets, strategy, result)

    def phase(is_backfilling: bool) -> _ReplayHooks:
        def checkpoint(number: int) -> None:
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
            checkpoint,
        )

    def walk(frame: Any, hooks: _ReplayHooks) -> None:
        sample_rows = [] if hooks.sample is None else _sample_rows(frame, equity_every)
        for first in range(0, frame.height, REPLAY_CHUNK_ROWS):
            rows = frame.slice(first, REPLAY_CHUNK_ROWS)
            columns = tuple(rows.get_column(name).to_list() for name in TICK_COLUMNS)
            due = sample_rows[
                bisect.bisect_left(sample_rows, first) : bisect.bisect_left(
                    sample_rows, first + rows.height
                )
            ]
            hooks.sample_rows = [row - first for row in due]
            replay_module.replay_ticks(columns, hooks, first)
            hooks.checkpoint(first + rows.height)

    started = time.perf_counter()
    try:
        with _attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            if backfill_frame is not None:
                walk(backfill_frame, phase(True))
                result.statuses.append(BACKFILL_OVER_STATUS)
            walk(live_frame, phase(False))
            result.statuses.append(END_STATUS)
            strategy.on_end()
            desk.deliver()
    finally:
        result.replay_seconds = time.perf_counter() - started


def _paced(run: _Run) -> None:
    ticker, matcher, strategy, markets, result = (
        run.ticker,
        run.matcher,
        run.strategy,
        run.markets,
        run.result,
    )
    progress, equity_every, stall_timeout = run.progress, run.equity_every, run.stall_timeout
    instruments = [{"code": code, "market": market} for code, market in markets.items()]
    with _Watchdog(stall_timeout, ticker, matcher) as watchdog:
        desk = _QueuedDesk(matcher, markets, strategy, result, watchdog=watchdog)
        total = _count_loaded_rows(ticker, watchdog, progress, run.stopping)
        for _ in range(result.window - 1):
            ticker.allow_next_tick()  # the constructor granted the first permit
        backfill_from, backfill_to = result.backfill or (None, None)
        with _attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            ticker.send_ticks(instruments, *result.period, backfill_from, backfill_to)
            started = time.perf_counter()
            try:
                _paced_ticks(ticker, desk, watchdog, progress, total, equity_every)
                strategy.on_end()
                desk.deliver()
            finally:
                result.replay_seconds = time.perf_counter() - started


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


def _paced_ticks(
    ticker: Any,
    desk: _QueuedDesk,
    watchdog: _Watchdog,
    progress: Optional[Progress],
    total: List[int],
    equity_every: int,
) -> None:
    matcher, strategy, result = desk.matcher, desk.strategy, desk.result
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
        if last_live is not None and not _same_day(last_live, tick["timestamp"]):
            result.sample(last_live)  # the day's last live tick
            last_live = None
        desk.current[0] = tick
        matcher.set_current_tick(tick)
        matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
        desk.take_reports()
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
