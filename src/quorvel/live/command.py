"""`quorvel-live`: a strategy traded through the broker (paper by default), or the demo against
the local stand-in, and `quorvel-live reconcile DIR`, a recorded session replayed against the
backtest.

The broker is logged in from the variables its documentation names for the key and secret
(`KEY_VARIABLE`, `SECRET_VARIABLE`), in its simulation mode unless ``--live`` is given together
with ``--account``, the account to trade, typed out: ``--live`` alone is refused in one line,
and this is the one place that makes a broker object outside simulation.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import sys
from typing import Any, Dict, Optional, Sequence

from rich.console import Console
from rich.text import Text

from quorvel import market
from quorvel.arguments import ArgumentParser, error_line
from quorvel.backtest import BacktestError, RiskCaps, RunSettings, Strategy, StrategyError
from quorvel.backtest.settings.caps import BROKER_ORDER_CALLS_PER_10S, DEFAULT_ORDERS_PER_MINUTE
from quorvel.backtest.settings.run import DEFAULT_CAPITAL, DEFAULT_PERIOD, MAX_NTD
from quorvel.cli.backtest import write_files
from quorvel.cli.options import HelpFormatter, chosen_strategy, day_argument, number_between
from quorvel.cli.options import whole_number
from quorvel.cli.signals import Stop, signals_as_interrupts
from quorvel.constant import BASIC_INFO
from quorvel.sim import MAX_TICKS_PER_DAY

__all__ = ["main"]

# The variables the broker's documentation reads the key and secret from (its example `.env`:
# "SJ_API_KEY", "SJ_SEC_KEY").
KEY_VARIABLE = "SJ_API_KEY"
SECRET_VARIABLE = "SJ_SEC_KEY"
# The certificate a live order needs ("Token & Certificate"), from the same file's variables.
CA_PATH_VARIABLE = "SJ_CA_PATH"
CA_PASSWORD_VARIABLE = "SJ_CA_PASSWD"
DEFAULT_CODES = ("2330", "TXFR1")
# The demo's day: the offline broker's first default day.
DEMO_DAY = DEFAULT_PERIOD[0]
# Where the demo's play starts: the futures' day session opens at 08:45, the stocks' at 09:00.
DEMO_START = "08:45"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console command; returns the exit status (argument errors exit with 2)."""
    with signals_as_interrupts() as stop:
        try:
            return _command(argv, stop)
        except KeyboardInterrupt:
            print(stop.reason, file=sys.stderr)
            return stop.exit_status


def build_parser() -> ArgumentParser:
    parser = ArgumentParser(
        prog="quorvel-live",
        description=(
            "Trade a strategy through the broker: paper trading in its simulation mode by "
            "default, live with --live --account; --demo runs against a local stand-in fed "
            "by the offline broker's ticks.  'quorvel-live reconcile DIR' replays a recorded "
            "session against the backtest."
        ),
        epilog="Example: quorvel-live --demo --speed 2000 --strategy examples/breakout.py",
        formatter_class=HelpFormatter,
    )
    parser.add_version()
    parser.add_argument(
        "--codes",
        nargs="+",
        type=str.upper,
        default=list(DEFAULT_CODES),
        metavar="CODE",
        help="stock and futures codes to trade",
    )
    parser.add_argument(
        "--strategy",
        metavar="PATH.py[:Class]",
        required=True,
        help="the Strategy subclass to run, as quorvel-backtest takes it",
    )
    parser.add_argument(
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="set a parameter of the strategy (repeatable)",
    )
    parser.add_argument(
        "--record",
        metavar="DIR",
        help="write the session record here (default: a new directory under "
        "the data directory's sessions/)",
    )
    parser.add_argument(
        "--data-dir", metavar="DIR", default=BASIC_INFO.data_dir, help="the data directory"
    )
    parser.add_argument(
        "--capital",
        type=number_between(1, MAX_NTD),
        default=DEFAULT_CAPITAL,
        metavar="NTD",
        help="the cash the strategy may use",
    )
    mode = parser.add_argument_group("mode")
    mode.add_argument(
        "--live",
        action="store_true",
        help="trade for real (needs --account); without it, the broker's simulation",
    )
    mode.add_argument(
        "--account", metavar="ACCOUNT_ID", help="the account to trade live, as the broker lists it"
    )
    mode.add_argument(
        "--demo",
        action="store_true",
        help="no broker: a local stand-in plays the offline broker's ticks",
    )
    mode.add_argument(
        "--speed",
        type=number_between(0.01, 1e6),
        default=1.0,
        metavar="N",
        help="--demo: the ticks come N times faster than they were traded",
    )
    mode.add_argument(
        "--day",
        type=day_argument,
        default=DEMO_DAY,
        metavar="DATE",
        help="--demo: the offline broker's day played",
    )
    mode.add_argument(
        "--seed",
        type=int,
        default=0,
        metavar="N",
        help="--demo: seed of the offline broker's market",
    )
    mode.add_argument(
        "--ticks-per-day",
        type=whole_number(1, MAX_TICKS_PER_DAY),
        default=3000,
        metavar="N",
        help="--demo: ticks per code of the offline broker's day",
    )
    caps = parser.add_argument_group("risk caps (each breach refuses the order)")
    caps.add_argument(
        "--max-order",
        type=whole_number(1, 1_000_000),
        metavar="LOTS",
        help="the largest quantity of one order",
    )
    caps.add_argument(
        "--max-position",
        type=whole_number(1, 1_000_000),
        metavar="LOTS",
        help="the largest position per code, long or short",
    )
    caps.add_argument(
        "--orders-per-minute",
        type=whole_number(1, BROKER_ORDER_CALLS_PER_10S),
        default=DEFAULT_ORDERS_PER_MINUTE,
        metavar="N",
        help="order operations in any minute (the broker allows "
        f"{BROKER_ORDER_CALLS_PER_10S} in 10 s)",
    )
    caps.add_argument(
        "--max-daily-loss",
        type=number_between(0, MAX_NTD),
        metavar="NTD",
        help="stop the strategy once the day's net loss reaches this",
    )
    out = parser.add_argument_group("outputs at the end, as a backtest's")
    out.add_argument("--output", metavar="DIR", help="reports, fills, equity and summary files")
    out.add_argument("--plot", metavar="FILE.png", help="the equity curve")
    out.add_argument("--report", metavar="FILE.html", help="the report page")
    return parser


def build_reconcile_parser() -> ArgumentParser:
    parser = ArgumentParser(
        prog="quorvel-live reconcile",
        description="Replay a recorded session through the backtest with the same strategy, "
        "settings and fill model, and show its orders and fills beside the live ones.",
    )
    parser.add_argument("directory", metavar="SESSION_DIR", help="the session's --record DIR")
    return parser


def _command(argv: Optional[Sequence[str]], stop: Stop) -> int:
    given = list(sys.argv[1:] if argv is None else argv)
    console = Console(width=None if sys.stdout.isatty() or os.environ.get("COLUMNS") else 100)
    if given[:1] == ["reconcile"]:
        args = build_reconcile_parser().parse_args(given[1:])
        return _reconcile(args.directory, console)
    parser = build_parser()
    args = parser.parse_args(given)
    if args.live and not args.account:
        parser.error("--live trades for real and needs --account, the account to trade")
    if args.account and not args.live:
        parser.error("--account names the account to trade live: give --live with it")
    if args.live and args.demo:
        parser.error("--demo trades with the local stand-in only: leave out --live")
    strategy = chosen_strategy(parser, args)
    try:
        settings = RunSettings(
            capital=args.capital,
            caps=RiskCaps(
                args.max_order, args.max_position, args.orders_per_minute, args.max_daily_loss
            ),
        )
    except ValueError as error:
        parser.error(str(error))
    mode = "demo" if args.demo else "live" if args.live else "paper"
    try:
        api, day, session_options = _broker(args, mode)
    except (BacktestError, OSError, KeyError) as error:
        error_line(f"quorvel-live: {error}")
        return 1
    return _session(args, api, day, mode, strategy, settings, session_options, console, stop)


def _broker(args: argparse.Namespace, mode: str) -> Any:
    """The logged-in broker object, the day traded and what the session needs of its mode."""
    if mode == "demo":
        from quorvel.live.standin import StandInBroker
        from quorvel.sim import SimulatedBroker

        feed = SimulatedBroker(args.seed, ticks_per_day=args.ticks_per_day)
        # The day session only: a night session's ticks from the evening before, and the
        # weekend between, would hold the demo for hours of market time.
        api = StandInBroker(
            args.day, codes=args.codes, source=feed, speed=args.speed, start=DEMO_START
        )
        api.login("demo", "demo")
        clock = lambda: market.broker_seconds(api.now)  # noqa: E731
        return api, args.day, {"done": api.finished.is_set, "clock": clock}
    key, secret = os.environ.get(KEY_VARIABLE), os.environ.get(SECRET_VARIABLE)
    if not key or not secret:
        raise BacktestError(
            f"set {KEY_VARIABLE} and {SECRET_VARIABLE} to the broker's API key and secret key"
        )
    import shioaji as sj

    api = sj.Shioaji(simulation=mode == "paper")
    api.login(api_key=key, secret_key=secret)
    if mode == "live":
        _choose_account(api, args.account)
    relogin = lambda: api.login(api_key=key, secret_key=secret)  # noqa: E731
    return api, None, {"reconnect": relogin}


def _choose_account(api: Any, account_id: str) -> None:
    """Make `account_id` the account orders go to, and activate the certificate live orders
    need; refused when the login does not list it."""
    found = [a for a in api.list_accounts() if str(getattr(a, "account_id", "")) == account_id]
    if not found:
        raise BacktestError(f"the broker lists no account {account_id} for this login")
    for account in found:
        api.set_default_account(account)
    path = os.environ.get(CA_PATH_VARIABLE)
    if path:
        api.activate_ca(
            ca_path=path,
            ca_passwd=os.environ.get(CA_PASSWORD_VARIABLE, ""),
            person_id=str(getattr(found[0], "person_id", "")),
        )


def _session(
    args: argparse.Namespace,
    api: Any,
    day: Optional[str],
    mode: str,
    strategy: Strategy,
    settings: RunSettings,
    options: Dict[str, Any],
    console: Console,
    stop: Stop,
) -> int:
    from quorvel.live.engine import LiveSession, run_live, today
    from quorvel.live.record import SessionHeader, SessionRecord
    from quorvel.live.status import StatusLine

    day = day or today(settings.market)
    directory = args.record or _default_record(args.data_dir, mode)
    status = 0
    with StatusLine(console) as line:
        header = SessionHeader(
            tuple(args.codes),
            args.strategy,
            strategy.parameter_values(),
            settings.as_dict(),
            mode,
            day,
        )
        record = SessionRecord(directory, header)
        session = LiveSession(
            day=day, mode=mode, account=args.account, console=line.say, status=line.show, record=record, **options
        )
        try:
            result = run_live(api, args.codes, strategy, settings, session)
        except StrategyError as error:
            result, status = error.result, 1
            error_line(str(error))
        except BacktestError as error:
            error_line(f"quorvel-live: {error}")
            return 1
        finally:
            record.close()
    if result.stopped == "interrupted":  # by a signal, which the command tells apart
        result.stopped, status = stop.reason, stop.exit_status
        console.print(f"[yellow]{stop.reason}[/yellow]")
    from quorvel.backtest.output.tables import render

    render(result, console)
    console.print(Text(f"session record: {directory}"), soft_wrap=True)
    write_files(args, result, console)
    return status


def _default_record(data_dir: str, mode: str) -> str:
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    return os.path.join(os.path.expanduser(data_dir), "sessions", f"{mode}-{stamp}")


def _reconcile(directory: str, console: Console) -> int:
    from quorvel.live.reconcile import reconcile, render_reconcile

    try:
        table = reconcile(directory)
    except (BacktestError, OSError, ValueError) as error:
        error_line(f"quorvel-live reconcile: {error}")
        return 1
    render_reconcile(table, console)
    return 0
