"""Parameter sweeps: every combination of a strategy's parameters, each a full backtest.

The runs are Ray tasks, so one sweep runs on the cores of one machine or on a
Ray cluster alike.  Ray is the optional extra ``quorvel[sweep]``.
"""

from quorvel.sweep.grid import combinations, parse_grid
from quorvel.sweep.journal import ROWS_FILE
from quorvel.sweep.logs import LOGS_DIRECTORY
from quorvel.sweep.overfitting import Overfitting
from quorvel.sweep.runner import (
    DEFAULT_RANK_BY,
    FIGURES,
    RAY_MISSING,
    SWEEP_FILES,
    SweepError,
    SweepInterrupted,
    SweepResult,
    SweepRow,
    SweepSettings,
    TOUCH_FIGURES,
    run_sweep,
)
from quorvel.sweep.search import SEARCHES, Search
from quorvel.sweep.tables import render_sweep
from quorvel.sweep.walk_forward import (
    WalkForward,
    WalkForwardInterrupted,
    WalkForwardResult,
    Window,
    run_walk_forward,
)
from quorvel.sweep.walk_tables import render_walk_forward

__all__ = [
    "DEFAULT_RANK_BY",
    "FIGURES",
    "LOGS_DIRECTORY",
    "Overfitting",
    "RAY_MISSING",
    "ROWS_FILE",
    "SEARCHES",
    "SWEEP_FILES",
    "Search",
    "SweepError",
    "SweepInterrupted",
    "SweepResult",
    "SweepRow",
    "SweepSettings",
    "TOUCH_FIGURES",
    "WalkForward",
    "WalkForwardInterrupted",
    "WalkForwardResult",
    "Window",
    "combinations",
    "parse_grid",
    "render_sweep",
    "render_walk_forward",
    "run_sweep",
    "run_walk_forward",
]
