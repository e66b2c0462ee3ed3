"""Running a sweep: one backtest per combination of parameters, each a Ray task.

Before fanning out, the driver loads the period once (`load_ticks`), so that
every day is in the tick cache under the data directory and the runs only
read it.  A worker that does not share the
driver's directory (a cluster without a shared file system) fills its own at
the same path on its first run.

Each run is a task in a Ray worker process: a process started for Ray, never
a fork of the driver.  A worker runs many tasks one after another; a run
leaves nothing behind in it (`run_backtest` closes its matcher).  A task
returns its row: the combination and the figures of the run's summary, or the
error text of a run that failed, so that one bad combination never sinks the
sweep; a run still going after the sweep's `run_timeout` is stopped and fails
its row the same way.

Ray is started or joined by `quorvel.sweep.session`, and shut down on every
way out.
"""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import json
import os
import sys
import tempfile
import time
import traceback
from dataclasses import dataclass, field
from typing import (
    Any,
    Callable,
    Dict,
    Iterator,
    List,
    Mapping,
    Optional,
    Sequence,
    Tuple,
    Type,
    Union,
)

import polars as pl

from quorvel.atomic_files import directory_written, written_together
from quorvel.backtest.account.ledger import profit_factor_of
from quorvel.backtest.engine.backtest import load_ticks, run_backtest
from quorvel.backtest.engine.kept_days import keep_days
from quorvel.backtest.errors import BacktestInterrupted, StrategyError
from quorvel.backtest.output.files import check_writable_directory, rounded_figures, summary
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.results.comparison import TOUCH
from quorvel.backtest.results.evaluation import daily_returns
from quorvel.backtest.settings.run import RunSettings
from quorvel.backtest.strategy.base import Strategy
from quorvel.backtest.strategy.loading import load_strategy
from quorvel.sweep.errors import SweepError, SweepInterrupted
from quorvel.sweep.journal import RowsJournal, sweep_identity
from quorvel.sweep.logs import LOGS_DIRECTORY, output_caught, write_logs
from quorvel.sweep.overfitting import Overfitting, check_pbo_splits, overfitting_of
from quorvel.sweep.pictures import SWEEP_PICTURES, write_sweep_pictures
from quorvel.sweep.search import Search, Trials
from quorvel.sweep.session import ray_session

RAY_MISSING = "parameter sweeps run on Ray, which is not installed: pip install 'quorvel[sweep]'"

# The figures of a row: the keys of a run summary's "total", in its order.
FIGURES = (
    "orders",
    "fills",
    "filled_qty",
    "cancellations",
    "gross_pnl",
    "realized_pnl",
    "unrealized_pnl",
    "dividends",
    "fees",
    "taxes",
    "net_pnl",
    "traded_value",
    "turnover",
    "round_trips",
    "winning_round_trips",
    "win_rate",
    "profit_factor",
    "max_drawdown",
    "max_drawdown_share",
    "sharpe",
)
# The figures under touch fills beside a row's own, in a sweep that compares fills.
TOUCH_FIGURES = tuple(TOUCH + name for name in ("fills", "net_pnl"))
# The figure a sweep is ranked by unless told otherwise.
DEFAULT_RANK_BY = "net_pnl"
# Figures of which less is better: the ranking puts the smallest first.
LOWER_IS_BETTER = frozenset({"max_drawdown", "max_drawdown_share", "fees", "taxes"})

SWEEP_FILES = ("sweep.csv", "sweep.json")


# Makes the broker API object in each process that runs a backtest; it must pickle.
BrokerFactory = Callable[[], Any]
Progress = Callable[[int, int], None]  # (runs finished, runs in all)


@dataclass(frozen=True)
class SweepSettings:
    """What every run of a sweep shares: its codes, its run settings and its tick cache; and
    the blocks of days its probability of backtest overfitting cuts the runs' returns into."""

    codes: Tuple[str, ...]
    run: RunSettings = field(default_factory=RunSettings)
    data_dir: Optional[str] = None  # None: a temporary directory for the sweep
    pbo_splits: Optional[int] = None  # None: 16, or fewer when the days are fewer

    def __post_init__(self) -> None:
        if self.pbo_splits is not None:
            check_pbo_splits(self.pbo_splits)

    def as_dict(self) -> Dict[str, Any]:
        """The settings as sweep.json records them; the blocks of days are with the
        statistics ("overfitting": "splits", as many as the days allowed)."""
        return {"codes": list(self.codes), "data_dir": self.data_dir, **self.run.as_dict()}


@dataclass
class SweepRow:
    """One combination: its parameters and its run's figures, or why the run failed; `output`
    is what the run printed (and the traceback of a failure), for its log file; `returns` its
    daily returns, which the overfitting statistics read (and sweep.csv does not hold)."""

    params: Dict[str, Any]
    figures: Dict[str, Any] = field(default_factory=dict)
    error: Optional[str] = None
    returns: List[float] = field(default_factory=list, repr=False)
    # A transcript, long at times: no part of what the row is or shows.
    output: str = field(default="", compare=False, repr=False)

    def flat(self, figures: Sequence[str]) -> Dict[str, Any]:
        """Parameters, the `figures` (None after a failure) and the error, as one record; the
        figures as the files hold them (`rounded_figures`)."""
        return {
            **self.params,
            **rounded_figures({name: self.figures.get(name) for name in figures}),
            "error": self.error,
        }

    def figure(self, name: str) -> Optional[float]:
        """The run's figure `name`, None after a failure; a profit factor without a losing round
        trip is infinite here (None in `figures` and in the files)."""
        if name == "profit_factor":
            return profit_factor_of(self.figures)
        return self.figures.get(name)


@dataclass
class SweepResult:
    """The rows of a sweep, ranked by `rank_by`; `total` combinations were asked for.

    A sweep stopped early (Ctrl-C) is partial: `stopped` says why, and
    `unfinished` holds the parameters of the combinations without a row.
    """

    rows: List[SweepRow]
    rank_by: str
    total: int
    settings: SweepSettings
    strategy: str
    unfinished: List[Dict[str, Any]] = field(default_factory=list)
    stopped: Optional[str] = None
    search: Search = field(default_factory=Search)

    @property
    def trials(self) -> int:
        """The combinations run, failed ones too (the deflated Sharpe ratio counts the finished
        ones, which have returns)."""
        return len(self.rows)

    def frame(self) -> pl.DataFrame:
        """One row per combination: the finished ones best first (parameters, figures, error),
        then those a partial sweep did not finish, with why in "error"."""
        figures = figures_of(self.settings.run)
        records = [row.flat(figures) for row in self._rows_and_unfinished()]
        return pl.DataFrame(records, infer_schema_length=None).with_row_index("rank", offset=1)

    @functools.cached_property
    def overfitting(self) -> Optional[Overfitting]:
        """The deflated Sharpe ratio of the best finished combination and the probability of
        backtest overfitting of them all (`quorvel.sweep.overfitting`); None for a sweep of
        one combination, which chose nothing."""
        if self.total < 2:
            return None
        finished = [row for row in self.rows if row.error is None]
        ranked = bool(finished) and finished[0].figure(self.rank_by) is not None
        returns = [row.returns for row in finished]
        return overfitting_of(returns, self.settings.pbo_splits, ranked)

    def write(self, directory: str) -> List[str]:
        """Write `SWEEP_FILES` into `directory` (created if missing), each finished run's log
        into its ``runs/`` (`quorvel.sweep.logs`) and the pictures where their libraries are
        installed (`quorvel.sweep.pictures`); return the paths of the two files.

        They are written into a fresh directory swapped into place
        (`quorvel.atomic_files.directory_written`): `directory` holds this
        sweep's files or those of the one before, never a mix.  A partial
        sweep says so in sweep.json ("partial", "stopped") and in the error
        of each unfinished combination's row.
        """
        directory = os.path.abspath(os.path.expanduser(directory))
        check_writable_directory(directory, SWEEP_FILES)
        logs = os.path.join(directory, LOGS_DIRECTORY)
        if os.path.lexists(logs) and not os.path.isdir(logs):  # not one of ours to replace
            raise NotADirectoryError(f"{logs} is a file; the runs' logs need a folder there")
        names = (*SWEEP_FILES, *SWEEP_PICTURES, LOGS_DIRECTORY)
        with directory_written(directory, names) as staged:
            self._write_into(staged)
            write_sweep_pictures(self, staged)
        return [os.path.join(directory, name) for name in SWEEP_FILES]

    def _write_into(self, directory: str) -> None:
        paths = [os.path.join(directory, name) for name in SWEEP_FILES]
        rows = self._rows_and_unfinished()
        document = {
            "strategy": self.strategy,
            "rank_by": self.rank_by,
            "search": self.search.as_dict(),
            "combinations": self.total,
            "finished": len(self.rows),
            "partial": self.stopped is not None,
            "stopped": self.stopped,
            "settings": self.settings.as_dict(),
            "overfitting": self.overfitting.as_dict() if self.overfitting else None,
            "rows": [
                {"rank": rank, **row.flat(figures_of(self.settings.run))}
                for rank, row in enumerate(rows, 1)
            ],
        }
        with written_together(paths) as (csv_path, json_path):
            self.frame().write_csv(csv_path)
            with open(json_path, "w", encoding="utf-8") as json_file:
                json.dump(document, json_file, indent=2, ensure_ascii=False)
                json_file.write("\n")
            write_logs(directory, [(row.params, row.output) for row in self.rows])

    def _rows_and_unfinished(self) -> List[SweepRow]:
        not_run = f"not finished: the sweep was {self.stopped}"
        return [*self.rows, *(SweepRow(params, error=not_run) for params in self.unfinished)]


def run_one(
    broker: BrokerFactory,
    strategy: Type[Strategy],
    params: Dict[str, Any],
    settings: SweepSettings,
) -> SweepRow:
    """The backtest of one combination, as a sweep task runs it: its row, with what the run
    printed.  The process keeps the days it loads for the sweep's next runs (`keep_days`)."""
    keep_days()
    with output_caught() as output:
        _, row = backtest_and_row(broker, strategy, params, settings)
    row.output = output.getvalue()
    return row


def backtest_and_row(
    broker: BrokerFactory,
    strategy: Type[Strategy],
    params: Dict[str, Any],
    settings: SweepSettings,
) -> Tuple[Optional[BacktestResult], SweepRow]:
    """The backtest of one combination and its row; no result when the run failed (the row's
    error says why, and its traceback is printed)."""
    try:
        result = run_backtest(
            broker(),
            settings.codes,
            settings.run,
            strategy=strategy(**params),
            data_dir=settings.data_dir or "",
        )
    except BacktestInterrupted:  # Ctrl-C, where the run is the caller's: no failed row
        raise
    except Exception as error:
        traceback.print_exception(type(error), error, error.__traceback__)
        # A StrategyError's message names the strategy's exception already.
        named = isinstance(error, StrategyError)
        text = str(error) if named else f"{type(error).__name__}: {error}"
        return None, SweepRow(params, error=text)
    evaluation = result.evaluate()
    document = summary(result, evaluation)
    compared = document.get("fill_comparison", {}).get("total", {})
    touch = {name: compared[name] for name in TOUCH_FIGURES if name in compared}
    curve = evaluation.curve
    returns = daily_returns(curve.timestamps, curve.total(), settings.run.capital, result.day_of)
    return result, SweepRow(params, {**document["total"], **touch}, returns=returns)


def figures_of(run: RunSettings) -> Tuple[str, ...]:
    """The figures of a sweep's rows: with fills compared, their twins under touch fills too."""
    return FIGURES + TOUCH_FIGURES if run.compares_fills else FIGURES


def rank(rows: Sequence[SweepRow], rank_by: str) -> List[SweepRow]:
    """Best first by `rank_by`; failed runs and runs without the figure last, in grid order."""

    def key(row: SweepRow) -> Tuple[bool, float]:
        value = row.figure(rank_by)
        if value is None:
            return (True, 0.0)
        return (False, value if rank_by in LOWER_IS_BETTER else -value)

    return sorted(rows, key=key)


def run_sweep(
    broker: BrokerFactory,
    strategy: Union[str, Type[Strategy]],
    grid: Mapping[str, Sequence[Any]],
    settings: SweepSettings,
    *,
    fixed: Optional[Mapping[str, Any]] = None,
    rank_by: str = DEFAULT_RANK_BY,
    ray_address: Optional[str] = None,
    workers: Optional[int] = None,
    progress: Optional[Progress] = None,
    run_timeout: Optional[float] = None,
    search: Search = Search(),
    journal: Optional[str] = None,
    resume: bool = False,
) -> SweepResult:
    """Backtest every combination of `grid` (each with the `fixed` parameters too) as Ray tasks.

    `broker` makes the broker API object in each process; `strategy` is a
    `Strategy` subclass or its ``PATH.py:Class`` / ``package.module:Class``
    name.  Ray is joined at `ray_address`, or used as already started in
    this process, or else started here on this machine's cores (`workers` of
    them) and shut down at the end; `workers` also bounds the runs at once.
    A run still going `run_timeout` seconds after it was handed to Ray is
    stopped and fails its row (the runs are then handed over only as cores
    are free, so that a run's time is its own).  Raises `SweepError` without
    Ray, for a Ray address that does not answer, or for a bad grid.  Ctrl-C,
    at any point, cancels the runs not finished and raises
    `SweepInterrupted`, which carries the finished rows.

    `search` picks the combinations (`quorvel.sweep.search`): all of the
    grid, or a random or an optuna search's trials.  With a `journal`
    directory each finished row is appended to its rows.jsonl as the run
    ends (`quorvel.sweep.journal`); with `resume` too, the rows it holds
    already are taken as they are and only the others run.
    """
    try:
        import ray
    except ImportError:
        raise SweepError(RAY_MISSING) from None
    strategy_class = load_strategy(strategy) if isinstance(strategy, str) else strategy
    _check_grid(strategy_class, grid, fixed or {}, rank_by, figures_of(settings.run))
    identity = sweep_identity(strategy_class, settings, broker, grid, fixed or {}, search)
    rows_journal = RowsJournal(journal, identity) if journal else None
    runs = _trials(grid, fixed or {}, search, rank_by, settings.run.seed, rows_journal, resume)

    def ranked(stopped: Optional[str] = None) -> SweepResult:
        in_grid_order = [runs.rows[index] for index in sorted(runs.rows)]
        return SweepResult(
            rank(in_grid_order, rank_by),
            rank_by,
            runs.total,
            settings,
            strategy_class.__name__,
            runs.unfinished(),
            stopped,
            search,
        )

    try:
        with contextlib.ExitStack() as stack:
            data_dir = settings.data_dir or stack.enter_context(
                tempfile.TemporaryDirectory(prefix="quorvel-sweep-")
            )
            settings = dataclasses.replace(settings, data_dir=os.path.expanduser(data_dir))
            _fill_tick_cache(broker, settings)
            if rows_journal:
                stack.enter_context(rows_journal)
            stack.enter_context(ray_session(ray, ray_address, workers))
            stack.enter_context(_shipped_by_value(ray, strategy_class))
            # Without a run timeout, runs wait queued beyond the cores, so that a core never waits
            # for the driver; with one, a run starts when it is handed over.
            cores = max(1, int(ray.cluster_resources().get("CPU", 1)))
            limit = workers or (cores if run_timeout else 2 * cores)
            task = ray.remote(num_cpus=1, max_retries=0)(run_one)

            def submit(params: Dict[str, Any]) -> Any:
                return task.remote(broker, strategy_class, params, settings)

            _gather(ray, submit, runs, limit, run_timeout, progress)
    except KeyboardInterrupt:
        raise SweepInterrupted(ranked("interrupted")) from None
    return ranked()


def _check_grid(
    strategy: Type[Strategy],
    grid: Mapping[str, Sequence[Any]],
    fixed: Mapping[str, Any],
    rank_by: str,
    figures: Sequence[str],
) -> None:
    if rank_by in TOUCH_FIGURES and rank_by not in figures:
        raise SweepError(
            f"{rank_by} is a figure under touch fills: rank by it with fills compared "
            "(compare_fills, --compare-fills)"
        )
    if rank_by not in figures:
        raise SweepError(f"cannot rank by {rank_by!r}; the figures are {', '.join(figures)}")
    if not grid or not all(grid.values()):
        raise SweepError("a sweep needs at least one parameter with at least one value")
    known = strategy.parameters()
    for name in [*grid, *fixed]:
        if name not in known:
            raise SweepError(f"{strategy.__name__} has no parameter {name!r}")
        if name in figures or name in TOUCH_FIGURES or name in ("rank", "error"):
            raise SweepError(f"the parameter {name!r} has the name of a column of the sweep table")
    both = sorted(set(grid) & set(fixed))
    if both:
        raise SweepError(f"{', '.join(both)}: both swept and set; give each one way only")


def _trials(
    grid: Mapping[str, Sequence[Any]],
    fixed: Mapping[str, Any],
    search: Search,
    rank_by: str,
    seed: Optional[int],
    journal: Optional[RowsJournal],
    resume: bool,
) -> Trials:
    """The runs of the sweep, those a resumed journal holds already taken as done."""
    runs = Trials(grid, fixed, search, rank_by, rank_by in LOWER_IS_BETTER, seed, journal)
    if resume:
        if journal is None:
            raise SweepError("a sweep resumes from the rows.jsonl of its journal: name its folder")
        runs.take([SweepRow(**record) for record in journal.read()])
    return runs


def _fill_tick_cache(broker: BrokerFactory, settings: SweepSettings) -> None:
    """Load every day of the period and the backfill into the data directory, once."""
    load_ticks(broker(), settings.codes, settings.run, data_dir=settings.data_dir or "")


@contextlib.contextmanager
def _shipped_by_value(ray: Any, strategy: Type[Strategy]) -> Iterator[None]:
    """Send a strategy defined outside the package with its code, so that workers need not
    import its module (a file loaded by path, a script, a test)."""
    module = sys.modules.get(strategy.__module__)
    if module is None or strategy.__module__.split(".")[0] == "quorvel":
        yield
        return
    ray.cloudpickle.register_pickle_by_value(module)
    try:
        yield
    finally:
        ray.cloudpickle.unregister_pickle_by_value(module)


def _gather(
    ray: Any,
    submit: Callable[[Dict[str, Any]], Any],
    runs: Trials,
    limit: int,
    run_timeout: Optional[float],
    progress: Optional[Progress],
) -> None:
    """Keep up to `limit` runs going until all have finished, each row handed to `runs`
    under the run's index; a run going for longer than `run_timeout` is cancelled and fails
    its row.  KeyboardInterrupt keeps the rows of the runs finished by then and cancels the
    others."""
    pending: Dict[Any, int] = {}
    deadlines: Dict[Any, float] = {}
    waiting = iter(runs)
    report = progress or (lambda done, total: None)
    report(len(runs.rows), runs.total)
    try:
        while True:
            for index, params in waiting:
                reference = submit(params)
                pending[reference] = index
                if run_timeout is not None:
                    deadlines[reference] = time.monotonic() + run_timeout
                if len(pending) >= limit:
                    break
            if not pending:
                return
            wait = max(0.0, min(deadlines.values()) - time.monotonic()) if deadlines else None
            finished, _ = ray.wait(list(pending), num_returns=1, timeout=wait)
            for reference in finished:
                index = pending.pop(reference)
                deadlines.pop(reference, None)
                runs.finish(index, _row(ray, reference, runs.params(index)))
            for reference, deadline in list(deadlines.items()):
                if time.monotonic() >= deadline:
                    ray.cancel(reference, force=True)
                    index = pending.pop(reference)
                    del deadlines[reference]
                    timed_out = f"timed out: still running after {run_timeout:g} s"
                    runs.finish(index, SweepRow(runs.params(index), error=timed_out))
            report(len(runs.rows), runs.total)
    except KeyboardInterrupt:
        # The runs that ended before the interrupt keep their rows.
        ended = ray.wait(list(pending), num_returns=len(pending), timeout=0)[0] if pending else []
        for reference in ended:
            index = pending.pop(reference)
            runs.finish(index, _row(ray, reference, runs.params(index)))
        for reference in pending:
            ray.cancel(reference, force=True)
        raise


def _row(ray: Any, reference: Any, params: Dict[str, Any]) -> SweepRow:
    """A finished task's row; a task that Ray could not finish (its worker died) fails its row."""
    try:
        return ray.get(reference)
    except Exception as error:
        cause = getattr(error, "cause", None) or error  # a task's error carries the original
        return SweepRow(params, error=f"{type(cause).__name__}: {cause}")
