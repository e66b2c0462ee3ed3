"""Which combinations a sweep runs: every one of the grid, or trials drawn from it.

A grid search runs every combination.  A random search draws its trials from
the grid without repeats, seeded by the run's seed, so that the same sweep
draws the same trials again (a resumed one among them).  An optuna search
lets optuna's TPE sampler propose each next trial from the same values, each
parameter a categorical choice, told the ranking figure of every finished
run.  Either way the trials are asked for one at a time as workers come
free, several going at once, and the search ends after its number of them.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from quorvel.sweep.errors import SweepError

if TYPE_CHECKING:
    from quorvel.sweep.journal import RowsJournal
    from quorvel.sweep.runner import SweepRow

SEARCHES = ("grid", "random", "optuna")
OPTUNA_MISSING = (
    "--search optuna needs optuna, which is not installed: pip install 'quorvel[sweep]'"
)
# Proposals in a row of combinations already run or running, after which the optuna search
# draws a combination not yet tried itself: on a small grid the sampler repeats itself often.
_REPEATS_BEFORE_A_DRAW = 20


@dataclass(frozen=True)
class Search:
    """How a sweep picks its combinations: `method` one of `SEARCHES`, and for a random or an
    optuna search the number of `trials` it runs (a grid search runs them all)."""

    method: str = "grid"
    trials: Optional[int] = None

    def __post_init__(self) -> None:
        if self.method not in SEARCHES:
            raise ValueError(f"search: {self.method!r} is not one of {', '.join(SEARCHES)}")
        if self.method == "grid" and self.trials is not None:
            raise ValueError(
                "a grid search runs every combination; trials go with random or optuna"
            )
        if self.method != "grid" and (self.trials is None or self.trials < 1):
            raise ValueError(f"a {self.method} search needs its number of trials, at least 1")

    def as_dict(self) -> Dict[str, Any]:
        """The search as sweep.json records it."""
        return {"method": self.method, "trials": self.trials}


class Trials:
    """The runs of one sweep: the combination each next one runs, and the rows of those done.

    Iterating gives each next run as (index, parameters): the index is the
    combination's place in the grid (the last parameter varying fastest),
    the parameters hold the fixed ones too.  `finish` takes a run's row: it
    goes to the journal first (rows.jsonl, when the sweep keeps one), then
    to `rows`, and an optuna search is told its figure.  Rows taken from a
    journal (`take`) count as trials run and are not run again.
    """

    def __init__(
        self,
        grid: Mapping[str, Sequence[Any]],
        fixed: Mapping[str, Any],
        search: Search,
        rank_by: str,
        lower_is_better: bool,
        seed: Optional[int],
        journal: Optional[RowsJournal] = None,
    ) -> None:
        self._grid = {name: list(values) for name, values in grid.items()}
        self._fixed = dict(fixed)
        self._search = search
        self._rank_by = rank_by
        self._lower_is_better = lower_is_better
        self._journal = journal
        self._size = math.prod(len(values) for values in self._grid.values())
        self.total = self._size if search.trials is None else search.trials
        if self.total > self._size:
            raise SweepError(
                f"{self.total} trials are more than the {self._size} combinations of the grid"
            )
        if search.method == "optuna":
            try:
                import optuna  # noqa: F401  (imported here to be sure it is there)
            except ImportError:
                raise SweepError(OPTUNA_MISSING) from None
        self._seed = 0 if seed is None else seed
        self._draws = random.Random(self._seed)
        # A random search's trials, drawn once: the same again when a sweep is resumed.
        self._planned = self._drawn(self.total) if search.method == "random" else None
        self.rows: Dict[int, SweepRow] = {}
        self._started: Dict[int, Any] = {}  # running: each with its optuna trial, or None

    def take(self, rows: Sequence[SweepRow]) -> None:
        """Rows a journal kept: each of a trial of this sweep, and counted as run."""
        planned = set(self._in_plan()) if self._planned is not None else None
        for row in rows:
            index = self.index_of(row.params)
            if index is None or (planned is not None and index not in planned):
                raise SweepError(f"a row kept is not a trial of this sweep: {row.params}")
            self.rows[index] = row

    def __iter__(self) -> Iterator[Tuple[int, Dict[str, Any]]]:
        if self._search.method == "optuna":
            yield from self._proposals()
            return
        for index in self._in_plan():
            if index not in self.rows:
                self._started[index] = None
                yield index, self.params(index)

    def finish(self, index: int, row: SweepRow) -> None:
        """The run of `index` ended with `row`."""
        if self._journal is not None:
            self._journal.append(row)
        self.rows[index] = row
        trial = self._started.pop(index, None)
        if trial is not None:
            self._tell(trial, row)

    def params(self, index: int) -> Dict[str, Any]:
        """The parameters a run of the grid's combination `index` runs with."""
        places: List[Tuple[str, Any]] = []
        for name in reversed(self._grid):
            index, place = divmod(index, len(self._grid[name]))
            places.append((name, self._grid[name][place]))
        return {**self._fixed, **dict(reversed(places))}

    def index_of(self, params: Mapping[str, Any]) -> Optional[int]:
        """The place in the grid of the combination in `params`; None where it is none of it."""
        index = 0
        for name, values in self._grid.items():
            if name not in params or params[name] not in values:
                return None
            index = index * len(values) + values.index(params[name])
        return index

    def unfinished(self) -> List[Dict[str, Any]]:
        """The parameters of the trials without a row; of an optuna search those started (the
        ones it would have asked for later are not known)."""
        indexes = list(self._started) if self._search.method == "optuna" else self._in_plan()
        return [self.params(index) for index in indexes if index not in self.rows]

    def _in_plan(self) -> Sequence[int]:
        return range(self.total) if self._planned is None else self._planned

    def _drawn(self, count: int) -> List[int]:
        """`count` places in the grid drawn without repeats."""
        drawn: Dict[int, None] = {}  # a dict keeps the order of the draws
        while len(drawn) < count:
            drawn.setdefault(self._draws.randrange(self._size))
        return list(drawn)

    def _untried(self) -> int:
        """A place in the grid without a row or a run going, drawn at random."""
        while True:
            index = self._draws.randrange(self._size)
            if index not in self.rows and index not in self._started:
                return index

    def _proposals(self) -> Iterator[Tuple[int, Dict[str, Any]]]:
        import optuna  # only this search needs it; run_sweep saw that it is there

        failed = optuna.trial.TrialState.FAIL
        choices = {
            name: optuna.distributions.CategoricalDistribution(values)
            for name, values in self._grid.items()
        }
        study = self._study(optuna, choices)
        while len(self.rows) + len(self._started) < self.total:
            for _ in range(_REPEATS_BEFORE_A_DRAW):
                trial = study.ask(choices)
                index = self.index_of(trial.params)
                if index not in self.rows and index not in self._started:
                    break
                study.tell(trial, state=failed)  # tried already: nothing runs for it
            else:
                study.enqueue_trial(self._combination(self._untried()))
                trial = study.ask(choices)
                index = self.index_of(trial.params)
            assert index is not None  # asked for among the grid's own values
            self._started[index] = (study, trial)
            yield index, self.params(index)

    def _study(self, optuna: Any, choices: Mapping[str, Any]) -> Any:
        """A seeded TPE study that knows the rows taken from a journal."""
        verbosity = optuna.logging.get_verbosity()
        optuna.logging.set_verbosity(optuna.logging.WARNING)  # not a line for the new study
        try:
            study = optuna.create_study(
                direction="minimize" if self._lower_is_better else "maximize",
                sampler=optuna.samplers.TPESampler(seed=self._seed),
            )
        finally:
            optuna.logging.set_verbosity(verbosity)
        for index, row in self.rows.items():
            value = row.figure(self._rank_by)
            states = optuna.trial.TrialState
            study.add_trial(
                optuna.trial.create_trial(
                    params=self._combination(index),
                    distributions=dict(choices),
                    value=value,
                    state=states.FAIL if value is None else states.COMPLETE,
                )
            )
        return study

    def _combination(self, index: int) -> Dict[str, Any]:
        """The swept parameters alone of the combination `index`."""
        params = self.params(index)
        return {name: params[name] for name in self._grid}

    def _tell(self, started: Tuple[Any, Any], row: SweepRow) -> None:
        """A finished run's figure to the optuna search; a run without it (failed, or a Sharpe
        ratio without enough days) is a failed trial, which the sampler leaves out."""
        from optuna.trial import TrialState

        study, trial = started
        value = row.figure(self._rank_by)
        if value is None:
            study.tell(trial, state=TrialState.FAIL)
        else:
            study.tell(trial, value)
