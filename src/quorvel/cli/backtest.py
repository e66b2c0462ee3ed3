"""`quorvel-backtest`: one backtest, its tables and its files."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Any, List, Optional

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
from quorvel.backtest.output.files import output_directory, write_output_files
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
        failure(args, str(error), error)
    except BacktestError as error:
        failure(args, f"backtest failed: {error}", error)
        return 1
    if result.positions is None:  # stopped before the exchange was set up: nothing to show
        return status
    render(result, console)
    if status == 0 and not result.live_ticks:
        console.print("[yellow]the period holds no trading day of these codes[/yellow]")
    if args.data_dir:
        cache = os.path.join(cache_directory(args.data_dir, api), "sino", "ticks")
        console.print(f"tick cache: {cache}", soft_wrap=True)
    write_files(args, result, console)
    return status


def write_files(args: argparse.Namespace, result: BacktestResult, console: Console) -> None:
    """The data files first, then the plot and the report page, the slower and the more likely
    to fail.  Those in the --output directory are written into a fresh one swapped into its
    place at the end (`output_directory`)."""
    partial = "partial " if result.stopped is not None else ""
    with contextlib.ExitStack() as stack:
        staged = stack.enter_context(output_directory(args.output)) if args.output else None
        if staged is not None:
            write_output_files(result, staged)
            written = f"{partial}reports, fills, equity curve and summary written to {args.output}"
            console.print(Text(written), soft_wrap=True)
        for path, write, what in (
            (args.plot, plot_equity, "plot"),
            (args.report, write_report, "report page"),
        ):
            if path:
                write(result, _in_staged(path, args.output, staged))
                console.print(Text(f"{partial}{what} written to {path}"), soft_wrap=True)


def _in_staged(path: str, output: Optional[str], staged: Optional[str]) -> str:
    """Where the file of `path` is written: in the staged directory when `path` names a file
    of the --output directory, so that it comes and goes with the run's other files."""
    target = os.path.abspath(os.path.expanduser(path))
    if staged is None or output is None:
        return target
    if os.path.dirname(target) != os.path.abspath(os.path.expanduser(output)):
        return target
    return os.path.join(staged, os.path.basename(target))
