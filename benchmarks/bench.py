"""Benchmarks of the hot paths, each next to a baseline measured in the same run.

Run with ``make bench`` (or ``python benchmarks/bench.py``).  Every figure is
printed beside a plain-Python or bare-library baseline doing the same amount
of work, and the last column says how many times the baseline's cost the
figure is (time per item, or memory), so the table reads the same on a fast
or a slow machine.  The tick-feed benchmarks are skipped when the ticker
module has not been built.

Each figure takes a few seconds at most; the memory figure replays a million
ticks in a child process and takes the longest (about half a minute).
"""

from __future__ import annotations

import argparse
import copy
import gc
import json
import os
import queue
import resource
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import Callable, List, Optional

from quorvel.constant import BASIC_INFO, FLAG
from quorvel.modules.matcher import matcher as matcher_module
from quorvel.modules.matcher.matcher import Matcher
from quorvel.sim import SimulatedBroker

from bench_sweep import sweep_rows

try:
    from quorvel.modules.ticker import ticker as ticker_module
except ImportError:
    ticker_module = None

SKIPPED_NO_TICKER = "skipped: ticker not built"
END_STATUS = FLAG.exit_send_tick.value

# A week of the offline broker's calendar: Monday 8 to Friday 12 January 2024.
WEEK = ("2024-01-08", "2024-01-12")


class QuietConsole:
    """Stands in for the modules' console so that status lines cost nothing."""

    def print(self, *args, **kwargs) -> None:
        pass


def silence_modules() -> None:
    matcher_module.console = QuietConsole()
    if ticker_module is not None:
        ticker_module.console = QuietConsole()


@dataclass
class Row:
    """One line of the table: a figure, its baseline and their units."""

    name: str
    figure: Optional[float] = None
    baseline: Optional[float] = None
    unit: str = ""
    baseline_name: str = ""
    higher_is_better: bool = False
    note: str = ""

    def cost_ratio(self) -> Optional[float]:
        """How many times the baseline's cost (per item, or in memory) the figure is."""
        if self.figure is None or not self.baseline:
            return None
        return self.baseline / self.figure if self.higher_is_better else self.figure / self.baseline


def best_of(repeats: int, run: Callable[[], float]) -> float:
    """The smallest of several timings: the one least disturbed by the machine."""
    return min(run() for _ in range(repeats))


def best_of_rate(repeats: int, run: Callable[[], float]) -> float:
    """The largest of several rates: the one least disturbed by the machine."""
    return max(run() for _ in range(repeats))


def stock_order(code: str, price: float, qty: int = 1, order_type: str = "ROD") -> dict:
    return {
        "code": code,
        "product_type": "Stock",
        "action": "Buy",
        "price": price,
        "qty": qty,
        "price_type": "LMT",
        "order_type": order_type,
    }


def drain(q: "queue.Queue") -> None:
    q.queue.clear()


# --- matcher -------------------------------------------------------------


def bench_match_walk() -> Row:
    """match_deal over 10,000 pending orders of 100 codes, a tick matching none."""
    matcher = Matcher()
    for i in range(10_000):
        matcher.add_order(**stock_order(f"C{i % 100:02d}", 100.0 - (i % 7)))
    drain(matcher.response_queue)
    book = matcher.pending_orders
    visited = len(book)
    code, price, reps = "C00", 150.0, 200  # buy limits below 150 never match

    def run_matcher() -> float:
        start = time.perf_counter()
        for _ in range(reps):
            matcher.match_deal(code, price, 10, 1.0)
        return (time.perf_counter() - start) / (reps * visited)

    def run_python() -> float:
        buy = "Buy"
        start = time.perf_counter()
        for _ in range(reps):
            for record in book:
                if record["code"] != code:
                    continue
                action, limit = record["action"], record["price"]
                _ = record["order_type"], record["price_type"]
                if (price <= limit) if action == buy else (price >= limit):
                    raise AssertionError("the tick was meant to match nothing")
        return (time.perf_counter() - start) / (reps * visited)

    assert len(book) == visited and matcher.response_queue.empty()
    return Row(
        "match_deal walk, 10,000 orders of 100 codes, no match",
        best_of(3, run_matcher) * 1e9,
        best_of(3, run_python) * 1e9,
        "ns per record",
        "same walk as a Python loop",
    )


def bench_full_fill() -> Row:
    """A ROD order filled by one tick: deep copy, deal report queued, positions fed."""
    count = 20_000
    matcher = Matcher()
    for _ in range(count):
        matcher.add_order(**stock_order("2330", 600.0, qty=3))
    drain(matcher.response_queue)
    records = list(matcher.pending_orders)
    matcher.pending_orders = book = []

    start = time.perf_counter()
    for record in records:
        book.append(record)
        matcher.match_deal("2330", 599.0, 5, 1.0)
    per_fill = (time.perf_counter() - start) / count
    assert not book and matcher.response_queue.qsize() == count
    assert matcher.positions.positions["2330"].quantity == 3 * count

    start = time.perf_counter()
    for record in records:
        copy.deepcopy(record)
    per_copy = (time.perf_counter() - start) / count
    return Row(
        "full fill (ROD, one tick, report queued, positions fed)",
        per_fill * 1e6,
        per_copy * 1e6,
        "µs per fill",
        "one copy.deepcopy of the record",
    )


def bench_intake() -> Row:
    """Orders posted as "add" to the intake thread, each report popped."""
    count = 5_000
    matcher = Matcher()
    payloads = [stock_order("2330", 600.0) for _ in range(count)]
    start = time.perf_counter()
    for payload in payloads:
        matcher.add_pending_order_queue("add", payload)
        matcher.pop_response()
    rate = count / (time.perf_counter() - start)
    assert len(matcher.pending_orders) == count

    inbox: "queue.Queue" = queue.Queue()
    outbox: "queue.Queue" = queue.Queue()

    def echo() -> None:
        while (item := inbox.get()) is not None:
            outbox.put(item)

    worker = threading.Thread(target=echo, daemon=True)
    worker.start()
    start = time.perf_counter()
    for payload in payloads:
        inbox.put(payload)
        outbox.get()
    baseline = count / (time.perf_counter() - start)
    inbox.put(None)
    worker.join(5)
    return Row(
        "orders through the intake thread (post add, pop report)",
        rate,
        baseline,
        "orders/s",
        "round trip through two queue.Queue",
        higher_is_better=True,
    )


# --- tick feed -----------------------------------------------------------


def new_ticker(broker: SimulatedBroker):
    return ticker_module.Ticker(broker)


def warm_cache(broker: SimulatedBroker, codes: List[dict]) -> int:
    """Download the week once so that timed runs read the cache; return the row count."""
    return new_ticker(broker)._Ticker__process_and_combine_ticks(codes, *WEEK).shape[0]


def replay_seconds(broker: SimulatedBroker, codes: List[dict], rows: int, paced: bool) -> float:
    """Time one run of the feed, from send_ticks' return to the end status.

    Paced: a permit after each tick.  Otherwise every permit is granted
    before the run (with the constructor's one: every tick and the end).
    """
    ticker = new_ticker(broker)
    if not paced:
        for _ in range(rows):
            ticker.allow_next_tick()
    ticker.send_ticks(codes, *WEEK)
    start = time.perf_counter()
    received = 0
    while "darq_status" not in (tick := ticker.pop_tick()):
        received += 1
        if paced:
            ticker.allow_next_tick()
    elapsed = time.perf_counter() - start
    assert received == rows and tick["darq_status"] == END_STATUS
    return elapsed


def bare_queue_seconds(rows: int, paced: bool) -> float:
    """The same hand-over on bare queues: ping-pong on two, or put/get on one."""
    permits: queue.Queue = queue.Queue()
    ticks: queue.Queue = queue.Queue()
    item = {"code": "2330"}

    def sender() -> None:
        for _ in range(rows):
            if paced:
                permits.get()
            ticks.put(item)

    thread = threading.Thread(target=sender, daemon=True)
    permits.put(True)
    start = time.perf_counter()
    thread.start()
    for _ in range(rows):
        ticks.get()
        if paced:
            permits.put(True)
    elapsed = time.perf_counter() - start
    thread.join(5)
    return elapsed


def bench_feed(broker: SimulatedBroker, codes: List[dict], rows: int, paced: bool) -> Row:
    feed = best_of(3, lambda: replay_seconds(broker, codes, rows, paced))
    bare = best_of(3, lambda: bare_queue_seconds(rows, paced))
    if paced:
        name, baseline_name = FEED_ROWS[0], "ping-pong on two queue.Queue"
    else:
        name, baseline_name = FEED_ROWS[1], "bare put/get between two threads"
    return Row(name, rows / feed, rows / bare, "ticks/s", baseline_name, higher_is_better=True)


FEED_ROWS = (
    "paced feed (pop_tick, allow_next_tick after each)",
    "run-ahead feed (all permits granted at once)",
)


def bench_load_merge(broker: SimulatedBroker, codes: List[dict], data_dir: str) -> Row:
    import polars as pl

    ticker = new_ticker(broker)
    combine = ticker._Ticker__process_and_combine_ticks
    frame = combine(codes, *WEEK)
    rows = frame.shape[0]

    def run_ticker() -> float:
        start = time.perf_counter()
        combine(codes, *WEEK)
        return time.perf_counter() - start

    cache = os.path.join(data_dir, "sino", "ticks")
    files = sorted(
        (entry["code"], os.path.join(cache, name))
        for entry in codes
        for name in os.listdir(cache)
        if name.startswith(entry["code"] + " ")
    )
    schema = ticker.tick_df_schema

    def run_polars() -> float:
        start = time.perf_counter()
        frames = [
            pl.read_csv(path, schema=schema).with_columns(pl.lit(code).alias("code"))
            for code, path in files
        ]
        merged = pl.concat(frames).sort(["ts", "code"])
        elapsed = time.perf_counter() - start
        assert merged.shape[0] == rows
        return elapsed

    return Row(
        f"load and merge 5 cached days of 2 codes ({rows:,} rows)",
        rows / best_of(3, run_ticker),
        rows / best_of(3, run_polars),
        "rows/s",
        "polars read_csv, concat, sort",
        higher_is_better=True,
    )


def bench_backtest_windows(data_dir: str) -> Row:
    """The backtest command's replay with permits granted ahead, against strictly paced."""
    from quorvel.backtest import run_backtest

    broker = SimulatedBroker(0)
    codes = ["2330", "TXFR1"]

    def rate(window: int) -> float:
        result = run_backtest(broker, codes, WEEK, data_dir=data_dir, engine="paced", window=window)
        return result.ticks_per_second

    rate(64)  # fills the cache
    return Row(
        "backtest command, paced engine, window 64 (2 codes, 5 days + 2 backfill)",
        rate(64),
        rate(1),
        "ticks/s",
        "same run with --window 1",
        higher_is_better=True,
    )


def bench_replay_engine(data_dir: str) -> Row:
    """The replay engine against the paced one (window 64), both with the built-in strategy."""
    from quorvel.backtest import run_backtest

    broker = SimulatedBroker(0)
    codes = ["2330", "TXFR1"]

    def rate(engine: str) -> float:
        result = run_backtest(broker, codes, WEEK, data_dir=data_dir, engine=engine, window=64)
        return result.ticks_per_second

    rate("replay")  # fills the cache
    return Row(
        "backtest command, replay engine (same run)",
        best_of_rate(3, lambda: rate("replay")),
        best_of_rate(3, lambda: rate("paced")),
        "ticks/s",
        "paced engine, window 64",
        higher_is_better=True,
    )


def bench_replay_loop(data_dir: str) -> Row:
    """The native loop with a strategy that does nothing, against the same loop in Python."""
    from quorvel.backtest import Strategy, run_backtest
    from quorvel.utils import format_nano_ts_to_second_ts

    class Idle(Strategy):
        def warm_up(self, tick: dict) -> None:
            pass

        def on_tick(self, tick: dict) -> None:
            pass

    broker = SimulatedBroker(0, ticks_per_day=20_000)
    codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    backfill = ("2024-01-04", "2024-01-05")

    def native() -> float:
        result = run_backtest(
            broker, ["2330", "TXFR1"], WEEK, backfill, data_dir=data_dir, strategy=Idle
        )
        return result.ticks_per_second

    def python() -> float:
        """iter_rows(named=True), build the tick, set_current_tick, match_deal, the strategy."""
        ticker = new_ticker(broker)
        load = ticker._Ticker__process_and_combine_ticks
        phases = [(load(codes, *backfill), True), (load(codes, *WEEK), False)]
        markets = ticker.code_market_map
        matcher = Matcher()
        strategy = Idle()
        responses = matcher.response_queue
        count = 0
        start = time.perf_counter()
        for frame, is_backfilling in phases:
            react = strategy.warm_up if is_backfilling else strategy.on_tick
            for row in frame.iter_rows(named=True):
                tick = {
                    "market_type": markets[row["code"]],
                    "timestamp": format_nano_ts_to_second_ts(row["ts"], 8),
                    "code": row["code"],
                    "close": row["close"],
                    "qty": row["volume"],
                    "tick_type": row["tick_type"],
                    "is_simulate": False,
                    "is_backfilling": is_backfilling,
                }
                matcher.set_current_tick(tick)
                matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
                while not responses.empty():
                    matcher.pop_response()
                react(tick)
                count += 1
        return count / (time.perf_counter() - start)

    BASIC_INFO.data_dir = data_dir
    native()  # fills the cache
    return Row(
        "replay engine, strategy that does nothing (280,000 ticks)",
        best_of_rate(3, native),
        best_of_rate(3, python),
        "ticks/s",
        "same loop in Python over iter_rows",
        higher_is_better=True,
    )


# --- memory --------------------------------------------------------------


def rss_kib() -> int:
    """Resident set size of this process now, in KiB."""
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


MEMORY_CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
MEMORY_TICKS_PER_DAY = 100_000  # 2 codes x 5 days x 100,000 = 1,000,000 ticks


def memory_child(data_dir: str) -> None:
    """Replay a million cached ticks through ticker and matcher; print RSS figures as JSON.

    Runs in a fresh process, so that its peak RSS is the replay's own.  After
    the replay it keeps one copy of a tick per tick of a half, to show what a
    leak of one tick dict per tick would have added.
    """
    BASIC_INFO.data_dir = data_dir
    silence_modules()
    broker = SimulatedBroker(0, ticks_per_day=MEMORY_TICKS_PER_DAY)
    matcher = Matcher()
    ticker = new_ticker(broker)
    for _ in range(64):  # a window of permits granted ahead
        ticker.allow_next_tick()
    gc.collect()
    idle = rss_kib()
    ticker.send_ticks(MEMORY_CODES, *WEEK)
    loaded = rss_kib()
    half = None
    count = 0
    while "darq_status" not in (tick := ticker.pop_tick()):
        matcher.set_current_tick(tick)
        matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
        ticker.allow_next_tick()
        count += 1
        if count == 500_000:
            half = rss_kib()
    end = rss_kib()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    kept = [{**tick, "close": i + 0.5, "timestamp": i + 0.25} for i in range(count - 500_000)]
    leaked = rss_kib() - end
    del kept
    figures = {"rows": count, "idle": idle, "loaded": loaded, "half": half, "end": end}
    figures.update(peak=peak, leak=leaked)
    print(json.dumps(figures))


def bench_memory(data_dir: str) -> List[Row]:
    BASIC_INFO.data_dir = data_dir
    warm_cache(SimulatedBroker(0, ticks_per_day=MEMORY_TICKS_PER_DAY), MEMORY_CODES)
    child = subprocess.run(
        [sys.executable, __file__, "--memory-child", data_dir],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if child.returncode != 0:
        raise RuntimeError(f"memory run failed:\n{child.stderr}")
    figures = json.loads(child.stdout.strip().splitlines()[-1])
    mib = 1 / 1024
    return [
        Row(
            f"peak RSS, {figures['rows']:,}-tick replay from the cache",
            figures["peak"] * mib,
            figures["idle"] * mib,
            "MiB",
            "same process before loading",
        ),
        Row(
            "RSS growth over the replay's second half",
            (figures["end"] - figures["half"]) * mib,
            figures["leak"] * mib,
            "MiB",
            "one tick dict kept per tick (a leak)",
        ),
    ]


# --- table ---------------------------------------------------------------


def format_number(value: Optional[float]) -> str:
    if value is None:
        return "-"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.3g}" if abs(value) >= 1 else f"{value:.3f}"


def print_table(rows: List[Row], machine: str) -> None:
    print(f"machine: {machine}")
    print(f"python {sys.version.split()[0]}")
    print()
    print("| benchmark | figure | baseline | baseline is | cost × baseline |")
    print("|---|---|---|---|---|")
    for row in rows:
        if row.figure is None:
            print(f"| {row.name} | {row.note} | | | |")
            continue
        ratio = row.cost_ratio()
        ratio_text = "-" if ratio is None else f"{ratio:.2f}"
        print(
            f"| {row.name} | {format_number(row.figure)} {row.unit} "
            f"| {format_number(row.baseline)} {row.unit} | {row.baseline_name} | {ratio_text} |"
        )


def machine_name() -> str:
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    return f"{model}, {os.cpu_count()} cores"
    except OSError:
        pass
    return f"{os.cpu_count()} cores"


def run_all(skip_memory: bool) -> List[Row]:
    silence_modules()
    rows = [bench_match_walk(), bench_full_fill(), bench_intake()]
    ticker_rows = [
        *FEED_ROWS,
        "load and merge 5 cached days of 2 codes",
        "backtest command, window 64 against 1",
        "backtest command, replay engine against paced",
        "replay engine, strategy that does nothing",
        "memory: 1,000,000-tick replay",
    ]
    if ticker_module is None:
        return rows + [Row(name, note=SKIPPED_NO_TICKER) for name in ticker_rows]
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        BASIC_INFO.data_dir = data_dir
        feed_broker = SimulatedBroker(0, ticks_per_day=5_000)
        feed_codes = [{"code": "2330", "market": "Stock"}]
        feed_rows = warm_cache(feed_broker, feed_codes)
        rows.append(bench_feed(feed_broker, feed_codes, feed_rows, paced=True))
        rows.append(bench_feed(feed_broker, feed_codes, feed_rows, paced=False))
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        BASIC_INFO.data_dir = data_dir
        merge_broker = SimulatedBroker(1, ticks_per_day=20_000)
        merge_codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
        rows.append(bench_load_merge(merge_broker, merge_codes, data_dir))
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        rows.append(bench_backtest_windows(data_dir))
        rows.append(bench_replay_engine(data_dir))
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        rows.append(bench_replay_loop(data_dir))
    rows.extend(sweep_rows(Row))
    if skip_memory:
        rows.append(Row(ticker_rows[-1], note="skipped: --no-memory"))
    else:
        with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
            rows.extend(bench_memory(data_dir))
    return rows


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--no-memory", action="store_true", help="skip the million-tick replay")
    parser.add_argument("--memory-child", metavar="DATA_DIR", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child)
        return
    rows = run_all(args.no_memory)
    print_table(rows, machine_name())


if __name__ == "__main__":
    main()
