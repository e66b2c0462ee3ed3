"""Run a backtest: a strategy replayed through the simulated exchange.

Two engines replay the same ticks through the same `Matcher`, call the
strategy's hooks at the same points and give the same reports:
``engine="replay"`` (the default, `quorvel.backtest.replay`) runs on the
caller's thread alone, and ``engine="paced"`` (`quorvel.backtest.paced`) is
the live-like road through the tick feed's threads.

In both engines the reports of a tick's matching reach `on_report` before
`on_tick`, and those of the strategy's operations after the hook that made
them returns, before the next tick.
"""

from __future__ import annotations

import contextlib
import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from quorvel import market
from quorvel.backtest.account import Account, AccountRules
from quorvel.backtest.costs import CostModel
from quorvel.backtest.days import span_days
from quorvel.backtest.errors import BacktestError, BacktestInterrupted, StrategyError
from quorvel.backtest.failures import stops_recorded
from quorvel.backtest.lifecycle import (
    count_cache_files,
    handed_over,
    modules_quiet,
    one_run_at_a_time,
    using_data_dir,
)
from quorvel.backtest.paced import run_paced
from quorvel.backtest.replay import run_replay
from quorvel.backtest.results import DEFAULT_CAPITAL, BacktestResult
from quorvel.backtest.run import Progress, Run
from quorvel.backtest.strategy import (
    DEFAULT_STRATEGY,
    StrategyArg,
    load_strategy,
    strategy_instance,
)
from quorvel import cache_files
from quorvel.constant import BASIC_INFO

__all__ = [
    "BacktestError",
    "BacktestInterrupted",
    "StrategyError",
    "cache_directory",
    "load_ticks",
    "resolve_codes",
    "run_backtest",
]

DEFAULT_CODES = ("2330", "TXFR1")
# A week of trading days, Monday to Friday.
DEFAULT_PERIOD = ("2024-01-08", "2024-01-12")
# The trading days before the period that warm the strategy up.
DEFAULT_BACKFILL_DAYS = 2
ENGINES = ("replay", "paced")
# The most permits the paced engine grants ahead; no more than the run has ticks are granted.
MAX_WINDOW = 1_000_000

# A backfill: an explicit (first, last) range, a number of trading days before the period, or none.
Backfill = Union[Tuple[str, str], int, None]


def backfill_span(period: Tuple[str, str], backfill: Backfill) -> Optional[Tuple[str, str]]:
    """The backfill range: a range as given, a number of days counted back from the period."""
    if isinstance(backfill, int):
        return market.backfill_range(period[0], backfill)
    return (backfill[0], backfill[1]) if backfill else None


def cache_directory(data_dir: str, api: Any) -> str:
    """Where the ticks of `api` are cached: `data_dir`, or its sub-directory named by the API's
    `tick_source` where it has one (the offline broker names its settings there), so that one
    data directory never mixes ticks of different sources."""
    path = os.path.expanduser(data_dir)
    source = getattr(api, "tick_source", None)
    return os.path.join(path, source) if source else path


def resolve_codes(api: Any, codes: Sequence[str]) -> List[Dict[str, str]]:
    """The instrument list for `codes`, each looked up in the API's contract registry.

    A code given more than once is listed once: the feed would replay its ticks once per entry.
    A code that cannot name a cache file (see `cache_files.check_code`) is refused first,
    whatever the registry says of it.
    """
    resolved = []
    for code in dict.fromkeys(codes):
        try:
            cache_files.check_code(code)
        except ValueError as error:
            raise BacktestError(str(error)) from None
        if _registry_has(api.Contracts.Stocks, code):
            resolved.append({"code": code, "market": "Stock"})
        elif _registry_has(api.Contracts.Futures, code):
            resolved.append({"code": code, "market": "Future"})
        else:
            raise BacktestError(
                f"unknown code {code!r}: neither a stock nor a futures contract of the broker"
            )
    return resolved


def _registry_has(registry: Any, code: str) -> bool:
    try:
        return registry[code] is not None
    except (KeyError, IndexError):
        return False


def run_backtest(
    api: Any,
    codes: Sequence[str],
    period: Tuple[str, str] = DEFAULT_PERIOD,
    backfill: Backfill = DEFAULT_BACKFILL_DAYS,
    *,
    data_dir: str,
    strategy: Optional[StrategyArg] = None,
    engine: str = "replay",
    window: int = 64,
    progress: Optional[Progress] = None,
    quiet_modules: bool = True,
    stall_timeout: float = 120.0,
    equity_every: int = 50,
    capital: float = DEFAULT_CAPITAL,
    costs: Optional[CostModel] = None,
    account: Optional[AccountRules] = None,
    account_rules: bool = True,
) -> BacktestResult:
    """Replay `period` for `codes` through the matcher with `strategy`.

    `api` is the broker API object (`SimulatedBroker` or the broker's own,
    logged in); ticks are cached under `data_dir` (`cache_directory`).
    `backfill` is a range of days replayed first to warm the strategy up, or
    a number of trading days before the period (default 2).  `strategy` is a
    `Strategy` subclass or instance (default: the built-in mean reversion);
    `engine` is "replay" or "paced" (`window` permits granted ahead).  The
    strategy trades in an account that starts with `capital` NTD, pays
    `costs` and keeps the rules of `account` (default `AccountRules()`: a
    cash account); ``account_rules=False`` gives an account without limits.
    Raises `BacktestError` for an unknown code, while another run is under
    way in this process, and, in the paced engine, for a run in which neither
    a tick nor an awaited report comes for `stall_timeout` seconds.  On
    Ctrl-C it raises `BacktestInterrupted`, and when a hook of the strategy
    raises, `StrategyError` (its traceback also goes to logs/quorvel.log
    under `cache_directory(data_dir, api)`); both carry the result so far, marked partial.
    Every thread the run started has ended when it returns or raises.
    """
    from quorvel.modules.matcher import matcher as matcher_module
    from quorvel.modules.ticker import ticker as ticker_module

    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, got {engine!r}")
    if not 1 <= window <= MAX_WINDOW:
        raise ValueError(f"window must be from 1 to {MAX_WINDOW}, got {window}")
    if not 0 < capital < math.inf:
        raise ValueError(f"capital must be a positive number of NTD, got {capital!r}")
    chosen = strategy_instance(load_strategy(DEFAULT_STRATEGY) if strategy is None else strategy)
    instruments = resolve_codes(api, codes)
    result = BacktestResult(instruments, (period[0], period[1]), None, window)
    result.engine = engine
    result.strategy = type(chosen).__name__
    result.capital, result.costs = capital, costs or CostModel()
    result.account_rules, result.account_enforced = account or AccountRules(), account_rules
    result.account_rules.check(result.contracts)
    result.backfill = backfill_span(period, backfill)
    quiet = (
        modules_quiet([matcher_module, ticker_module])
        if quiet_modules
        else contextlib.nullcontext()
    )
    path = cache_directory(data_dir, api)
    stops = stops_recorded(chosen, result)
    # Left in reverse order: the engine has ended its threads before the data directory is restored.
    with handed_over(result, path), one_run_at_a_time(), using_data_dir(path), stops, quiet:
        result.cache_files_before = count_cache_files(BASIC_INFO.data_dir)
        matcher = matcher_module.Matcher()
        # One process may run many backtests: a finished run leaves no intake thread, and no
        # matcher held alive by one, behind.
        with contextlib.closing(matcher):
            ticker = ticker_module.Ticker(api)
            result.positions = matcher.positions
            result.account = Account(
                result.contracts,
                result.account_rules,
                result.costs,
                capital,
                matcher.positions.last_prices,
                account_rules,
            )
            engine_run = run_replay if engine == "replay" else run_paced
            engine_run(
                Run(
                    ticker,
                    matcher,
                    chosen,
                    instruments,
                    result,
                    progress,
                    equity_every,
                    stall_timeout,
                    result.account,
                )
            )
    return result


def load_ticks(
    api: Any,
    codes: Sequence[str],
    period: Tuple[str, str] = DEFAULT_PERIOD,
    backfill: Backfill = DEFAULT_BACKFILL_DAYS,
    *,
    data_dir: str,
) -> int:
    """Load the ticks of `period` and `backfill` into the tick cache under `data_dir`
    without replaying them, and return how many there are.

    The days go through the tick feed's own loading path, as a run's do, so
    later runs of the same codes and days read them from the cache; one day
    is held at a time.
    """
    from quorvel.modules.ticker import feed
    from quorvel.modules.ticker import ticker as ticker_module

    instruments = resolve_codes(api, codes)
    path = cache_directory(data_dir, api)
    spans = (backfill_span(period, backfill), period)
    days = [day for span in spans if span for day in span_days(*span)]
    with one_run_at_a_time(), using_data_dir(path), modules_quiet([ticker_module]):
        ticker = ticker_module.Ticker(api)
        return sum(feed.load(ticker, instruments, day, day, None).height for day in days)
