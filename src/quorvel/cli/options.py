"""The options of `quorvel-backtest`: the parser, the value types, the checks before a run."""

from __future__ import annotations

import argparse
import datetime as dt
import importlib
import os
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from quorvel import market
from quorvel.arguments import ArgumentParser
from quorvel.backtest.engine.backtest import DEFAULT_CODES
from quorvel.backtest.output.files import OUTPUT_FILES, check_writable_directory
from quorvel.backtest.settings.run import (
    DEFAULT_BACKFILL_DAYS,
    DEFAULT_CAPITAL,
    DEFAULT_LATENCY_MS,
    DEFAULT_MIN_SHARPE_DAYS,
    DEFAULT_PERIOD,
    DEFAULT_SLIPPAGE_TICKS,
    ENGINES,
    FILL_MODELS,
    MAX_LATENCY_MS,
    MAX_NTD,
    MAX_SLIPPAGE_TICKS,
    MAX_TRADING_DAYS,
    MAX_WINDOW,
    ROLLS,
    RunSettings,
)
from quorvel.backtest.settings.account import (
    FUTURES_MARGIN_TABLES,
    MARGIN_CALL_ACTIONS,
    STOCK_ACCOUNTS,
    AccountRules,
    FuturesMargin,
)
from quorvel.backtest.settings.costs import CostModel
from quorvel.backtest.strategy.base import Strategy
from quorvel.backtest.strategy.loading import DEFAULT_STRATEGY, load_strategy, parse_params
from quorvel.sim import MAX_TICKS_PER_DAY
from quorvel.sweep import DEFAULT_RANK_BY, FIGURES, LOGS_DIRECTORY, SWEEP_FILES, TOUCH_FIGURES
from quorvel.sweep.overfitting import DEFAULT_PBO_SPLITS, MAX_PBO_SPLITS, check_pbo_splits
from quorvel.sweep.search import SEARCHES
from quorvel.sweep.walk_forward import WalkForward


def day_argument(text: str) -> str:
    try:
        day = dt.datetime.strptime(text, "%Y-%m-%d")
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date of the form YYYY-MM-DD: {text!r}") from None
    return day.date().isoformat()  # 2024-1-8 becomes 2024-01-08, as the feed expects


def whole_number(minimum: int, maximum: int) -> Callable[[str], int]:
    """A parser of whole numbers from `minimum` to `maximum`: every size an option sets has a
    bound, so that a slip of the keyboard is refused in one line instead of exhausting memory."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        if value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum}, got {value}")
        return value

    return parse


# More runs at once in a sweep than any machine or cluster has cores.
MAX_WORKERS = 1024
# More trials than a search runs in a year.
MAX_TRIALS = 10_000_000


def _pbo_splits(text: str) -> int:
    try:
        return check_pbo_splits(whole_number(2, MAX_PBO_SPLITS)(text))
    except ValueError as error:  # argparse prints the message of this type of error only
        raise argparse.ArgumentTypeError(str(error)) from None


def number_between(minimum: float, maximum: float) -> Callable[[str], float]:
    """A parser of numbers from `minimum` to `maximum`."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value >= minimum or value == float("inf"):
            raise argparse.ArgumentTypeError(
                f"must be a finite number of at least {minimum:g}, got {text}"
            )
        if value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum:g}, got {text}")
        return value

    return parse


_NTD = number_between(0, MAX_NTD)
_PERCENT = number_between(0, 100)
# A discount on the commission: a factor of 1 at most.
_FACTOR = number_between(0, 1)


def _seconds(text: str) -> float:
    value = number_between(0, float("inf"))(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be more than 0")
    return value


# The cost options: option, CostModel field, value type, metavar, help.
_COST_OPTIONS = (
    (
        "--stock-commission",
        "stock_commission_pct",
        _PERCENT,
        "PCT",
        "stock commission, in %% of the traded value of each side",
    ),
    (
        "--commission-discount",
        "stock_commission_discount",
        _FACTOR,
        "FACTOR",
        "broker's discount factor on the stock commission (0.6 for 40%% off)",
    ),
    (
        "--min-commission",
        "stock_min_commission",
        _NTD,
        "NTD",
        "smallest stock commission per fill",
    ),
    (
        "--stock-tax",
        "stock_sell_tax_pct",
        _PERCENT,
        "PCT",
        "securities transaction tax, in %% of the sell value",
    ),
    (
        "--futures-tax",
        "futures_tax_pct",
        _PERCENT,
        "PCT",
        "futures transaction tax, in %% of the contract value of each side",
    ),
    (
        "--day-trade-tax",
        "stock_day_trade_tax_pct",
        _PERCENT,
        "PCT",
        "securities transaction tax on the sell of a cash account's same-day round trip "
        "(the reduced rate in force through 2027-12-31)",
    ),
)


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Adds "(default: ...)" where an option has a default its help text does not state."""

    def _get_help_string(self, action: argparse.Action) -> Optional[str]:
        if action.default in (None, False) or "default" in (action.help or ""):
            return action.help
        return super()._get_help_string(action)


# The bounds of the period and of the backfill: option, default, help.
_DATE_OPTIONS = (
    ("--start", DEFAULT_PERIOD[0], "first day of the period (YYYY-MM-DD)"),
    ("--end", DEFAULT_PERIOD[1], "last day of the period (YYYY-MM-DD)"),
    (
        "--backfill-start",
        None,
        "first day replayed before the period to warm the strategy up "
        "(default: counted by --backfill-days)",
    ),
    ("--backfill-end", None, "last backfill day (default: the trading day before --start)"),
)


def build_parser() -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog="quorvel-backtest",
        description=(
            "Backtest a strategy on ticks from the built-in offline broker: the period is "
            "replayed through the simulated exchange, which matches the strategy's limit and "
            "market orders (ROD, IOC, FOK), and the result is printed per code.  The default "
            "strategy is the built-in mean reversion."
        ),
        epilog=(
            "Example: quorvel-backtest --strategy examples/breakout.py:Breakout "
            "--param lookback=80 --codes 2317 MXFR1 --start 2024-03-04 --end 2024-03-08"
        ),
        formatter_class=HelpFormatter,
    )
    parser.add_version()
    data = parser.add_argument_group("data")
    data.add_argument(
        "--codes",
        nargs="+",
        type=str.upper,  # the broker's codes are upper case: txfr1 is TXFR1
        default=list(DEFAULT_CODES),
        metavar="CODE",
        help="stock and futures codes to trade (offline broker: 2330, 2317, ..., TXFR1, MXFR1)",
    )
    for option, default, text in _DATE_OPTIONS:
        data.add_argument(option, type=day_argument, metavar="DATE", default=default, help=text)
    data.add_argument(
        "--backfill-days",
        type=whole_number(0, MAX_TRADING_DAYS),
        metavar="N",
        default=DEFAULT_BACKFILL_DAYS,
        help="trading days before the period replayed to warm the strategy up",
    )
    data.add_argument("--no-backfill", action="store_true", help="replay the period only")
    data.add_argument(
        "--offline",
        action="store_true",
        help=(
            "read the ticks from the tick cache under --data-dir only (imported with "
            "quorvel-import, or cached by earlier runs); a day missing there is an error"
        ),
    )
    data.add_argument(
        "--accept-data-faults",
        action="store_true",
        help="replay a day whose ticks fail their checks (outside the sessions, none on a "
        "trading day, twice, off the limits...) with a warning instead of stopping the run",
    )
    data.add_argument(
        "--data-dir",
        metavar="DIR",
        help="tick cache directory, kept between runs (default: a temporary directory)",
    )
    data.add_argument(
        "--seed",
        type=int,
        metavar="N",
        default=0,
        help="seed of the offline broker's market",
    )
    data.add_argument(
        "--ticks-per-day",
        type=whole_number(1, MAX_TICKS_PER_DAY),
        metavar="N",
        default=3000,
        help="ticks per code and trading day from the offline broker",
    )

    strategy = parser.add_argument_group("strategy")
    strategy.add_argument(
        "--strategy",
        metavar="PATH.py[:Class]",
        default=DEFAULT_STRATEGY,
        help="the Strategy subclass to run: a file and class, or package.module:Class; "
        "without :Class, the one the file or module defines",
    )
    strategy.add_argument(
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="set a parameter of the strategy (repeatable), e.g. --param ma=200",
    )

    costs_defaults = CostModel()
    money = parser.add_argument_group("money and costs")
    money.add_argument(
        "--capital",
        type=number_between(1, MAX_NTD),
        metavar="NTD",
        default=DEFAULT_CAPITAL,
        help="the account's cash at the start; drawdown, returns and turnover are measured "
        "against it",
    )
    for option, name, value_type, metavar, text in _COST_OPTIONS:
        money.add_argument(
            option,
            dest=name,
            type=value_type,
            metavar=metavar,
            default=getattr(costs_defaults, name),
            help=text,
        )
    listed = ", ".join(f"{product} {fee:g}" for product, fee in costs_defaults.futures_fees.items())
    money.add_argument(
        "--futures-fee",
        action="append",
        default=[],
        metavar="[PRODUCT=]NTD",
        help="futures fee per contract and side (repeatable): NTD for every product, or "
        "PRODUCT=NTD for one, STOCK=NTD for stock futures (default: the exchange's own fees, "
        f"{listed}, stock futures {costs_defaults.stock_futures_fee:g}; add your broker's "
        "commission)",
    )
    money.add_argument(
        "--min-sharpe-days",
        type=whole_number(2, MAX_TRADING_DAYS),
        metavar="N",
        default=DEFAULT_MIN_SHARPE_DAYS,
        help='trading days a Sharpe ratio needs; a shorter run shows "-"',
    )
    _add_account_arguments(parser)

    _add_fill_arguments(parser)

    run = parser.add_argument_group("run")
    run.add_argument(
        "--engine",
        choices=ENGINES,
        default="replay",
        help="replay: the native in-process loop; paced: the thread-fed tick feed",
    )
    run.add_argument(
        "--no-market-rules",
        action="store_true",
        help=(
            "the raw exchange: limit prices are not held to the price steps and the day's "
            "price limits, and ROD orders do not expire at the session's close"
        ),
    )
    run.add_argument(
        "--window",
        type=whole_number(1, MAX_WINDOW),
        metavar="N",
        default=64,
        help="paced engine: permits granted ahead to the sending thread; 1 is strictly paced",
    )
    run.add_argument(
        "--plot",
        metavar="FILE.png",
        help="write the equity curve and its drawdown (needs the 'plot' extra: matplotlib)",
    )
    run.add_argument(
        "--report",
        metavar="FILE.html",
        help="write a report page that opens offline: the tables, the charts and every round "
        "trip (needs the 'report' extra: plotly)",
    )
    run.add_argument(
        "--output",
        metavar="DIR",
        help="write reports.parquet, fills.csv, equity.csv and summary.json into DIR",
    )
    run.add_argument("--verbose", action="store_true", help="show the modules' own status lines")
    run.add_argument(
        "--debug",
        action="store_true",
        help=(
            "print the full traceback of a failed run (with --data-dir it is also in "
            "logs/quorvel.log under the tick cache's directory)"
        ),
    )

    sweep = parser.add_argument_group("sweep (needs the 'sweep' extra: Ray)")
    sweep.add_argument(
        "--sweep",
        action="append",
        default=[],
        metavar="NAME=V1,V2,...",
        help=(
            "run every combination of these parameter values (repeatable), e.g. --sweep ma=100,200"
        ),
    )
    # The sweep's options have no default here, so that one given without --sweep is seen.
    sweep.add_argument(
        "--rank-by",
        choices=FIGURES + TOUCH_FIGURES,
        metavar="FIGURE",
        help=f"figure the sweep's table is ranked by (default: {DEFAULT_RANK_BY}): "
        f"{', '.join(FIGURES)}; with --compare-fills also {', '.join(TOUCH_FIGURES)}",
    )
    sweep.add_argument(
        "--ray-address",
        metavar="ADDRESS",
        help="join this Ray cluster (default: start Ray on this machine)",
    )
    sweep.add_argument(
        "--run-timeout",
        type=_seconds,
        metavar="SECONDS",
        help="stop a run still going after this long; its row is an error (default: no limit)",
    )
    sweep.add_argument(
        "--workers",
        type=whole_number(1, MAX_WORKERS),
        metavar="N",
        help="runs at once (default: every core of this machine or the cluster)",
    )
    sweep.add_argument(
        "--pbo-splits",
        type=_pbo_splits,
        metavar="S",
        help="blocks of days the probability of backtest overfitting halves, even, at most "
        f"{MAX_PBO_SPLITS} (default: {DEFAULT_PBO_SPLITS}, or fewer when the days are fewer)",
    )
    sweep.add_argument(
        "--search",
        choices=SEARCHES,
        help="how the combinations are picked (default: grid, every one): random draws --trials "
        "of them, optuna lets its TPE sampler propose each next one",
    )
    sweep.add_argument(
        "--trials",
        type=whole_number(1, MAX_TRIALS),
        metavar="N",
        help="the combinations a random or optuna search runs",
    )
    sweep.add_argument(
        "--resume",
        metavar="DIR",
        help="go on with the sweep whose files are in DIR: run only the combinations its "
        "rows.jsonl lacks, and write the sweep's files there",
    )
    sweep.add_argument(
        "--walk-forward",
        type=_walk_forward,
        metavar="TRAIN:TEST",
        help="walk forward in trading days: sweep on TRAIN days, run the best on the TEST days "
        "after them, and so on over the period; the result is the test days stitched",
    )
    sweep.add_argument(
        "--anchored",
        action="store_true",
        default=None,
        help="with --walk-forward: every window trains from the period's first day (default: "
        "rolling, the TRAIN days before its test days)",
    )
    return parser


def _walk_forward(text: str) -> WalkForward:
    try:
        return WalkForward.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _add_fill_arguments(parser: argparse.ArgumentParser) -> None:
    fills = parser.add_argument_group("fills")
    fills.add_argument(
        "--fill-model",
        choices=FILL_MODELS,
        default=RunSettings().fill_model,
        help="queue: a resting order fills at its price once the volume displayed ahead of it "
        "has traded, a marketable one at the quote it reaches; queue-prob: moves up the queue "
        "also as the volume ahead shrinks; touch: fills at any trade that reaches the order, "
        "at the trade's price (the optimistic bound)",
    )
    fills.add_argument(
        "--latency-ms",
        type=number_between(0, MAX_LATENCY_MS),
        metavar="MS",
        default=DEFAULT_LATENCY_MS,
        help="milliseconds from a strategy's order to the exchange (default: "
        f"{DEFAULT_LATENCY_MS:g}, the broker's documented place_order round trip)",
    )
    fills.add_argument(
        "--slippage-ticks",
        type=whole_number(0, MAX_SLIPPAGE_TICKS),
        metavar="N",
        default=DEFAULT_SLIPPAGE_TICKS,
        help="price steps beyond the next trade that a market order fills at where the ticks "
        "carry no quote",
    )
    fills.add_argument(
        "--roll",
        choices=ROLLS,
        default=RunSettings().roll,
        help="a continuous futures code's position when the code moves on to the next month: "
        "settle, settled with its month; carry, settled and opened again in the next month at "
        "its first trade",
    )
    fills.add_argument(
        "--compare-fills",
        action="store_true",
        help="replay the run under touch fills as well, and show both: fills and net P&L per "
        "code and per order kind",
    )


# The options that only a sweep reads: option, attribute.
_SWEEP_ONLY = (
    ("--rank-by", "rank_by"),
    ("--ray-address", "ray_address"),
    ("--run-timeout", "run_timeout"),
    ("--workers", "workers"),
    ("--pbo-splits", "pbo_splits"),
    ("--search", "search"),
    ("--trials", "trials"),
    ("--resume", "resume"),
    ("--walk-forward", "walk_forward"),
)


def sweep_keywords(args: argparse.Namespace) -> Dict[str, Any]:
    """The keywords of `run_sweep` (and of `run_walk_forward`) that the sweep's options give."""
    return {
        "rank_by": args.rank_by or DEFAULT_RANK_BY,
        "ray_address": args.ray_address,
        "workers": args.workers,
        "run_timeout": args.run_timeout,
    }


def chosen_strategy(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Strategy:
    """The strategy of --strategy with the parameters of --param; a bad one exits with 2."""
    try:
        strategy = load_strategy(args.strategy)
        return strategy(**parse_params(strategy, args.param))
    except ValueError as error:
        parser.error(f"--strategy/--param: {error}")


def check_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> RunSettings:
    """The run's settings of the options, once the options that do not go together and the
    places that cannot be written are refused (exit status 2)."""
    _check_sweep_options(parser, args)
    settings = run_settings(parser, args)
    _check_outputs(parser, args)
    return settings


def run_settings(parser: argparse.ArgumentParser, args: argparse.Namespace) -> RunSettings:
    """The `RunSettings` of the options; settings that cannot be are one line and exit status 2
    (naming the options where the settings would name their fields)."""
    if args.start > args.end:
        parser.error(f"--start {args.start} lies after --end {args.end}")
    try:
        trading_days = market.trading_days(args.start, args.end)
    except ValueError as error:
        parser.error(f"--start/--end: {error}")
    if not trading_days:
        parser.error(f"the period {args.start} to {args.end} holds no trading day")
    backfill = None
    if not args.no_backfill:
        try:
            backfill = market.backfill_range(
                args.start, args.backfill_days, args.backfill_start, args.backfill_end
            )
        except ValueError as error:
            parser.error(f"backfill: {error}")
    if backfill and backfill[0] > backfill[1]:
        parser.error(f"--backfill-start {backfill[0]} lies after --backfill-end {backfill[1]}")
    if backfill and backfill[1] >= args.start:
        parser.error(
            f"the backfill must end before the period starts (--backfill-end {backfill[1]})"
        )
    try:
        return RunSettings(
            period=(args.start, args.end),
            backfill=backfill,
            engine=args.engine,
            window=args.window,
            capital=args.capital,
            costs=CostModel(
                **{entry[1]: getattr(args, entry[1]) for entry in _COST_OPTIONS},
                **futures_fees(parser, args.futures_fee),
            ),
            account=account_rules(parser, args),
            account_rules=not args.no_account_rules,
            market_rules=None if args.no_market_rules else market.TAIWAN,
            seed=args.seed,
            min_sharpe_days=args.min_sharpe_days,
            fill_model=args.fill_model,
            latency_ms=args.latency_ms,
            slippage_ticks=args.slippage_ticks,
            compare_fills=args.compare_fills,
            roll=args.roll,
            accept_data_faults=args.accept_data_faults,
        )
    except ValueError as error:
        parser.error(str(error))


def futures_fees(parser: argparse.ArgumentParser, given: Sequence[str]) -> Dict[str, Any]:
    """The `CostModel` fields of --futures-fee: NTD for every product, or PRODUCT=NTD (STOCK
    for stock futures) for one."""
    fees: Dict[str, float] = dict(CostModel().futures_fees)
    fields: Dict[str, Any] = {}
    for text in given:
        product, equals, amount = text.rpartition("=")
        try:
            fee = _NTD(amount)
        except argparse.ArgumentTypeError as error:
            parser.error(f"--futures-fee: {error}")
        if not equals:
            fields["futures_fee"] = fee
        elif product.upper() == "STOCK":
            fields["stock_futures_fee"] = fee
        elif product:
            fees[product.upper()] = fee
        else:
            parser.error(f"--futures-fee: expected NTD or PRODUCT=NTD, not {text!r}")
    return {**fields, "futures_fees": fees}


def _check_sweep_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The sweep's options only with --sweep, and what shows one run never with it; --resume
    DIR is the --output the sweep writes."""
    given = [option for option, dest in _SWEEP_ONLY if getattr(args, dest) is not None]
    if given and not args.sweep:
        listed = " and ".join([", ".join(given[:-1]), given[-1]] if given[1:] else given)
        parser.error(f"{listed} {'work' if given[1:] else 'works'} with --sweep only")
    for option, value in (("--plot", args.plot), ("--report", args.report)):
        if value and args.sweep:
            parser.error(f"{option} shows one run; it does not go with --sweep")
    if args.anchored and not args.walk_forward:
        parser.error("--anchored works with --walk-forward only")
    if args.resume and args.walk_forward:
        parser.error("--resume goes on with one sweep; it does not go with --walk-forward")
    if args.rank_by in TOUCH_FIGURES and not args.compare_fills:
        parser.error(f"--rank-by {args.rank_by} is a figure under touch fills: add --compare-fills")
    if args.compare_fills and args.fill_model == "touch":
        parser.error("--compare-fills sets the fill model beside touch fills: give another --fill-model")
    if args.offline and not args.data_dir:
        parser.error("--offline reads the tick cache: give its --data-dir")
    if args.resume:
        if args.output and _same_place(args.output) != _same_place(args.resume):
            parser.error("--resume DIR writes the sweep's files into DIR: leave out --output")
        args.output = args.resume


def _same_place(path: str) -> str:
    return os.path.realpath(os.path.expanduser(path))


def _check_outputs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Every place the command writes, made ready before the run, so that a bad one costs no
    replay: the plot and the report (with the libraries they need), the output files, then the
    data directory."""
    for option, value, suffixes, kind, library, extra in (
        ("--plot", args.plot, (".png",), "a PNG file", "matplotlib", "plot"),
        ("--report", args.report, (".html", ".htm"), "an HTML page", "plotly", "report"),
    ):
        if not value:
            continue
        if not value.lower().endswith(suffixes):
            parser.error(
                f"{option} writes {kind}; give a name ending in {suffixes[0]}, not {value!r}"
            )
        try:
            importlib.import_module(library)
        except ImportError:
            parser.error(f"{option} needs {library}: pip install 'quorvel[{extra}]'")
    places: List[Tuple[str, str, Sequence[str]]] = []
    for option, value in (("--plot", args.plot), ("--report", args.report)):
        if value:
            target = os.path.abspath(os.path.expanduser(value))
            places.append((option, os.path.dirname(target), [os.path.basename(target)]))
    if args.output:
        places.append(("--output", args.output, SWEEP_FILES if args.sweep else OUTPUT_FILES))
    if args.data_dir:
        places.append(("--data-dir", args.data_dir, []))
    for option, directory, files in places:
        try:
            check_writable_directory(os.path.expanduser(directory), files)
        except OSError as error:
            parser.error(f"{option}: cannot write into {directory}: {error.strerror or error}")
    folders: List[Tuple[str, str, str]] = []  # option, its directory, a folder it needs there
    if args.data_dir:
        for inner in ("logs", "sino", os.path.join("sino", "ticks")):
            folders.append(("--data-dir", args.data_dir, inner))
    if args.output and args.sweep:
        folders.append(("--output", args.output, LOGS_DIRECTORY))
    for option, directory, inner in folders:
        path = os.path.join(os.path.expanduser(directory), inner)
        if os.path.lexists(path) and not os.path.isdir(path):
            parser.error(f"{option}: {path} is a file; {option} needs a folder there")


# The account's options: the command line's side of `quorvel.backtest.settings.account`.
def _percent(text: str) -> float:
    value = number_between(0, float("inf"))(text)
    if not 0 < value <= 100:
        raise argparse.ArgumentTypeError(f"must be more than 0 and at most 100, got {text}")
    return value


def _add_account_arguments(parser: argparse.ArgumentParser) -> None:
    defaults = AccountRules()
    account = parser.add_argument_group("account")
    account.add_argument(
        "--stock-account",
        choices=STOCK_ACCOUNTS,
        default=defaults.stock_account,
        help="cash: a buy needs the cash, a sell the shares; margin: margin purchases and "
        "short sales",
    )
    account.add_argument(
        "--day-trade",
        action="store_true",
        help="cash account: allow a same-day sell-first day trade (bought back at market at "
        "the close if still short)",
    )
    account.add_argument(
        "--margin-buy",
        type=_percent,
        metavar="PCT",
        default=defaults.margin_buy_pct,
        help="margin account: the buyer's own share of a margin purchase, in %% of its value",
    )
    account.add_argument(
        "--short-margin",
        type=_percent,
        metavar="PCT",
        default=defaults.short_margin_pct,
        help="margin account: the deposit of a short sale, in %% of its value",
    )
    account.add_argument(
        "--futures-margin",
        action="append",
        default=[],
        metavar="PRODUCT=INITIAL/MAINTENANCE",
        help="a futures product's margins per contract in NTD (repeatable), e.g. "
        "TXF=338000/259000 on every day; STOCK=13.5/10.35 sets those of stock futures in %% "
        "of the contract value (default: the futures exchange's tables of each day, from "
        f"{FUTURES_MARGIN_TABLES[0].effective} on)",
    )
    account.add_argument(
        "--margin-call",
        choices=MARGIN_CALL_ACTIONS,
        default=defaults.margin_call,
        help="broker: a margin call at the day's settlement when equity lies below the "
        "futures' maintenance margin, the futures closed at its deadline unless equity is back "
        "at the initial margin, and at once only below the risk indicator's threshold; "
        "immediate: closed at market at the first fall below the maintenance margin; warn: "
        "warnings only",
    )
    account.add_argument(
        "--no-account-rules",
        action="store_true",
        help="trade without limits: no cash, share or margin is checked",
    )


def account_rules(parser: argparse.ArgumentParser, args: argparse.Namespace) -> AccountRules:
    """The account's rules of the account options."""
    margins: Dict[str, FuturesMargin] = {}
    stock_futures = AccountRules().stock_futures_margin_pct
    for text in args.futures_margin:
        product, equals, figures = text.partition("=")
        initial, slash, maintenance = figures.partition("/")
        try:
            margin = FuturesMargin(float(initial), float(maintenance))
        except ValueError:
            margin = None
        if not (equals and slash and product) or margin is None:
            parser.error(f"--futures-margin: expected PRODUCT=INITIAL/MAINTENANCE, not {text!r}")
        if product.upper() == "STOCK":
            stock_futures = margin
        else:
            margins[product.upper()] = margin
    try:
        return AccountRules(
            stock_account=args.stock_account,
            day_trade=args.day_trade,
            margin_buy_pct=args.margin_buy,
            short_margin_pct=args.short_margin,
            futures_margins=margins,
            stock_futures_margin_pct=stock_futures,
            margin_call=args.margin_call,
        )
    except ValueError as error:
        parser.error(f"--futures-margin: {error}")
