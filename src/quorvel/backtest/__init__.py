"""Backtests: a strategy replayed through the simulated exchange.

A strategy is a `Strategy` subclass; `run_backtest` runs one backtest as a
function and `quorvel-backtest` (`main`) is the command line over it.
"""

from quorvel.backtest.account import (
    AccountRefusal,
    AccountRules,
    Balances,
    FuturesMargin,
)
from quorvel.backtest.cli import main
from quorvel.backtest.contracts import ContractError, contract_for
from quorvel.backtest.costs import CostModel
from quorvel.backtest.engine import (
    BacktestError,
    BacktestInterrupted,
    load_ticks,
    resolve_codes,
    run_backtest,
)
from quorvel.backtest.export import plot_equity, summary, write_outputs
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import (
    MarginCall,
    OrderError,
    Strategy,
    load_strategy,
    parse_params,
)
from quorvel.backtest.tables import render

__all__ = [
    "AccountRefusal",
    "AccountRules",
    "Balances",
    "BacktestError",
    "BacktestInterrupted",
    "BacktestResult",
    "ContractError",
    "CostModel",
    "FuturesMargin",
    "MarginCall",
    "OrderError",
    "Strategy",
    "contract_for",
    "load_strategy",
    "load_ticks",
    "main",
    "parse_params",
    "plot_equity",
    "render",
    "resolve_codes",
    "run_backtest",
    "summary",
    "write_outputs",
]
