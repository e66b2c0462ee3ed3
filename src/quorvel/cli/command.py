"""The command itself: the options checked, the codes and the strategy settled, and the run
handed over to `backtest_command` or `sweep_command`."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
from typing import Optional, Sequence

from rich.console import Console
from rich.text import Text

from quorvel.arguments import did_you_mean, error_line
from quorvel.backtest import BacktestError
from quorvel.backtest.engine.backtest import resolve_codes
from quorvel.cli.backtest import backtest_command
from quorvel.cli.notices import failure, manifest_lines, set_aside_lines
from quorvel.cli.options import build_parser, check_options, chosen_strategy
from quorvel.cli.signals import Stop
from quorvel.cli.size import estimated_seconds, estimated_ticks, large_run_notice, trading_days
from quorvel.cli.sweep import sweep_command
from quorvel.data.offline import CacheOnlyBroker, MissingCachedDay, check_cached
from quorvel.market.contracts import ContractError, contract_for
from quorvel.sim import SimulatedBroker


def command(argv: Optional[Sequence[str]], stop: Stop) -> int:
    """Parse `argv` and run the command; returns the exit status (argument errors exit with 2).

    A signal (see `quorvel.cli.signals`) ends it with what it has done so far;
    `stop` tells which came.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    # A terminal gets its own width, and so does output whose COLUMNS says one; any other file
    # or pipe gets room for the tables.
    console = Console(width=None if sys.stdout.isatty() or os.environ.get("COLUMNS") else 100)
    try:
        return _command(parser, args, console, stop)
    except KeyboardInterrupt:  # before a run took the signal over, or again as it wound down
        console.print(f"[yellow]{stop.reason}[/yellow]")
        return stop.exit_status
    except OSError as error:  # a data directory or output place that fails under the run
        what = "sweep" if args.sweep else "backtest"
        failure(args, f"{what} failed: {error}", error)
        return 1


def _command(
    parser: argparse.ArgumentParser, args: argparse.Namespace, console: Console, stop: Stop
) -> int:
    settings = check_options(parser, args)
    api = (
        CacheOnlyBroker()
        if args.offline
        else SimulatedBroker(args.seed, ticks_per_day=args.ticks_per_day)
    )
    try:
        instruments = resolve_codes(api, args.codes)
    except BacktestError as error:
        parser.error(f"{error}{_codes_known_to(api, args.codes)}")
    try:
        for entry in instruments:
            contract_for(entry["code"], entry["market"])
    except ContractError as error:
        parser.error(str(error))
    strategy = chosen_strategy(parser, args)
    codes = list(dict.fromkeys(args.codes))
    if len(codes) < len(args.codes):
        console.print(f"[yellow]repeated codes collapsed: {' '.join(codes)}[/yellow]")
    with contextlib.ExitStack() as stack:
        data_dir = args.data_dir or stack.enter_context(
            tempfile.TemporaryDirectory(prefix="quorvel-")
        )
        stack.enter_context(manifest_lines(console))
        if not args.verbose:  # --verbose shows the tick feed's own line instead
            stack.enter_context(set_aside_lines(console))
        backfill = settings.backfill_range()
        spans = [settings.period, *([backfill] if backfill else [])]
        if args.offline:
            try:
                check_cached(codes, spans, os.path.expanduser(data_dir))
            except MissingCachedDay as error:
                error_line(f"backtest failed: {error}")
                return 1
        directory = os.path.expanduser(data_dir)
        ticks = estimated_ticks(api, codes, spans, directory)
        notice = None
        if ticks:
            seconds = estimated_seconds(api, ticks, codes, spans, directory)
            notice = large_run_notice(ticks, trading_days(spans), args.engine, seconds)
        if notice is not None:
            console.print(Text(notice, "yellow"), soft_wrap=True)
        if args.sweep:
            return sweep_command(parser, args, settings, data_dir, console, stop)
        return backtest_command(args, api, codes, strategy, settings, data_dir, console, stop)


def _codes_known_to(api: object, codes: Sequence[str]) -> str:
    """The offline broker's codes, to follow the message about a code it does not know: all of
    them, then the nearest to the first unknown one."""
    if not isinstance(api, SimulatedBroker):  # the tick cache's stand-in knows every code
        return ""
    known = [contract.code for contract in api.contracts]
    unknown = [code for code in codes if code not in known]
    hint = did_you_mean(unknown[0], known) if unknown else ""
    return f"; the offline broker knows {', '.join(known)}{hint}"
