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
import tempfile
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from quorvel import market
from quorvel.backtest import core
from quorvel.backtest.account.account import Account
from quorvel.backtest.engine.days import span_days
from quorvel.backtest.engine.failures import stops_recorded
from quorvel.backtest.engine.lifecycle import (
    broker_log_under,
    count_cache_files,
    handed_over,
    modules_quiet,
    one_run_at_a_time,
    using_data_dir,
)
from quorvel.backtest.engine.market_rules import (
    MarketRulesArg,
    TradingRules,
    chosen_rules,
    opening_references,
)
from quorvel.backtest.engine.paced import run_paced
from quorvel.backtest.engine.replay import run_replay
from quorvel.backtest.engine.road import Progress, Run
from quorvel.backtest.engine.trade_ids import seeded_trade_ids
from quorvel.backtest.errors import BacktestError, BacktestInterrupted, StrategyError
from quorvel.backtest.results.evaluation import DEFAULT_MIN_SHARPE_DAYS
from quorvel.backtest.results.result import DEFAULT_CAPITAL, BacktestResult
from quorvel.backtest.settings.account import AccountRules
from quorvel.backtest.settings.costs import CostModel
from quorvel.backtest.strategy.loading import (
    DEFAULT_STRATEGY,
    StrategyArg,
    load_strategy,
    strategy_instance,
)
from quorvel.cache import day_files
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
    A code that cannot name a cache file (see `day_files.check_code`) is refused first,
    whatever the registry says of it.
    """
    resolved = []
    for code in dict.fromkeys(codes):
        try:
            day_files.check_code(code)
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
    data_dir: Optional[str] = None,
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
    market_rules: MarketRulesArg = market.TAIWAN,
    seed: Optional[int] = 0,
    min_sharpe_days: int = DEFAULT_MIN_SHARPE_DAYS,
) -> BacktestResult:
    """Replay `period` for `codes` through the matcher with `strategy`.

    `api` is the broker API object (`SimulatedBroker` or the broker's own,
    logged in); ticks are cached under `data_dir` (`cache_directory`), by
    default a temporary directory removed after the run, as the command does
    without ``--data-dir``: give one to keep the ticks for later runs.
    `backfill` is a range of days replayed first to warm the strategy up, or
    a number of trading days before the period (default 2).  `strategy` is a
    `Strategy` subclass or instance (default: the built-in mean reversion);
    `engine` is "replay" or "paced" (`window` permits granted ahead).  The
    strategy trades in an account that starts with `capital` NTD, pays
    `costs` and keeps the rules of `account` (default `AccountRules()`: a
    cash account); ``account_rules=False`` gives an account without limits.
    `market_rules` are the rules the exchange holds the strategy to (default
    Taiwan's, `quorvel.market.TAIWAN`): a limit price off the price step or
    beyond the day's price limits is refused with `OrderError`, and the ROD
    orders of an instrument still in the book at its session's close are
    cancelled; False gives the raw exchange.
    Trade ids are drawn from a generator seeded with `seed`, so that the same
    run gives the same reports and files byte for byte (`quorvel.backtest.
    trade_ids`); ``seed=None`` keeps the matcher's own generator.  The Sharpe
    ratio needs `min_sharpe_days` trading days of returns.
    Raises `BacktestError` for an unknown code, while another run is under
    way in this process, and, in the paced engine, for a run in which neither
    a tick nor an awaited report comes for `stall_timeout` seconds.  On
    Ctrl-C it raises `BacktestInterrupted`, and when a hook of the strategy
    raises, `StrategyError` (its traceback also goes to logs/quorvel.log
    under `cache_directory(data_dir, api)`); both carry the result so far, marked partial.
    Every thread the run started has ended when it returns or raises.  The
    broker package, when this first imports it, logs to logs/shioaji.log under
    `data_dir` unless SJ_LOG_PATH says otherwise.
    """
    matcher_module = core.matcher()

    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, got {engine!r}")
    if not 1 <= window <= MAX_WINDOW:
        raise ValueError(f"window must be from 1 to {MAX_WINDOW}, got {window}")
    if not 0 < capital < math.inf:
        raise ValueError(f"capital must be a positive number of NTD, got {capital!r}")
    chosen = strategy_instance(load_strategy(DEFAULT_STRATEGY) if strategy is None else strategy)
    rules = chosen_rules(market_rules)
    instruments = resolve_codes(api, codes)
    temporary = None
    if data_dir is None:
        temporary = tempfile.TemporaryDirectory(prefix="quorvel-")
        data_dir = temporary.name
    with broker_log_under(data_dir):
        ticker_module = core.ticker()

    result = BacktestResult(instruments, (period[0], period[1]), None, window)
    result.engine = engine
    result.strategy = type(chosen).__name__
    result.capital, result.costs = capital, costs or CostModel()
    result.account_rules, result.account_enforced = account or AccountRules(), account_rules
    result.account_rules.check(result.contracts)
    result.backfill = backfill_span(period, backfill)
    first_day = (result.backfill or period)[0]
    result.seed, result.min_sharpe_days = seed, min_sharpe_days
    result.parameters = chosen.parameter_values()
    quiet = (
        modules_quiet([matcher_module, ticker_module])
        if quiet_modules
        else contextlib.nullcontext()
    )
    path = cache_directory(data_dir, api)
    stops = stops_recorded(chosen, result)
    ids = seeded_trade_ids(matcher_module, seed)
    # Left in reverse order: the engine has ended its threads before the data directory is
    # restored, and the temporary one removed.
    with temporary or contextlib.nullcontext(), handed_over(result, path), one_run_at_a_time():
        with using_data_dir(path), ids, stops, quiet:
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
                trading = TradingRules(
                    rules,
                    [entry["code"] for entry in instruments],
                    (first_day, period[1]),
                    opening_references(ticker, instruments, first_day, rules) if rules else {},
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
                        trading,
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
    market_rules: MarketRulesArg = market.TAIWAN,
) -> int:
    """Load the ticks of `period` and `backfill` into the tick cache under `data_dir`
    without replaying them, and return how many there are.  Under `market_rules` the
    trading day before them is loaded too: a run reads its last prices, the first day's
    reference prices.

    The days go through the tick feed's own loading path, as a run's do, so
    later runs of the same codes and days read them from the cache; one day
    is held at a time.
    """
    rules = chosen_rules(market_rules)
    instruments = resolve_codes(api, codes)
    with broker_log_under(data_dir):
        feed = core.feed()
        ticker_module = core.ticker()

    path = cache_directory(data_dir, api)
    spans = (backfill_span(period, backfill), period)
    days = [day for span in spans if span for day in span_days(*span)]
    with one_run_at_a_time(), using_data_dir(path), modules_quiet([ticker_module]):
        ticker = ticker_module.Ticker(api)
        if rules is not None:
            opening_references(ticker, instruments, (spans[0] or period)[0], rules)
        return sum(feed.load(ticker, instruments, day, day, None).height for day in days)
