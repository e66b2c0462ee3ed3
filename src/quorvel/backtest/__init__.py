"""Backtests: a strategy replayed through the simulated exchange.

A strategy is a `Strategy` subclass, handed `Tick`, `Bar`, `OrderReport`
and `DealReport` dicts (and `Quote` dicts when it asks); `run_backtest`
runs one backtest as a function, and `quorvel.backtest.output` shows and
writes what it produced.  The command line over it, `quorvel-backtest`,
lives in `quorvel.cli`.

The package's layers, each importing only those before it: `errors`,
`messages` and `core` (the extension modules); `settings`; `strategy`;
`account`; `results`; `engine`; `output`.
"""

from quorvel.backtest.engine.backtest import run_backtest
from quorvel.backtest.errors import (
    BacktestError,
    BacktestInterrupted,
    DataFaultError,
    OrderError,
    StrategyError,
    StrategyStalled,
)
from quorvel.backtest.messages import (
    Bar,
    CorporateActionInfo,
    DealReport,
    MarginCall,
    OrderReport,
    Quote,
    Settlement,
    Tick,
)
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.settings.account import AccountRules, FuturesMargin
from quorvel.backtest.settings.caps import RiskCaps
from quorvel.backtest.settings.costs import CostModel
from quorvel.backtest.settings.run import RunSettings
from quorvel.backtest.strategy.base import Strategy

__all__ = [
    "AccountRules",
    "BacktestError",
    "BacktestInterrupted",
    "BacktestResult",
    "Bar",
    "CorporateActionInfo",
    "CostModel",
    "DataFaultError",
    "DealReport",
    "FuturesMargin",
    "MarginCall",
    "OrderError",
    "OrderReport",
    "Quote",
    "RiskCaps",
    "RunSettings",
    "Settlement",
    "Strategy",
    "StrategyError",
    "StrategyStalled",
    "Tick",
    "run_backtest",
]
