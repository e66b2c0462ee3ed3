"""Backtests: a strategy replayed through the tick feed and the simulated exchange.

`run_backtest` runs one backtest as a function; `quorvel-backtest` (`main`) is the
command line over it.
"""

from quorvel.backtest.cli import main
from quorvel.backtest.contracts import ContractError, contract_for
from quorvel.backtest.costs import CostModel
from quorvel.backtest.engine import BacktestError, resolve_codes, run_backtest
from quorvel.backtest.export import plot_equity, summary, write_outputs
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import MeanReversionStrategy, StrategyParams
from quorvel.backtest.tables import render

__all__ = [
    "BacktestError",
    "BacktestResult",
    "ContractError",
    "CostModel",
    "MeanReversionStrategy",
    "StrategyParams",
    "contract_for",
    "main",
    "plot_equity",
    "render",
    "resolve_codes",
    "run_backtest",
    "summary",
    "write_outputs",
]
