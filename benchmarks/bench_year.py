"""The year's figures for bench.py: a backtest of 250 trading days of 2 codes at 20,000 ticks a
day (10 million ticks) with the built-in strategy, each run in a fresh process with the tick
cache warm: the whole run_backtest call against the replay loop's own pace in that run, and the
run's peak RSS against a 5-day run's.

The offline broker makes 20,000 ticks of a code in about a second, so the year's cache (500
files) is made of 5 days it makes, copied to the other days with their times moved by whole
days; it is written through the cache's own `store_day`, as a run would have written it.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import subprocess
import sys
import time
from typing import Any, Dict, List

import polars as pl

from quorvel import market
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.cache import day_files
from quorvel.sim import SimulatedBroker

CODES = ("2330", "TXFR1")
TICKS_PER_DAY = 20_000
YEAR_DAYS = 250
FIRST_DAY = dt.date(2023, 1, 3)
SOURCE_DAYS = ("2024-01-08", "2024-01-09", "2024-01-10", "2024-01-11", "2024-01-12")
BACKFILL_DAYS = 2
NANOSECONDS_PER_DAY = 86_400 * 1_000_000_000


def broker() -> SimulatedBroker:
    return SimulatedBroker(0, ticks_per_day=TICKS_PER_DAY)


def year() -> tuple:
    days = market.trading_days(FIRST_DAY, FIRST_DAY + dt.timedelta(days=400))[:YEAR_DAYS]
    return days[0].isoformat(), days[-1].isoformat()


def fill_cache(data_dir: str) -> None:
    """The cache of every day of the year and its backfill, for both codes: the trading days'
    ticks, and the weekends' empty files (a weekday holiday is asked of the broker each run,
    which answers it at once)."""
    api = broker()
    schema = dict(day_files.TICK_SCHEMA)
    directory = cache_directory(data_dir, api)
    os.makedirs(day_files.cache_directory(directory), exist_ok=True)
    first, last = year()
    backfill = market.backfill_range(first, BACKFILL_DAYS)
    days = market.trading_days(backfill[0], last)
    calendar_days = (days[0] + dt.timedelta(days=offset) for offset in range((days[-1] - days[0]).days))
    weekends = [day for day in calendar_days if day.weekday() >= 5]
    for code in CODES:
        for day in weekends:
            path = day_files.day_file_path(directory, code, day.isoformat())
            day_files.store_day(pl.DataFrame(schema=schema), path)
        contract = api.Contracts.Stocks[code] or api.Contracts.Futures[code]
        sources = {
            day: day_files.frame_from_answer(api.ticks(contract=contract, date=day), schema, code, day)
            for day in SOURCE_DAYS
        }
        for number, day in enumerate(days):
            source = SOURCE_DAYS[number % len(SOURCE_DAYS)]
            frame = sources[source]
            # A night session opens on the trading day before and closes by 05:00: it moves with
            # that day, the rest with the day itself, so every tick lies in the day's sessions.
            source_day = dt.date.fromisoformat(source)
            night_over = market.broker_nanoseconds(dt.datetime.combine(source_day, dt.time(6)))
            night = _days_between(market.previous_trading_days(source_day, 1)[0],
                                  market.previous_trading_days(day, 1)[0])
            moved = pl.when(pl.col("ts") < night_over).then(night).otherwise(
                _days_between(source_day, day)
            )
            frame = frame.with_columns(ts=pl.col("ts") + moved)
            day_files.store_day(frame, day_files.day_file_path(directory, code, day.isoformat()))


def _days_between(first: dt.date, last: dt.date) -> int:
    return (last - first).days * NANOSECONDS_PER_DAY


def peak_rss_kib() -> int:
    """The peak resident set size of this process's memory since it started, in KiB (VmHWM).
    The resource module's ru_maxrss would not do in a child process: Linux carries it over
    from the process that forked the child, so a child of a large benchmark process would
    report at least that process's size."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(data_dir: str, first: str, last: str) -> None:
    """One run in this fresh process; its figures as JSON on stdout."""
    from quorvel.backtest import RunSettings, run_backtest

    started = time.perf_counter()
    result = run_backtest(broker(), CODES, RunSettings((first, last), BACKFILL_DAYS), data_dir=data_dir)
    wall = time.perf_counter() - started
    figures = {
        "ticks": result.live_ticks + result.backfill_ticks,
        "wall": wall,
        "replay": result.replay_seconds,
        "load": result.load_seconds,
        "peak_kib": peak_rss_kib(),
        "reports": len(result.reports),
        "points": len(result.timeline),
    }
    print(json.dumps(figures))


def run_child(data_dir: str, first: str, last: str) -> Dict[str, Any]:
    done = subprocess.run(
        [sys.executable, __file__, "--child", data_dir, first, last],
        capture_output=True,
        text=True,
        timeout=900,
    )
    if done.returncode != 0:
        raise RuntimeError(f"year run failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def year_rows(row_type: Any, data_dir: str) -> List[Any]:
    fill_cache(data_dir)
    first, last = year()
    week_last = market.trading_days(first, last)[4].isoformat()
    run_child(data_dir, first, week_last)  # the operating system's file cache, warm
    whole = run_child(data_dir, first, last)
    week = run_child(data_dir, first, week_last)
    mib = 1 / 1024
    ticks = whole["ticks"]
    return [
        row_type(
            f"backtest of a year, whole run_backtest call ({ticks / 1e6:.1f} million ticks)",
            ticks / whole["wall"],
            ticks / whole["replay"],
            "ticks/s",
            "the replay loop's own pace in that run",
            higher_is_better=True,
        ),
        row_type(
            f"peak RSS of that year ({YEAR_DAYS} days x 2 codes x {TICKS_PER_DAY:,} ticks)",
            whole["peak_kib"] * mib,
            week["peak_kib"] * mib,
            "MiB",
            "the same run over 5 of its days",
        ),
    ]


if __name__ == "__main__" and sys.argv[1:2] == ["--child"]:
    child(*sys.argv[2:5])
