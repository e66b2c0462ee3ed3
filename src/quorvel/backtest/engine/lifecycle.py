"""What a run takes over in the process, and gives back when it ends.

The data directory and the modules' consoles are process-wide: a run holds
them alone and sets them for its duration.  The feed threads a run starts are
stopped and joined before it returns.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
import time
from typing import Any, Callable, Iterator, Optional, Sequence

from quorvel.backtest import core
from quorvel.backtest.errors import BacktestError, BacktestInterrupted
from quorvel.backtest.results.result import BacktestResult
from quorvel.constant import BASIC_INFO


@contextlib.contextmanager
def handed_over(result: BacktestResult, data_dir: str) -> Iterator[None]:
    """Complete `result` once the run has wound down; Ctrl-C hands it over as it is."""
    try:
        yield
    except KeyboardInterrupt:
        raise BacktestInterrupted(result) from None
    finally:
        result.cache_files_after = count_cache_files(data_dir)


# The data directory and the modules' console and logger are process-wide, so
# two runs in one process would mix their ticks and files.
_RUN_LOCK = threading.Lock()


@contextlib.contextmanager
def one_run_at_a_time() -> Iterator[None]:
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


class Watchdog:
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

    def __enter__(self) -> "Watchdog":
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


class QuietConsole:
    def print(self, *args: Any, **kwargs: Any) -> None:
        pass


@contextlib.contextmanager
def modules_quiet(modules: Sequence[Any]) -> Iterator[None]:
    """Hold back the modules' per-order and per-day status lines during a run."""
    saved = [module.console for module in modules]
    for module in modules:
        module.console = QuietConsole()
    try:
        yield
    finally:
        for module, console in zip(modules, saved):
            module.console = console


@contextlib.contextmanager
def broker_log_under(data_dir: str) -> Iterator[None]:
    """While the block imports the broker package, send its log file to logs/ of `data_dir`.

    The package opens its log file when it is first imported (the tick feed
    imports it), in the working directory unless SJ_LOG_PATH names another
    path.  A path the user set, or a package imported already, is left as it is.
    """
    if "shioaji" in sys.modules or "SJ_LOG_PATH" in os.environ:
        yield
        return
    logs = os.path.join(os.path.expanduser(data_dir), "logs")
    os.makedirs(logs, exist_ok=True)  # the package falls back to stdout without it
    os.environ["SJ_LOG_PATH"] = os.path.join(logs, "shioaji.log")
    try:
        yield
    finally:
        del os.environ["SJ_LOG_PATH"]


@contextlib.contextmanager
def using_data_dir(path: str) -> Iterator[None]:
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = path
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


@contextlib.contextmanager
def observed_feed(
    ticker: Any, on_day: Optional[Callable[[str, str, int], None]], timeout: float
) -> Iterator[Any]:
    """The tick feed of a run, observed through the feed's door: the block is given the
    `ObservedRun`, whose loads it may take.

    While the run lasts, every day the feed loads (the backfill thread's too)
    is reported to `on_day`.  When it ends, the feed threads it started are
    stopped and joined, `timeout` seconds at most in all: loads not finished
    come back empty, and the ticks released meanwhile are dropped.
    """
    run = core.feed().observe(ticker, on_day)
    try:
        yield run
    except BaseException:
        run.stop(timeout)
        raise
    running = run.stop(timeout)
    if running:
        raise BacktestError(f"the threads {', '.join(running)} did not end within {timeout:g} s")


def count_cache_files(data_dir: str) -> int:
    cache = os.path.join(data_dir, "sino", "ticks")
    # The day files only: the cache's manifest and lock file are not days.
    return (
        sum(name.endswith(" - ticks.csv") for name in os.listdir(cache))
        if os.path.isdir(cache)
        else 0
    )
