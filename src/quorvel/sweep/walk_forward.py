"""Walk-forward: a sweep chooses on the training days, its choice runs on the days after them.

The period's trading days (by the run's calendar) are cut into windows: `train`
days to choose on, then `test` days to run the choice on.  Each window starts
`test` days after the one before, so that the test days follow one another
without a gap or an overlap, and the last window's test days may be fewer.
Rolling windows train on the `train` days just before their test days;
anchored ones on every day from the period's first.

On each window the sweep (`run_sweep`, all windows on one Ray session and one
tick cache) runs every combination on the training days, and the best by the
ranking figure is run on the test days, in this process.  The out-of-sample
run is the test runs one after another (`joined`): each starts flat with the
capital and its own warm-up, a position still held at its end counts as its
unrealised P&L, and the next goes on from the net P&L it left.  Only the
test days count in its figures: none of them was seen by the choice.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as dt
import json
import os
import tempfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Type, Union

import polars as pl

from quorvel.atomic_files import directory_written, written_together
from quorvel.backtest.errors import BacktestInterrupted
from quorvel.backtest.output.files import (
    RATIO_DECIMALS,
    check_writable_directory,
    equity_as_filed,
    fills_as_filed,
    rounded_figures,
)
from quorvel.backtest.results.evaluation import Evaluation, drawdowns, joined
from quorvel.backtest.settings.run import MAX_TRADING_DAYS, RunSettings
from quorvel.backtest.strategy.base import Strategy
from quorvel.backtest.strategy.loading import load_strategy
from quorvel.sweep.errors import SweepError, SweepInterrupted
from quorvel.sweep.logs import output_caught
from quorvel.sweep.runner import (
    DEFAULT_RANK_BY,
    FIGURES,
    RAY_MISSING,
    TOUCH_FIGURES,
    BrokerFactory,
    Progress,
    SweepResult,
    SweepSettings,
    backtest_and_row,
    figures_of,
    run_sweep,
)
from quorvel.sweep.session import ray_session

# A window's first and last day, "YYYY-MM-DD".
Span = Tuple[str, str]

WALK_FORWARD_FILES = (
    "walk_forward.csv",
    "walk_forward.json",
    "equity.csv",
    "fills.csv",
    "round_trips.csv",
)
# Each window's sweep and its test run's log, in windows/<number>/.
WINDOWS_DIRECTORY = "windows"
TEST_LOG = "test.log"
# The overfitting statistics of each window's sweep, beside its choice.
WINDOW_STATISTICS = ("deflated_sharpe", "pbo")
_DAY_COLUMNS = ("train_first", "train_last", "test_first", "test_last")
# The figures that add up over the test runs, beyond those `joined` computes.
_COUNTS = ("orders", "filled_qty", "cancellations", *TOUCH_FIGURES)


@dataclass(frozen=True)
class WalkForward:
    """Windows of `train` trading days to choose on, each followed by `test` to run the choice
    on; rolling, or `anchored` (every window trains from the period's first day)."""

    train: int
    test: int
    anchored: bool = False

    def __post_init__(self) -> None:
        for name in ("train", "test"):
            value = getattr(self, name)
            if type(value) is not int or not 1 <= value <= MAX_TRADING_DAYS:
                raise ValueError(
                    f"{name} must be a whole number of trading days from 1 to "
                    f"{MAX_TRADING_DAYS:,}, not {value!r}"
                )

    @classmethod
    def parse(cls, text: str, anchored: bool = False) -> "WalkForward":
        """``TRAIN:TEST``, two numbers of trading days; `ValueError` with one line else."""
        train, colon, test = text.partition(":")
        if not colon or not train.strip().isdigit() or not test.strip().isdigit():
            raise ValueError(f"expected TRAIN:TEST in trading days, such as 40:10, not {text!r}")
        return cls(int(train), int(test), anchored)

    def __str__(self) -> str:
        kind = "anchored" if self.anchored else "rolling"
        return f"{self.train} training and {self.test} test days, {kind}"

    def windows(self, days: Sequence[dt.date]) -> List[Tuple[Span, Span]]:
        """The (training, test) spans of the trading days `days`, in order; `SweepError` when
        they leave no test day."""
        if len(days) <= self.train:
            raise SweepError(
                f"the period has {len(days)} trading days; a walk-forward of "
                f"{self.train}:{self.test} needs more than {self.train}"
            )
        spans = []
        for start in range(self.train, len(days), self.test):
            first = 0 if self.anchored else start - self.train
            tested = days[start : start + self.test]
            spans.append((_span(days[first:start]), _span(tested)))
        return spans


def _span(days: Sequence[dt.date]) -> Span:
    return days[0].isoformat(), days[-1].isoformat()


@dataclass
class Window:
    """One window: its days, the combination its sweep chose (the swept parameters), that
    combination's figures on the training days and on the test days, or why it has none."""

    number: int
    train: Span
    test: Span
    params: Dict[str, Any] = field(default_factory=dict)
    in_sample: Dict[str, Any] = field(default_factory=dict)
    out_of_sample: Dict[str, Any] = field(default_factory=dict)
    error: Optional[str] = None
    sweep: Optional[SweepResult] = field(default=None, compare=False, repr=False)
    output: str = field(default="", compare=False, repr=False)  # what the test run printed

    def statistics(self) -> Dict[str, Optional[float]]:
        """The overfitting statistics of the window's sweep (`WINDOW_STATISTICS`), None where
        it has none (`quorvel.sweep.overfitting`)."""
        found = self.sweep.overfitting if self.sweep is not None else None
        return {name: getattr(found, name, None) for name in WINDOW_STATISTICS}

    def flat(self, names: Sequence[str], figures: Sequence[str]) -> Dict[str, Any]:
        """The window as one record: its days, the chosen values of `names`, each of `figures`
        in sample ("is_") and out of sample ("oos_"), as the files hold them, its sweep's
        statistics and the error."""
        sides = {
            f"{prefix}_{name}": value
            for prefix, side in (("is", self.in_sample), ("oos", self.out_of_sample))
            for name, value in rounded_figures({n: side.get(n) for n in figures}).items()
        }
        days = dict(zip(_DAY_COLUMNS, (*self.train, *self.test)))
        chosen = {name: self.params.get(name) for name in names}
        statistics = {
            name: None if value is None else round(value, RATIO_DECIMALS)
            for name, value in self.statistics().items()
        }
        return {"window": self.number, **days, **chosen, **sides, **statistics, "error": self.error}


@dataclass
class WalkForwardResult:
    """The windows of a walk-forward and the out-of-sample run stitched from their test runs:
    its `figures` (those of a run's summary), its `equity`, `fills` and `round_trips` frames
    (each row with its window).  `total` windows were planned; a walk-forward stopped early
    (Ctrl-C) holds those finished, `stopped` saying why."""

    walk: WalkForward
    windows: List[Window]
    rank_by: str
    settings: SweepSettings
    strategy: str
    grid: Dict[str, List[Any]]
    figures: Dict[str, Any]
    equity: pl.DataFrame = field(repr=False)
    fills: pl.DataFrame = field(repr=False)
    round_trips: pl.DataFrame = field(repr=False)
    evaluation: Evaluation = field(repr=False)
    total: int = 0
    stopped: Optional[str] = None

    @property
    def trading_days(self) -> int:
        """The out-of-sample run's trading days: those of the test runs that finished."""
        return self.evaluation.trading_days

    def frame(self) -> pl.DataFrame:
        """One row per window: its days, the chosen values, every figure in and out of sample,
        and the error of a window without a test run."""
        figures = figures_of(self.settings.run)
        records = [window.flat(list(self.grid), figures) for window in self.windows]
        return pl.DataFrame(records, infer_schema_length=None)

    def document(self) -> Dict[str, Any]:
        """What walk_forward.json holds."""
        return {
            "strategy": self.strategy,
            "rank_by": self.rank_by,
            "walk_forward": {
                "train": self.walk.train,
                "test": self.walk.test,
                "anchored": self.walk.anchored,
            },
            "grid": self.grid,
            "windows": self.total,
            "finished": len(self.windows),
            "partial": self.stopped is not None,
            "stopped": self.stopped,
            "settings": self.settings.as_dict(),
            "out_of_sample": {
                "trading_days": self.trading_days,
                **rounded_figures(self.figures),
            },
            "rows": self.frame().to_dicts(),
        }

    def write(self, directory: str) -> List[str]:
        """Write `WALK_FORWARD_FILES` into `directory` (created if missing), each window's
        sweep files and its test run's log into windows/<number>/, and the pictures where
        their libraries are installed (`quorvel.sweep.pictures`); return the paths of the
        files.  They take the place of the walk-forward before all at once
        (`directory_written`)."""
        from quorvel.sweep.pictures import WALK_FORWARD_PICTURES, write_walk_forward_pictures

        directory = os.path.abspath(os.path.expanduser(directory))
        check_writable_directory(directory, WALK_FORWARD_FILES)
        names = (*WALK_FORWARD_FILES, *WALK_FORWARD_PICTURES, WINDOWS_DIRECTORY)
        with directory_written(directory, names) as staged:
            paths = [os.path.join(staged, name) for name in WALK_FORWARD_FILES]
            with written_together(paths) as (table, document, equity, fills, trips):
                self.frame().write_csv(table)
                with open(document, "w", encoding="utf-8") as json_file:
                    json.dump(self.document(), json_file, indent=2, ensure_ascii=False)
                    json_file.write("\n")
                self.equity.write_csv(equity)
                self.fills.write_csv(fills)
                self.round_trips.write_csv(trips)
            for window in self.windows:
                place = os.path.join(staged, WINDOWS_DIRECTORY, str(window.number))
                if window.sweep is not None:
                    window.sweep.write(place)
                os.makedirs(place, exist_ok=True)
                with open(os.path.join(place, TEST_LOG), "w", encoding="utf-8") as log_file:
                    log_file.write(window.output)
            write_walk_forward_pictures(self, staged)
        return [os.path.join(directory, name) for name in WALK_FORWARD_FILES]


class WalkForwardInterrupted(SweepError):
    """A walk-forward stopped by Ctrl-C; `result` holds the windows finished until then."""

    def __init__(self, result: WalkForwardResult) -> None:
        super().__init__("interrupted")
        self.result = result


@dataclass
class _TestRun:
    """What the stitching needs of a test run."""

    window: int
    figures: Dict[str, Any]
    evaluation: Evaluation
    equity: pl.DataFrame
    fills: pl.DataFrame
    round_trips: pl.DataFrame


def run_walk_forward(
    broker: BrokerFactory,
    strategy: Union[str, Type[Strategy]],
    grid: Mapping[str, Sequence[Any]],
    settings: SweepSettings,
    walk: WalkForward,
    *,
    fixed: Optional[Mapping[str, Any]] = None,
    rank_by: str = DEFAULT_RANK_BY,
    ray_address: Optional[str] = None,
    workers: Optional[int] = None,
    progress: Optional[Progress] = None,
    **sweep_options: Any,
) -> WalkForwardResult:
    """Walk `settings.run.period` forward in `walk`'s windows: on each, `run_sweep` of `grid`
    (with the `fixed` parameters) on the training days, then its best by `rank_by` on the test
    days; the result is the out-of-sample run stitched from the test runs, with every window.

    Every run is warmed up as the settings say; a backfill given as a range
    warms each window up by as many trading days as the range holds.
    `broker`, `strategy`, `ray_address`, `workers` and `sweep_options` (the
    other keywords of `run_sweep`, such as `run_timeout`) are `run_sweep`'s.
    `progress(runs finished, runs in all)` counts the training runs and the
    test runs.  A window whose sweep finished no combination with the
    ranking's figure, or whose test run failed, has its error and no share in
    the out-of-sample run.  Raises `SweepError` as `run_sweep` does, and for a
    period without a test day; Ctrl-C raises `WalkForwardInterrupted`, which
    carries the windows finished.
    """
    try:
        import ray
    except ImportError:
        raise SweepError(RAY_MISSING) from None
    strategy_class = load_strategy(strategy) if isinstance(strategy, str) else strategy
    market = settings.run.market
    spans = walk.windows(market.trading_days(*settings.run.period))
    windows: List[Window] = []
    tested: List[_TestRun] = []
    report = progress or (lambda done, total: None)

    def result(stopped: Optional[str] = None) -> WalkForwardResult:
        figures, evaluation, (equity, fills, round_trips) = _stitched(tested, settings.run)
        return WalkForwardResult(
            walk=walk,
            windows=windows,
            rank_by=rank_by,
            settings=settings,
            strategy=strategy_class.__name__,
            grid={name: list(values) for name, values in grid.items()},
            figures=figures,
            equity=equity,
            fills=fills,
            round_trips=round_trips,
            evaluation=evaluation,
            total=len(spans),
            stopped=stopped,
        )

    try:
        with contextlib.ExitStack() as stack:
            data_dir = settings.data_dir or stack.enter_context(
                tempfile.TemporaryDirectory(prefix="quorvel-walk-")
            )
            settings = dataclasses.replace(settings, data_dir=os.path.expanduser(data_dir))
            stack.enter_context(ray_session(ray, ray_address, workers))
            done = 0
            for number, (train, test) in enumerate(spans, 1):
                window = Window(number, train, test)

                def advance(finished: int, runs: int) -> None:
                    report(done + finished, len(spans) * (runs + 1))

                window.sweep = run_sweep(
                    broker,
                    strategy_class,
                    grid,
                    _over(settings, train),
                    fixed=fixed,
                    rank_by=rank_by,
                    ray_address=ray_address,
                    workers=workers,
                    progress=advance,
                    **sweep_options,
                )
                runs = window.sweep.total
                run = _test_run(broker, strategy_class, window, _over(settings, test), list(grid))
                windows.append(window)
                if run is not None:
                    tested.append(run)
                done += runs + 1
                report(done, len(spans) * (runs + 1))
    except (SweepInterrupted, BacktestInterrupted, KeyboardInterrupt):
        raise WalkForwardInterrupted(result("interrupted")) from None
    return result()


def _over(settings: SweepSettings, span: Span) -> SweepSettings:
    """The sweep's settings with the period `span`, warmed up as many trading days as the
    settings' backfill holds."""
    run = settings.run
    backfill = run.backfill
    if isinstance(backfill, tuple):
        backfill = len(run.market.trading_days(*backfill))
    return dataclasses.replace(settings, run=run.replace(period=span, backfill=backfill))


def _test_run(
    broker: BrokerFactory,
    strategy: Type[Strategy],
    window: Window,
    settings: SweepSettings,
    names: Sequence[str],
) -> Optional[_TestRun]:
    """Run the best of the window's sweep on its test days; fill in the window, and return
    what the stitching needs (None when there is no best or its run failed)."""
    assert window.sweep is not None
    best = window.sweep.rows[0] if window.sweep.rows else None
    rank_by = window.sweep.rank_by
    if best is None or best.figure(rank_by) is None:
        why = f": {best.error.splitlines()[0]}" if best is not None and best.error else ""
        window.error = f"no combination finished with a {rank_by} on the training days{why}"
        return None
    window.params = {name: best.params[name] for name in names}
    window.in_sample = best.figures
    with output_caught() as output:
        result, row = backtest_and_row(broker, strategy, best.params, settings)
    window.output = output.getvalue()
    window.out_of_sample, window.error = row.figures, row.error
    if result is None:
        return None
    evaluation = result.evaluate()
    return _TestRun(
        window.number,
        row.figures,
        evaluation,
        result.equity_frame(evaluation),
        result.fills_frame(evaluation),
        result.round_trips_frame(evaluation),
    )


def _stitched(
    runs: Sequence[_TestRun], settings: RunSettings
) -> Tuple[Dict[str, Any], Evaluation, Tuple[pl.DataFrame, pl.DataFrame, pl.DataFrame]]:
    """The out-of-sample run of the test runs: its figures, its evaluation and its equity,
    fills and round-trip frames, as the files hold them."""
    whole = joined(
        [run.evaluation for run in runs],
        settings.capital,
        settings.market.trading_day_of,
        settings.min_sharpe_days,
    )
    if not runs:  # stopped, or failed, before a test run ended: no figures, no rows
        return {}, whole, (pl.DataFrame(), pl.DataFrame(), pl.DataFrame())
    counts = {
        name: sum(run.figures[name] for run in runs)
        for name in _COUNTS
        if all(name in run.figures for run in runs)
    }
    everything = {**counts, **whole.total.as_dict()}
    figures = {name: everything[name] for name in (*FIGURES, *TOUCH_FIGURES) if name in everything}
    total = whole.curve.total()
    equity = _one_after_another(runs, "equity").with_columns(
        pl.Series("net_equity", [settings.capital + value for value in total]),
        pl.Series("drawdown", drawdowns(total)),
        *(pl.Series(f"net_pnl_{code}", values) for code, values in whole.curve.net_pnl.items()),
    )
    frames = (
        equity_as_filed(equity),
        fills_as_filed(_one_after_another(runs, "fills")),
        _one_after_another(runs, "round_trips"),
    )
    return figures, whole, frames


def _one_after_another(runs: Sequence[_TestRun], name: str) -> pl.DataFrame:
    """The test runs' frames `name` one after another, each row with its window first."""
    frames = [
        getattr(run, name).select(pl.lit(run.window, pl.Int64).alias("window"), pl.all())
        for run in runs
    ]
    return pl.concat(frames, how="diagonal")
