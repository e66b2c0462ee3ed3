"""Backtests: a strategy replayed through the simulated exchange.

A strategy is a `Strategy` subclass, handed `Tick`, `Bar`, `OrderReport`
and `DealReport` dicts (and `Quote` dicts when it asks); `run_backtest`
runs one backtest as a function.  The command line over it,
`quorvel-backtest`, lives in `quorvel.cli`.
"""

from quorvel.backtest.account import (
    AccountRefusal,
    AccountRules,
    Balances,
    FuturesMargin,
)
from quorvel.backtest.contracts import ContractError, contract_for
from quorvel.backtest.costs import CostModel
from quorvel.backtest.engine import (
    BacktestError,
    BacktestInterrupted,
    StrategyError,
    cache_directory,
    load_ticks,
    resolve_codes,
    run_backtest,
)
from quorvel.backtest.export import summary, write_outputs
from quorvel.backtest.messages import Bar, DealReport, MarginCall, OrderReport, Quote, Tick
from quorvel.backtest.plot import equity_figure, plot_equity
from quorvel.backtest.report import write_report
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import OrderError, Strategy, load_strategy, parse_params
from quorvel.backtest.tables import render

__all__ = [
    "AccountRefusal",
    "AccountRules",
    "Balances",
    "BacktestError",
    "BacktestInterrupted",
    "BacktestResult",
    "Bar",
    "ContractError",
    "CostModel",
    "DealReport",
    "FuturesMargin",
    "MarginCall",
    "OrderError",
    "OrderReport",
    "Quote",
    "Strategy",
    "StrategyError",
    "Tick",
    "cache_directory",
    "contract_for",
    "equity_figure",
    "load_strategy",
    "load_ticks",
    "parse_params",
    "plot_equity",
    "render",
    "resolve_codes",
    "run_backtest",
    "summary",
    "write_outputs",
    "write_report",
]
