"""Backtests: a strategy replayed through the simulated exchange.

A strategy is a `Strategy` subclass; `run_backtest` runs one backtest as a
function and `quorvel-backtest` (`main`) is the command line over it.
"""

from quorvel.backtest.cli import main
from quorvel.backtest.engine import BacktestError, resolve_codes, run_backtest
from quorvel.backtest.results import BacktestResult, plot_equity, render
from quorvel.backtest.strategy import OrderError, Strategy, load_strategy, parse_params

__all__ = [
    "BacktestError",
    "BacktestResult",
    "OrderError",
    "Strategy",
    "load_strategy",
    "main",
    "parse_params",
    "plot_equity",
    "render",
    "resolve_codes",
    "run_backtest",
]
