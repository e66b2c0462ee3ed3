"""The sweep's figures for bench.py: a sweep of 8 combinations on Ray against the same 8
backtests one after another in this process, what Ray costs to start, and what 50 backtests
leave behind in one Ray worker.

Ray is started here with 2 CPUs and shut down at the end; the rows are skipped when Ray is
not installed.
"""

from __future__ import annotations

import functools
import os
import shutil
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, List

from quorvel.sim import SimulatedBroker

SKIPPED_NO_RAY = "skipped: Ray not installed (pip install 'quorvel[sweep]')"
SWEEP_ROWS = (
    "sweep of 8 combinations on 2 Ray workers",
    "Ray start: ray.init and 2 workers importing quorvel",
    "threads of a Ray worker after 50 backtests",
    "RSS growth of a Ray worker over backtests 11 to 50",
)
CODES = ("2330", "TXFR1")
WEEK = ("2024-01-08", "2024-01-12")
BACKFILL = ("2024-01-04", "2024-01-05")
TICKS_PER_DAY = 10_000  # 2 codes x 7 days: 140,000 ticks a run
GRID = {"ma": [100, 200], "band": [0.001, 0.002], "lot": [1, 2]}
LEFT_BEHIND_RUNS = 50


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def left_behind(runs: int, close_matchers: bool, data_dir: str) -> Dict[str, int]:
    """Run `runs` short backtests in this process (a Ray worker); its threads and RSS after
    runs 10 and `runs`.  Without `close_matchers` the runs keep their matchers' intake threads,
    as they did before run_backtest closed its matcher."""
    from quorvel.examples.mean_reversion import MeanReversion

    from quorvel.modules.matcher import matcher as matcher_module
    from quorvel.backtest import RunSettings
    from quorvel.sweep.runner import SweepSettings, run_one

    if not close_matchers:
        matcher_class = matcher_module.Matcher

        def unclosed() -> Any:
            matcher = matcher_class()
            matcher.close = lambda: True  # the instance's attribute hides the method
            return matcher

        matcher_module.Matcher = unclosed
    broker = functools.partial(SimulatedBroker, 0, ticks_per_day=300)
    settings = SweepSettings(CODES, RunSettings(("2024-01-08", "2024-01-09"), None), data_dir)
    figures = {"threads_before": threading.active_count()}
    for number in range(1, runs + 1):
        row = run_one(broker, MeanReversion, {"ma": 20, "every": 10}, settings)
        assert row.error is None, row.error
        if number == 10:
            figures["rss_after_10"] = rss_kib()
    figures.update(threads_after=threading.active_count(), rss_after=rss_kib(), pid=os.getpid())
    return figures


def seconds(run: Callable[[], Any]) -> float:
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def sweep_rows(row_type: Any) -> List[Any]:
    try:
        import ray
    except ImportError:
        return [row_type(name, note=SKIPPED_NO_RAY) for name in SWEEP_ROWS]
    from quorvel.examples.mean_reversion import MeanReversion

    from quorvel.backtest import RunSettings, run_backtest
    from quorvel.sweep import SweepSettings, combinations, run_sweep

    # The workers cannot import this script: its functions travel with their code.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

    broker = functools.partial(SimulatedBroker, 0, ticks_per_day=TICKS_PER_DAY)
    ray_dir = tempfile.mkdtemp(prefix="ray-")
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        settings = SweepSettings(CODES, RunSettings(WEEK, BACKFILL), data_dir)

        def one_after_another() -> None:
            for params in combinations(GRID):
                run_backtest(broker(), CODES, settings.run, data_dir=data_dir,
                             strategy=MeanReversion(**params))

        def start_ray() -> None:
            """Ray, and a first sweep of two short runs: each worker's first run imports
            quorvel and its modules."""
            ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, _temp_dir=ray_dir)
            with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as first_dir:
                first = SweepSettings(CODES, RunSettings(WEEK[:1] * 2, None), first_dir)
                small = functools.partial(SimulatedBroker, 0, ticks_per_day=100)
                run_sweep(small, MeanReversion, {"ma": [20, 40]}, first)

        run_backtest(broker(), CODES, settings.run, data_dir=data_dir)  # fills the cache
        sequential = seconds(one_after_another)
        start = seconds(start_ray)
        try:
            swept = seconds(lambda: run_sweep(broker, MeanReversion, GRID, settings))
            probe = ray.remote(num_cpus=1)(left_behind)
            kept = ray.get(probe.remote(LEFT_BEHIND_RUNS, True, data_dir), timeout=600)
            unclosed = ray.get(probe.remote(LEFT_BEHIND_RUNS, False, data_dir), timeout=600)
        finally:
            ray.shutdown()
            shutil.rmtree(ray_dir, ignore_errors=True)
    return [
        row_type(SWEEP_ROWS[0], swept, sequential, "s", "the 8 runs one after another, one process"),
        row_type(SWEEP_ROWS[1], start, sequential / 8, "s", "one of the 8 runs in this process"),
        row_type(
            SWEEP_ROWS[2], kept["threads_after"], unclosed["threads_after"], "threads",
            "same without Matcher.close",
        ),
        row_type(
            SWEEP_ROWS[3],
            (kept["rss_after"] - kept["rss_after_10"]) / 1024,
            (unclosed["rss_after"] - unclosed["rss_after_10"]) / 1024,
            "MiB",
            "same without Matcher.close",
        ),
    ]
