"""The sweep's figures for bench.py: sweeps of 8 and of 100 combinations on Ray against the
same backtests one after another in this process, what Ray costs to start, and what 50
backtests leave behind in one Ray worker.  Run alone, it prints these rows.

Ray is started here with 2 CPUs and shut down at the end; the rows are skipped when Ray is
not installed.  A sweep and its baseline are timed in turns, each turn on a fresh copy of the
tick cache (so that no worker holds the days of a turn before it), and each keeps its best
turn: other work on the machine disturbs both alike.
"""

from __future__ import annotations

import functools
import os
import shutil
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, List, Tuple

from quorvel.sim import SimulatedBroker

SKIPPED_NO_RAY = "skipped: Ray not installed (pip install 'quorvel[sweep]')"
SWEEP_ROWS = (
    "sweep of 8 combinations on 2 Ray workers",
    "sweep of 100 combinations of a week on 2 Ray workers",
    "Ray start: ray.init and 2 workers importing quorvel",
    "threads of a Ray worker after 50 backtests",
    "RSS growth of a Ray worker over backtests 11 to 50",
)
CODES = ("2330", "TXFR1")
WEEK = ("2024-01-08", "2024-01-12")
BACKFILL = ("2024-01-04", "2024-01-05")
TICKS_PER_DAY = 10_000  # 2 codes x 7 days: 140,000 ticks a run
GRID = {"ma": [100, 200], "band": [0.001, 0.002], "lot": [1, 2]}
# The 100 runs are of the README's week (3,000 ticks a day: 42,000 ticks a run), to keep the
# benchmark short.
TICKS_PER_DAY_100 = 3_000
GRID_100 = {"ma": [20 * step for step in range(1, 11)], "band": [0.0005 * n for n in range(1, 11)]}
TURNS = {"8": 3, "100": 2}
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

    brokers = {
        "8": functools.partial(SimulatedBroker, 0, ticks_per_day=TICKS_PER_DAY),
        "100": functools.partial(SimulatedBroker, 0, ticks_per_day=TICKS_PER_DAY_100),
    }
    grids = {"8": GRID, "100": GRID_100}
    ray_dir = tempfile.mkdtemp(prefix="ray-")
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        filled = {name: os.path.join(data_dir, name) for name in grids}
        for name, directory in filled.items():
            run_backtest(brokers[name](), CODES, RunSettings(WEEK, BACKFILL), data_dir=directory)
        copies = iter(range(1_000_000))

        def fresh(name: str) -> SweepSettings:
            """The settings of a sweep or its baseline on a fresh copy of the filled cache."""
            copy = shutil.copytree(filled[name], f"{filled[name]}-{next(copies)}")
            return SweepSettings(CODES, RunSettings(WEEK, BACKFILL), copy)

        def one_after_another(name: str, swept: SweepSettings) -> None:
            for params in combinations(grids[name]):
                run_backtest(brokers[name](), CODES, swept.run, data_dir=swept.data_dir,
                             strategy=MeanReversion(**params))

        def sweep(name: str, swept: SweepSettings) -> None:
            run_sweep(brokers[name], MeanReversion, grids[name], swept)

        def in_turns(name: str) -> Tuple[float, float]:
            """The best times of the sweep and of its baseline, timed in turns."""
            times: Dict[Callable[[str, SweepSettings], None], List[float]] = {}
            for _ in range(TURNS[name]):
                for run in (sweep, one_after_another):
                    swept = fresh(name)
                    times.setdefault(run, []).append(seconds(lambda: run(name, swept)))
            return min(times[sweep]), min(times[one_after_another])

        def start_ray() -> None:
            """Ray, and a first sweep of two short runs: each worker's first run imports
            quorvel and its modules."""
            ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, _temp_dir=ray_dir)
            with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as first_dir:
                first = SweepSettings(CODES, RunSettings(WEEK[:1] * 2, None), first_dir)
                small = functools.partial(SimulatedBroker, 0, ticks_per_day=100)
                run_sweep(small, MeanReversion, {"ma": [20, 40]}, first)

        one_run = seconds(lambda: one_after_another("8", fresh("8"))) / len(combinations(GRID))
        start = seconds(start_ray)
        try:
            swept_8, sequential_8 = in_turns("8")
            swept_100, sequential_100 = in_turns("100")
            probe = ray.remote(num_cpus=1)(left_behind)
            kept = ray.get(probe.remote(LEFT_BEHIND_RUNS, True, data_dir), timeout=600)
            unclosed = ray.get(probe.remote(LEFT_BEHIND_RUNS, False, data_dir), timeout=600)
        finally:
            ray.shutdown()
            shutil.rmtree(ray_dir, ignore_errors=True)
    return [
        row_type(
            SWEEP_ROWS[0], swept_8, sequential_8, "s", "the 8 runs one after another, one process"
        ),
        row_type(
            SWEEP_ROWS[1], swept_100, sequential_100, "s",
            "the 100 runs one after another, one process",
        ),
        row_type(SWEEP_ROWS[2], start, one_run, "s", "one of the 8 runs in this process"),
        row_type(
            SWEEP_ROWS[3], kept["threads_after"], unclosed["threads_after"], "threads",
            "same without Matcher.close",
        ),
        row_type(
            SWEEP_ROWS[4],
            (kept["rss_after"] - kept["rss_after_10"]) / 1024,
            (unclosed["rss_after"] - unclosed["rss_after_10"]) / 1024,
            "MiB",
            "same without Matcher.close",
        ),
    ]


if __name__ == "__main__":
    from bench import Row, machine_name, print_table

    print_table(sweep_rows(Row), machine_name())
