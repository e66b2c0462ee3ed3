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
import gc
import json
import os
import queue
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional

from quorvel.constant import BASIC_INFO, FLAG
from quorvel.modules.matcher import matcher as matcher_module
from quorvel.modules.matcher.matcher import Matcher
from quorvel.sim import SimulatedBroker
from nanoid import generate

import reference
from reference import ReferenceFeed, ReferenceMatcher

from bench_bars import BARS_ROW, bars_rows
from bench_cache import cache_rows
from bench_import import import_rows
from bench_orders import ORDERS_ROW, order_rows
from bench_sweep import sweep_rows
from bench_year import peak_rss_kib, year_rows

try:
    from quorvel.modules.ticker import feed
    from quorvel.modules.ticker import ticker as ticker_module
except ImportError:
    feed = ticker_module = None

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
    reference.console = QuietConsole()
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


def drain(q: "queue.Queue") -> int:
    """Empties the queue without its locking; returns how many items it held."""
    count = q.qsize()
    q.queue.clear()
    return count


# The matcher benchmarks take the queued reports every so many operations, as a driver takes
# them: a queue left to grow makes every garbage collection walk it, on both sides alike.
TAKE_REPORTS_EVERY = 100


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
    row = Row(
        "match_deal walk, 10,000 orders of 100 codes, no match",
        best_of(3, run_matcher) * 1e9,
        best_of(3, run_python) * 1e9,
        "ns per record",
        "same walk as a Python loop",
    )
    book.clear()  # the matcher lives on with its intake thread: its records must not
    return row


class NullPositions:
    """A position keeper that keeps nothing: the matcher's own work is what is timed."""

    def add_trade_record(self, **record) -> None:
        pass

    def set_positions(self, trade, product_type) -> None:
        pass

    def set_current_tick(self, tick) -> None:
        pass


def matcher_pair():
    """A Matcher and the plain-Python reference, each with a position keeper that keeps nothing."""
    return Matcher(NullPositions()), ReferenceMatcher(NullPositions(), lambda: generate(size=16))


def per_item_seconds(run: Callable[[], int]) -> float:
    """Seconds per item of one run; `run` returns its item count.

    As timeit does, the cyclic garbage collector is off while the run is timed: when a collection
    falls, and how many long-lived objects earlier benchmarks left it to walk, varies from run to
    run and would swamp the few microseconds each item takes.
    """
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        count = run()
        return (time.perf_counter() - start) / count
    finally:
        gc.enable()


def versus_reference(name: str, unit_name: str, timed: Callable[[object], Callable[[], int]]) -> Row:
    """Times timed(matcher) for the Matcher and for the reference, in turns, best of five each.

    Taking turns spreads the machine's slow spells over both sides.
    """
    native, reference = matcher_pair()
    runs = [timed(native), timed(reference)]
    figure = baseline = float("inf")
    for _ in range(5):
        figure = min(figure, per_item_seconds(runs[0]))
        baseline = min(baseline, per_item_seconds(runs[1]))
    return Row(name, figure * 1e6, baseline * 1e6, unit_name, "the same path in plain Python")


def filled_by_one_tick(matcher, order_type: str, tick_close: float) -> Callable[[], int]:
    """Orders of 3 matched one at a time by a tick of 5 at tick_close."""
    count = 5_000
    for _ in range(count):
        matcher.add_order(**stock_order("2330", 600.0, qty=3, order_type=order_type))
    drain(matcher.response_queue)
    records = list(matcher.pending_orders)
    matcher.pending_orders.clear()

    def run() -> int:
        book = matcher.pending_orders
        reports = 0
        for i, record in enumerate(records):
            record["quantity"] = 3
            book.append(record)
            matcher.match_deal("2330", tick_close, 5, 1.0)
            if i % TAKE_REPORTS_EVERY == 0:
                reports += drain(matcher.response_queue)
        reports += drain(matcher.response_queue)
        assert not book and reports == count
        return count

    return run


def bench_full_fill() -> Row:
    """A ROD order filled whole by one tick: deep copy, trade record, deal report queued."""
    return versus_reference(
        "full fill (ROD, one tick, report queued)",
        "µs per fill",
        lambda matcher: filled_by_one_tick(matcher, "ROD", 599.0),
    )


def bench_ioc_cancel() -> Row:
    """An IOC order whose price does not match, cancelled whole: deep copy, order report queued."""
    return versus_reference(
        "IOC cancel (price missed, cancel report queued)",
        "µs per cancel",
        lambda matcher: filled_by_one_tick(matcher, "IOC", 601.0),
    )


def bench_modify() -> Row:
    """modify_order taking 1 off an order: lookup, order report queued, console line."""

    def modified(matcher) -> Callable[[], int]:
        count = 5_000
        matcher.add_order(**stock_order("2330", 600.0, qty=10 * count))
        trade_id = matcher.pending_orders[0]["trade_id"]

        def run() -> int:
            for i in range(count):
                matcher.modify_order(trade_id, 1)
                if i % TAKE_REPORTS_EVERY == 0:
                    drain(matcher.response_queue)
            drain(matcher.response_queue)
            return count

        return run

    return versus_reference("modify (quantity, order report queued)", "µs per modify", modified)


def bench_intake() -> Row:
    """Orders posted as "add" to the intake thread, each report popped."""

    def round_trips(matcher) -> Callable[[], int]:
        count = 2_000
        payloads = [stock_order("2330", 600.0) for _ in range(count)]

        def run() -> int:
            for payload in payloads:
                matcher.add_pending_order_queue("add", payload)
                matcher.pop_response()
            matcher.pending_orders.clear()
            return count

        return run

    return versus_reference("orders through the intake thread (post add, pop report)", "µs per order",
                            round_trips)


# --- tick feed -----------------------------------------------------------


def new_ticker(broker: SimulatedBroker):
    return ticker_module.Ticker(broker)


def warm_cache(broker: SimulatedBroker, codes: List[dict]) -> int:
    """Download the week once so that timed runs read the cache; return the row count."""
    return feed.load(new_ticker(broker), codes, *WEEK, None).shape[0]


def drive(feed, rows: int, paced: bool, start_run: Callable[[], None]) -> float:
    """Times one run of a feed from its start to the end status, popping every tick.

    Paced: a permit after each tick.  Otherwise every permit is granted
    before the run (with the constructor's one: every tick and the end).
    """
    if not paced:
        for _ in range(rows):
            feed.allow_next_tick()
    start = time.perf_counter()
    start_run()
    received = 0
    while "darq_status" not in (tick := feed.pop_tick()):
        received += 1
        if paced:
            feed.allow_next_tick()
    elapsed = time.perf_counter() - start
    assert received == rows and tick["darq_status"] == END_STATUS
    return elapsed


def loaded_frame(broker: SimulatedBroker, codes: List[dict]):
    """The merged frame of the week, read from the cache once, and the code-to-market map."""
    ticker = new_ticker(broker)
    return feed.load(ticker, codes, *WEEK, None), dict(ticker.code_market_map)


def replay_seconds(broker: SimulatedBroker, codes: List[dict], rows: int, paced: bool) -> float:
    """One run of the Ticker's feed over the loaded frame (loading is not timed)."""
    df, markets = loaded_frame(broker, codes)
    ticker = new_ticker(broker)
    ticker._Ticker__process_and_combine_ticks = lambda codes, start_from, end_to: (
        ticker.code_market_map.update(markets), df)[1]
    return drive(ticker, rows, paced, lambda: ticker.send_ticks(codes, *WEEK))


def reference_replay_seconds(broker: SimulatedBroker, codes: List[dict], rows: int, paced: bool) -> float:
    """The same run through the plain-Python sending thread, over the same frame."""
    df, markets = loaded_frame(broker, codes)
    feed = ReferenceFeed(markets)
    return drive(feed, rows, paced, lambda: feed.start(df))


def bench_feed(broker: SimulatedBroker, codes: List[dict], rows: int, paced: bool) -> Row:
    feed = python = float("inf")
    for _ in range(5):  # in turns, as versus_reference does
        feed = min(feed, replay_seconds(broker, codes, rows, paced))
        python = min(python, reference_replay_seconds(broker, codes, rows, paced))
    name = FEED_ROWS[0] if paced else FEED_ROWS[1]
    return Row(name, rows / feed, rows / python, "ticks/s", "the same feed in plain Python",
               higher_is_better=True)


FEED_ROWS = (
    "paced feed (pop_tick, allow_next_tick after each)",
    "run-ahead feed (all permits granted at once)",
)


def bench_load_merge(broker: SimulatedBroker, codes: List[dict], data_dir: str) -> Row:
    import polars as pl

    ticker = new_ticker(broker)
    rows = feed.load(ticker, codes, *WEEK, None).shape[0]

    def run_ticker() -> float:
        start = time.perf_counter()
        feed.load(ticker, codes, *WEEK, None)
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
    from quorvel.backtest import RunSettings, run_backtest

    broker = SimulatedBroker(0)
    codes = ["2330", "TXFR1"]

    def rate(window: int) -> float:
        result = run_backtest(broker, codes, RunSettings(WEEK, engine="paced", window=window), data_dir=data_dir)
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
    from quorvel.backtest import RunSettings, run_backtest

    broker = SimulatedBroker(0)
    codes = ["2330", "TXFR1"]

    def rate(engine: str) -> float:
        result = run_backtest(broker, codes, RunSettings(WEEK, engine=engine), data_dir=data_dir)
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


FIRST_BACKTEST_ROW = "first backtest in a fresh process (README week, cache warm)"

# The first backtest of a fresh interpreter: the backtest package imported as a script does,
# then the whole run_backtest call timed, the modules' first imports and the loading included.
FIRST_BACKTEST_CHILD = """
import json, sys, time
from quorvel.backtest import RunSettings, run_backtest
from quorvel.sim import SimulatedBroker

broker = SimulatedBroker(0)
started = time.perf_counter()
result = run_backtest(broker, ["2330", "TXFR1"], RunSettings(), data_dir=sys.argv[1])
wall = time.perf_counter() - started
ticks = result.live_ticks + result.backfill_ticks
print(json.dumps({"call": ticks / wall, "loop": result.ticks_per_second}))
"""


def first_backtest(data_dir: str) -> dict:
    """One fresh process's first backtest: its whole call's ticks per second and its loop's."""
    child = subprocess.run(
        [sys.executable, "-c", FIRST_BACKTEST_CHILD, data_dir],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if child.returncode != 0:
        raise RuntimeError(f"first backtest failed:\n{child.stderr}")
    return json.loads(child.stdout.strip().splitlines()[-1])


def bench_first_backtest(data_dir: str) -> Row:
    """The README's week as a fresh process's first backtest, against that run's loop pace."""
    first_backtest(data_dir)  # fills the tick cache, and the operating system's file cache
    runs = [first_backtest(data_dir) for _ in range(3)]
    best = max(runs, key=lambda run: run["call"] / run["loop"])
    return Row(
        FIRST_BACKTEST_ROW,
        best["call"],
        best["loop"],
        "ticks/s",
        "the replay loop's own pace in that run",
        higher_is_better=True,
    )


def bench_replay_loop(data_dir: str) -> Row:
    """The native loop with a strategy that does nothing, against the same loop in Python."""
    from quorvel.backtest import RunSettings, Strategy, run_backtest
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
            broker, ["2330", "TXFR1"], RunSettings(WEEK, backfill), data_dir=data_dir, strategy=Idle
        )
        return result.ticks_per_second

    def python() -> float:
        """iter_rows(named=True), build the tick, set_current_tick, match_deal, the strategy."""
        ticker = new_ticker(broker)
        phases = [(feed.load(ticker, codes, *backfill, None), True),
                  (feed.load(ticker, codes, *WEEK, None), False)]
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


def bench_fill_models(data_dir: str) -> List[Row]:
    """The replay loop under queue fills against touch fills, with the built-in strategy and
    with one that does nothing; the runs in turns, best of 3 each."""
    from quorvel.backtest import RunSettings, Strategy, run_backtest

    class Idle(Strategy):
        pass

    broker = SimulatedBroker(0, ticks_per_day=20_000)
    backfill = ("2024-01-04", "2024-01-05")

    def rate(strategy: Optional[type], fill_model: str) -> float:
        settings = RunSettings(WEEK, backfill, fill_model=fill_model)
        result = run_backtest(broker, ["2330", "TXFR1"], settings, data_dir=data_dir, strategy=strategy)
        return result.ticks_per_second

    rows = []
    for strategy, name in ((None, "built-in strategy"), (Idle, "strategy that does nothing")):
        rate(strategy, "queue")  # fills the cache
        rates: Dict[str, List[float]] = {"queue": [], "touch": []}
        for _ in range(3):
            for model in rates:
                rates[model].append(rate(strategy, model))
        rows.append(
            Row(
                f"replay loop, queue fills, {name} (280,000 ticks)",
                max(rates["queue"]),
                max(rates["touch"]),
                "ticks/s",
                "same run under touch fills",
                higher_is_better=True,
            )
        )
    return rows


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
    peak = peak_rss_kib()
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
            f"peak RSS, {figures['rows']:,} ticks through the tick feed (whole period loaded)",
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
    print("| benchmark | figure | baseline | baseline is | cost × baseline | speed-up |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        if row.figure is None:
            print(f"| {row.name} | {row.note} | | | | |")
            continue
        ratio = row.cost_ratio()
        ratio_text = "-" if ratio is None else f"{ratio:.2f}"
        speed_up = "-" if not ratio else f"{1 / ratio:.2f}x"
        print(
            f"| {row.name} | {format_number(row.figure)} {row.unit} "
            f"| {format_number(row.baseline)} {row.unit} | {row.baseline_name} | {ratio_text} | {speed_up} |"
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
    rows = [bench_match_walk(), bench_full_fill(), bench_ioc_cancel(), bench_modify(), bench_intake()]
    rows.extend(import_rows(Row))
    rows.extend(cache_rows(Row))
    ticker_rows = [
        *FEED_ROWS,
        "load and merge 5 cached days of 2 codes",
        "backtest command, window 64 against 1",
        "backtest command, replay engine against paced",
        FIRST_BACKTEST_ROW,
        "replay engine, strategy that does nothing",
        BARS_ROW,
        ORDERS_ROW,
        "memory: 1,000,000-tick replay",
        "a year: whole run against the loop, peak RSS against 5 days",
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
        rows.append(bench_first_backtest(data_dir))
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        rows.append(bench_replay_loop(data_dir))
        rows.extend(bench_fill_models(data_dir))
    rows.extend(bars_rows(Row))
    rows.extend(order_rows(Row))
    rows.extend(sweep_rows(Row))
    if skip_memory:
        rows.extend(Row(name, note="skipped: --no-memory") for name in ticker_rows[-2:])
    else:
        with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
            rows.extend(bench_memory(data_dir))
        with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
            rows.extend(year_rows(Row, data_dir))
    return rows


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--no-memory", action="store_true", help="skip the million-tick replay and the year"
    )
    parser.add_argument("--memory-child", metavar="DATA_DIR", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child)
        return
    rows = run_all(args.no_memory)
    print_table(rows, machine_name())


if __name__ == "__main__":
    main()
