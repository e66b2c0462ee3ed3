"""Backtests: a strategy replayed through the tick feed and the simulated exchange.

`run_backtest` runs one backtest as a function; `quorvel-backtest` (`main`) is the
command line over it.
"""

from quorvel.backtest.cli import main
from quorvel.backtest.engine import (
    BacktestError,
    BacktestInterrupted,
    resolve_codes,
    run_backtest,
)
from quorvel.backtest.results import BacktestResult, plot_equity, render
from quorvel.backtest.strategy import MeanReversionStrategy, StrategyParams

__all__ = [
    "BacktestError",
    "BacktestInterrupted",
    "BacktestResult",
    "MeanReversionStrategy",
    "StrategyParams",
    "main",
    "plot_equity",
    "render",
    "resolve_codes",
    "run_backtest",
]
