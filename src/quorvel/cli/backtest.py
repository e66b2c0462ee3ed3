"""`quorvel-backtest`: one backtest, its tables and its files."""

from __future__ import annotations

import argparse
import os
from typing import Any, List

from rich.console import Console
from rich.text import Text

from quorvel.backtest import (
    RunSettings,
    BacktestError,
    BacktestInterrupted,
    BacktestResult,
    Strategy,
    StrategyError,
    run_backtest,
)
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.backtest.output.files import write_outputs
from quorvel.backtest.output.plot import plot_equity
from quorvel.backtest.output.report import write_report
from quorvel.backtest.output.tables import render
from quorvel.cli.notices import failure
from quorvel.cli.progress import progress_bar
from quorvel.cli.signals import Stop


def backtest_command(
    args: argparse.Namespace,
    api: Any,
    codes: List[str],
    strategy: Strategy,
    settings: RunSettings,
    data_dir: str,
    console: Console,
    stop: Stop,
) -> int:
    """Run the backtest of the options, print its tables and write its files; returns the exit
    status.  A run stopped early (a signal, an exception from the strategy) still prints and
    writes what it did, marked partial."""
    status = 0
    try:
        with progress_bar(console, "replaying ticks", "ticks") as advance:
            result = run_backtest(
                api,
                codes,
                settings,
                strategy=strategy,
                data_dir=data_dir,
                progress=advance,
                quiet_modules=not args.verbose,
            )
    except BacktestInterrupted as interruption:
        result, status = interruption.result, stop.exit_status
        result.stopped = stop.reason
        console.print(f"[yellow]{stop.reason}[/yellow]")
    except StrategyError as error:
        result, status = error.result, 1
        failure(console, args, str(error), error)
    except BacktestError as error:
        failure(console, args, f"backtest failed: {error}", error)
        return 1
    if result.positions is None:  # stopped before the exchange was set up: nothing to show
        return status
    render(result, console)
    if status == 0 and not result.live_ticks:
        console.print("[yellow]the period holds no trading day of these codes[/yellow]")
    if args.data_dir:
        cache = os.path.join(cache_directory(args.data_dir, api), "sino", "ticks")
        console.print(f"tick cache: {cache}", soft_wrap=True)
    _write_files(args, result, console)
    return status


def _write_files(args: argparse.Namespace, result: BacktestResult, console: Console) -> None:
    """The data files first, then the plot and the report page, the slower and the more likely
    to fail."""
    partial = "partial " if result.stopped is not None else ""
    if args.output:
        write_outputs(result, args.output)
        console.print(
            Text(f"{partial}reports, fills, equity curve and summary written to {args.output}"),
            soft_wrap=True,
        )
    if args.plot:
        plot_equity(result, args.plot)
        console.print(Text(f"{partial}plot written to {args.plot}"), soft_wrap=True)
    if args.report:
        write_report(result, args.report)
        console.print(Text(f"{partial}report page written to {args.report}"), soft_wrap=True)
