"""What a run takes over in the process, and gives back when it ends.

The data directory, the modules' consoles and the tick feed's `Thread` are
process-wide: a run holds them alone, sets them for its duration, and stops
every thread it started before it returns.
"""

from __future__ import annotations

import contextlib
import os
import queue
import threading
import time
from typing import Any, Iterator, List, Sequence

from quorvel.backtest.errors import BacktestError, BacktestInterrupted
from quorvel.backtest.results import BacktestResult
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


# The data directory and the modules' console, logger and `Thread` are
# process-wide, so two runs in one process would mix their ticks and files.
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
def using_data_dir(path: str) -> Iterator[None]:
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = path
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


class FeedThreads:
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

    def __enter__(self) -> "FeedThreads":
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


def count_cache_files(data_dir: str) -> int:
    cache = os.path.join(data_dir, "sino", "ticks")
    # The day files only: the cache's manifest and lock file are not days.
    return (
        sum(name.endswith(" - ticks.csv") for name in os.listdir(cache))
        if os.path.isdir(cache)
        else 0
    )
