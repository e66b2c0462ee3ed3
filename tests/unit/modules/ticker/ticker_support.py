"""Helpers shared by the tick feed's tests."""

import queue
import threading
from typing import Dict, List, Optional

import polars as pl

from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import TICK_COLUMNS, SimulatedBroker

WAIT = 10  # seconds any single queue wait may take in a test
NOW = 1_704_186_000_000_000_000  # 2024-01-02 09:00, exchange time counted as UTC, in nanoseconds
END = {"darq_status": "ExitSendTick"}
STOCK = {"code": "2330", "market": "Stock"}
HEADER = ",".join(TICK_COLUMNS)


class FixedAnswerBroker(SimulatedBroker):
    """Answers every tick query with `answer`, whatever it is."""

    def __init__(self, answer, **kwargs):
        super().__init__(**kwargs)
        self.answer = answer

    def ticks(self, contract, date):
        self.tick_requests.append((contract.code, date))
        return self.answer


class AwaitedQueue(queue.Queue):
    """A queue that tells when a thread waits on it empty: of permits, the sending thread has
    then looked for a stop; of backfill notices, it has found the backfill still running."""

    def __init__(self) -> None:
        super().__init__()
        self.awaited = threading.Event()

    def get(self, block: bool = True, timeout: Optional[float] = None) -> object:
        if self.empty():
            self.awaited.set()
        return super().get(block, timeout)


def sending_once_the_backfill_is_awaited(ticker: Ticker, *send_ticks_args) -> None:
    """`ticker.send_ticks(*send_ticks_args)`, its first permit held back until the sending thread
    waits for the backfill's notice: the backfill cannot end before that thread looks for it."""
    notices = ticker.backfilling_notify_finish_queue = AwaitedQueue()
    permits = ticker.allow_next_tick_flag_queue
    permits.get()
    ticker.send_ticks(*send_ticks_args)
    assert notices.awaited.wait(WAIT)
    permits.put(True)


def frame(count: int, code: str = "2330") -> pl.DataFrame:
    """`count` ticks of `code`, one and a half seconds apart, at rising prices."""
    return pl.DataFrame({
        "ts": [NOW + i * 1_500_000_000 for i in range(count)],
        "close": [580.0 + i for i in range(count)], "volume": [i + 1 for i in range(count)],
        "tick_type": [1] * count, "code": [code] * count,
    })


def feeding(frames: Dict[str, pl.DataFrame]) -> Ticker:
    """A Ticker whose loads answer from `frames`, keyed by the period's start."""
    ticker = Ticker(None)
    ticker._Ticker__process_and_combine_ticks = lambda codes, start, end: (
        ticker.code_market_map.setdefault("2330", "Stock"), frames[start])[1]
    return ticker


def sent_ticks(rows) -> List[dict]:
    """The ticks the sending loop makes of `rows` (a frame, or anything with its `shape` and
    `iter_rows`), run in the test's thread with every permit granted beforehand."""
    ticker = Ticker(None)
    ticker.code_market_map.update({"2330": "Stock", "TXFR1": "Future"})
    ticker.backfilling_finish_flag = True
    for _ in range(rows.shape[0]):
        ticker.allow_next_tick()
    ticker._Ticker__push_tick_to_queue(rows)
    *ticks, end = ticker.tick_queue.queue
    assert end == END
    return ticks


def drain(ticker: Ticker, limit: int = 1000, allow: bool = True) -> list:
    """Pops items until the end status, granting a permit after each one, as a driver does."""
    items = []
    for _ in range(limit):
        item = ticker.tick_queue.get(timeout=WAIT)
        items.append(item)
        if item.get("darq_status") == "ExitSendTick":
            return items
        if allow:
            ticker.allow_next_tick()
    raise AssertionError(f"no end status within {limit} items")


_threads_before: List[threading.Thread] = []


def note_running_threads() -> None:
    """Remembers the threads alive now: the feed threads are the ones started after."""
    _threads_before[:] = threading.enumerate()


def threads_started_by_the_test() -> List[threading.Thread]:
    return [thread for thread in threading.enumerate() if thread not in _threads_before]


def wait_for_thread_end() -> None:
    """Joins the threads that the test started, each within the wait bound."""
    for thread in threads_started_by_the_test():
        thread.join(WAIT)
        assert not thread.is_alive(), f"{thread.name} still running"
