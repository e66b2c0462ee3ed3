"""Run a backtest: a strategy replayed through the simulated exchange.

Two engines replay the same ticks through the same `Matcher`, down the same road of a tick,
call the strategy's hooks at the same points and give the same reports: ``engine="replay"``
(the default, `quorvel.backtest.engine.replay`) runs on the caller's thread alone, and
``engine="paced"`` (`quorvel.backtest.engine.paced`) is the live-like road through the tick
feed's threads.

In both engines the reports of a tick's matching reach `on_report` before
`on_tick`, and those of the strategy's operations after the hook that made
them returns, before the next tick.
"""

from __future__ import annotations

import contextlib
import copy
import datetime as dt
import hashlib
import inspect
import os
import tempfile
from typing import Any, Callable, Dict, List, Optional, Sequence

from quorvel.backtest import core
from quorvel.backtest.account.account import Account
from quorvel.backtest.engine.asking import AskedBroker
from quorvel.backtest.engine.data_faults import DataWatch
from quorvel.backtest.engine.days import span_days
from quorvel.backtest.engine.failures import stops_recorded
from quorvel.backtest.engine.fills import fills_for
from quorvel.backtest.engine.lifecycle import (
    broker_log_under,
    count_cache_files,
    handed_over,
    modules_quiet,
    one_run_at_a_time,
    using_data_dir,
)
from quorvel.backtest.engine.market_rules import TradingRules, month_prices, opening_references
from quorvel.backtest.engine.paced import run_paced
from quorvel.backtest.engine.replay import run_replay
from quorvel.backtest.engine.road import Progress, Run
from quorvel.backtest.engine.trade_ids import seeded_trade_ids
from quorvel.backtest.errors import BacktestError, BacktestInterrupted
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.settings.run import RunSettings
from quorvel.backtest.strategy.base import Strategy
from quorvel.backtest.strategy.loading import (
    DEFAULT_STRATEGY,
    StrategyArg,
    load_strategy,
    strategy_instance,
)
from quorvel.cache import day_files
from quorvel.constant import BASIC_INFO
from quorvel.data.actions import read_actions
from quorvel.data.settlements import read_settlements
from quorvel.market.actions import merged
from quorvel.interrupts import ctrl_c_when_safe

__all__ = ["DEFAULT_CODES", "cache_directory", "load_ticks", "resolve_codes", "run_backtest"]

DEFAULT_CODES = ("2330", "TXFR1")


def cache_directory(data_dir: str, api: Any) -> str:
    """Where the ticks of `api` are cached: `data_dir`, or its sub-directory named by the API's
    `tick_source` where it has one (the offline broker names its settings there), so that one
    data directory never mixes ticks of different sources."""
    path = os.path.expanduser(data_dir)
    source = getattr(api, "tick_source", None)
    return os.path.join(path, _source_folder(source)) if source else path


def _source_folder(source: object) -> str:
    """The folder name of a tick source: the name itself where it is one plain path segment,
    otherwise "source-" and a digest of it.

    The name comes from the broker object, so it is not trusted to stay under the data
    directory: a name with a path separator, "..", a control character, or "." (the data
    directory itself) would reach another folder, and the digest keeps such a source apart from
    every other without writing outside."""
    if isinstance(source, str) and source != "." and not os.path.isabs(source):
        try:
            day_files.check_code(source)
        except ValueError:
            pass
        else:
            return source
    return "source-" + hashlib.sha256(str(source).encode()).hexdigest()[:16]


def resolve_codes(api: Any, codes: Sequence[str]) -> List[Dict[str, str]]:
    """The instrument list for `codes`, each looked up in the API's contract registry.

    A code given more than once is listed once: the feed would replay its ticks once per entry.
    A code that cannot name a cache file (see `day_files.check_code`) is refused first,
    whatever the registry says of it.
    """
    if isinstance(codes, str) or not codes:
        raise BacktestError(f"give the codes to trade as a list of codes, not {codes!r}")
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
    settings: Optional[RunSettings] = None,
    *,
    strategy: Optional[StrategyArg] = None,
    data_dir: Optional[str] = None,
    progress: Optional[Callable[..., None]] = None,
    quiet_modules: bool = True,
) -> BacktestResult:
    """Replay `settings.period` for `codes` through the matcher with `strategy`.

    `api` is the broker API object (`SimulatedBroker` or the broker's own,
    logged in); `settings` say how the run goes (`RunSettings()` by default:
    a week, two days of backfill, the replay engine, a cash account of
    1,000,000 NTD under Taiwan's market rules).  `strategy` is a `Strategy`
    subclass or instance (default: the built-in mean reversion).  Ticks are
    cached under `data_dir` (`cache_directory`), by default a temporary
    directory removed after the run, as the command does without
    ``--data-dir``: give one to keep the ticks for later runs.
    `progress(ticks done, ticks expected, trading day)` is called as the run goes, the day that
    of the latest tick (a `datetime.date`, None before the first; a callback of two arguments is
    given the first two);
    `quiet_modules` holds back the exchange's and the feed's own status lines.
    Under the settings' market rules a limit price off the price step or
    beyond the day's price limits is refused with `OrderError`, and the orders
    of an instrument still in the book at its session's close are cancelled.
    Trade ids are drawn from a generator seeded with the settings' seed, so
    that the same run gives the same reports and files byte for byte.
    Raises `BacktestError` for an unknown code, while another run is under
    way in this process, and, in the paced engine, for a run in which neither
    a tick nor an awaited report comes for the settings' `stall_timeout`
    seconds.  On Ctrl-C it raises `BacktestInterrupted`; when a hook of the
    strategy raises (`SystemExit` and other `BaseException`s too), `StrategyError`,
    and when one does not return within `stall_timeout` seconds (a run on the
    main thread), `StrategyStalled` (a traceback also goes to
    logs/quorvel.log under `cache_directory(data_dir, api)`); each carries the
    result so far, marked partial.  Every thread the run started has ended
    when it returns or raises.  The broker package, when this first imports
    it, logs to logs/shioaji.log under `data_dir` unless SJ_LOG_PATH says
    otherwise.
    """
    settings = settings or RunSettings()
    if not isinstance(settings, RunSettings):
        raise TypeError(f"settings must be RunSettings, not {settings!r}")
    chosen = strategy_instance(load_strategy(DEFAULT_STRATEGY) if strategy is None else strategy)
    progress = _told_the_day(progress)
    instruments = resolve_codes(api, codes)
    pristine = _copy_to_compare(chosen) if settings.compares_fills else None
    temporary = None
    if data_dir is None:
        temporary = tempfile.TemporaryDirectory(prefix="quorvel-")
        data_dir = temporary.name
    else:
        settings = _with_imported_tables(settings, data_dir)
    settings = _with_brokers_actions(settings, api, [entry["code"] for entry in instruments])
    with temporary or contextlib.nullcontext():
        if pristine is None:
            return _replayed(api, instruments, settings, chosen, data_dir, progress, quiet_modules)
        result = _replayed(
            api, instruments, settings, chosen, data_dir, _share_of(progress, 0), quiet_modules
        )
        touch = settings.replace(fill_model="touch", compare_fills=False)
        try:
            result.touch = _replayed(
                api, instruments, touch, pristine, data_dir, _share_of(progress, 1), quiet_modules
            )
        except BacktestInterrupted:
            raise BacktestInterrupted(result) from None
        return result


def _with_imported_tables(settings: RunSettings, data_dir: str) -> RunSettings:
    """The settings with the final settlement prices and the corporate actions imported into
    `data_dir` (`quorvel.data.settlements`, `quorvel.data.actions`); the settings' own go
    before them."""
    prices = read_settlements(data_dir)
    actions = read_actions(data_dir)
    if not (prices or actions):
        return settings
    return settings.replace(
        settlement_prices={**prices, **settings.settlement_prices},
        corporate_actions=tuple(merged(settings.corporate_actions, actions)),
    )


def _with_brokers_actions(settings: RunSettings, api: Any, codes: Sequence[str]) -> RunSettings:
    """The settings with the corporate actions of `codes` the broker object offers (the
    offline broker ships those of its codes) after their own."""
    offered = [action for action in getattr(api, "corporate_actions", ()) if action.code in codes]
    if not offered:
        return settings
    return settings.replace(corporate_actions=tuple(merged(settings.corporate_actions, offered)))


def _copy_to_compare(strategy: Strategy) -> Strategy:
    """The strategy as it is before its run, for the same run under "touch" fills."""
    try:
        return copy.deepcopy(strategy)
    except Exception as error:
        raise BacktestError(
            f"compare_fills runs {type(strategy).__name__} twice, from a copy made before the "
            f"first run, and it cannot be copied: {type(error).__name__}: {error}"
        ) from None


def _told_the_day(progress: Optional[Callable[..., None]]) -> Optional[Progress]:
    """`progress` as the engines call it; a callback of two arguments (ticks done, expected),
    as runs called it before they told the trading day, is still called with two."""
    if progress is None:
        return None
    try:
        inspect.signature(progress).bind(0, 0, None)
    except TypeError:
        two = progress
        return lambda done, expected, _day: two(done, expected)
    except ValueError:  # a callable without a signature to read: taken as the engines call it
        pass
    return progress


def _share_of(progress: Optional[Progress], run: int) -> Optional[Progress]:
    """`progress` of the `run`-th of two runs of the same ticks, each half of the work."""
    if progress is None:
        return None
    return lambda done, expected, day: progress(run * expected + done, 2 * expected, day)


def _replayed(
    api: Any,
    instruments: List[Dict[str, str]],
    settings: RunSettings,
    chosen: Strategy,
    data_dir: str,
    progress: Optional[Progress],
    quiet_modules: bool,
) -> BacktestResult:
    """One run of `chosen` (see `run_backtest`), its ticks cached under `data_dir`."""
    matcher_module = core.matcher()
    with broker_log_under(data_dir):
        ticker_module = core.ticker()

    result = BacktestResult(instruments, settings)
    result.strategy = type(chosen).__name__
    first_day = (result.backfill or result.period)[0]
    settings.account.check(result.contracts, settings.market, dt.date.fromisoformat(first_day))
    result.parameters = chosen.parameter_values()
    quiet = (
        modules_quiet([matcher_module, ticker_module])
        if quiet_modules
        else contextlib.nullcontext()
    )
    path = cache_directory(data_dir, api)
    stops = stops_recorded(chosen, result, settings.stall_timeout)
    ids = seeded_trade_ids(matcher_module, settings.seed)
    # Left in reverse order: the engine has ended its threads before the data directory is
    # restored.
    with handed_over(result, path), ctrl_c_when_safe():
        with one_run_at_a_time(), using_data_dir(path), ids, stops, quiet:
            result.cache_files_before = count_cache_files(BASIC_INFO.data_dir)
            matcher = matcher_module.Matcher()
            # One process may run many backtests: a finished run leaves no intake thread, and no
            # matcher held alive by one, behind.
            with contextlib.closing(matcher):
                ticker = ticker_module.Ticker(_asked(api, settings))
                result.positions = matcher.positions
                result.account = Account(result.contracts, settings, matcher.positions.last_prices)
                rules = settings.market_rules
                codes = [entry["code"] for entry in instruments]
                days = (first_day, result.period[1])
                known = lambda code: _registry_has(api.Contracts.Futures, code)  # noqa: E731
                trading = TradingRules(
                    rules,
                    codes,
                    days,
                    opening_references(ticker, instruments, first_day, rules) if rules else {},
                    month_prices(ticker, known, codes, days, settings.market),
                    settings.corporate_actions,
                )
                engine = run_replay if settings.engine == "replay" else run_paced
                fills = fills_for(settings, matcher)
                run = Run(
                    ticker,
                    matcher,
                    chosen,
                    instruments,
                    result,
                    progress,
                    result.account,
                    trading,
                    fills,
                    DataWatch(result, codes),
                )
                try:
                    engine(run)
                finally:
                    if fills is not None:
                        result.codes_without_quotes = fills.codes_without_quotes()
    return result


def _asked(api: Any, settings: RunSettings) -> AskedBroker:
    """`api` as the tick feed asks it for a day's ticks under `settings`."""
    return AskedBroker(api, settings.broker_attempts, settings.broker_wait)


def load_ticks(
    api: Any, codes: Sequence[str], settings: Optional[RunSettings] = None, *, data_dir: str
) -> int:
    """Load the ticks of the settings' period and backfill into the tick cache under
    `data_dir` without replaying them, and return how many there are.  Under market rules the
    trading day before them is loaded too: a run reads its last prices, the first day's
    reference prices.

    The days go through the tick feed's own loading path, as a run's do, so
    later runs of the same codes and days read them from the cache; one day
    is held at a time.
    """
    settings = settings or RunSettings()
    instruments = resolve_codes(api, codes)
    with broker_log_under(data_dir):
        feed = core.feed()
        ticker_module = core.ticker()

    path = cache_directory(data_dir, api)
    spans = (settings.backfill_range(), settings.period)
    days = [day for span in spans if span for day in span_days(*span)]
    with one_run_at_a_time(), using_data_dir(path), modules_quiet([ticker_module]):
        ticker = ticker_module.Ticker(_asked(api, settings))
        if settings.market_rules is not None:
            opening_references(
                ticker, instruments, (spans[0] or spans[1])[0], settings.market_rules
            )
        return sum(feed.load(ticker, instruments, day, day, None).height for day in days)
