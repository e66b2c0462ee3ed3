"""`quorvel-backtest --sweep`: every combination of the swept values, its table and its files."""

from __future__ import annotations

import argparse
import functools

from rich.console import Console
from rich.text import Text

from quorvel.arguments import error_line
from quorvel.backtest import RunSettings
from quorvel.backtest.strategy.loading import load_strategy, parse_params
from quorvel.cli.options import sweep_keywords
from quorvel.cli.progress import progress_bar
from quorvel.cli.signals import Stop
from quorvel.cli.walk_forward import walk_forward_command
from quorvel.data.offline import CacheOnlyBroker
from quorvel.sim import SimulatedBroker
from quorvel.sweep import (
    SweepError,
    SweepInterrupted,
    SweepSettings,
    parse_grid,
    render_sweep,
    run_sweep,
)
from quorvel.sweep.search import Search


def sweep_command(
    parser: argparse.ArgumentParser,
    args: argparse.Namespace,
    settings: RunSettings,
    data_dir: str,
    console: Console,
    stop: Stop,
) -> int:
    """Run the sweep of the options, print its table and write its files; returns the exit
    status: 1 when a run failed (its row tells why).  A sweep stopped early (a signal) still
    prints and writes the rows it finished, marked partial."""
    try:
        strategy = load_strategy(args.strategy)
        fixed = parse_params(strategy, args.param)
        grid = parse_grid(strategy, args.sweep)
    except ValueError as error:
        parser.error(f"--sweep/--param: {error}")
    try:
        search = Search(args.search or "grid", args.trials)
    except ValueError as error:
        parser.error(f"--search/--trials: {error}")
    sweep_settings = SweepSettings(tuple(args.codes), settings, data_dir, args.pbo_splits)
    broker = (
        CacheOnlyBroker
        if args.offline
        else functools.partial(SimulatedBroker, args.seed, ticks_per_day=args.ticks_per_day)
    )
    if args.walk_forward:
        return walk_forward_command(
            parser, args, broker, strategy, grid, fixed, search, sweep_settings, console, stop
        )
    status = 0
    try:
        with progress_bar(console, "backtests", "runs") as advance:
            result = run_sweep(
                broker,
                strategy,
                grid,
                sweep_settings,
                fixed=fixed,
                progress=advance,
                search=search,
                journal=args.output,
                resume=bool(args.resume),
                **sweep_keywords(args),
            )
    except SweepInterrupted as interruption:
        result, status = interruption.result, stop.exit_status
        result.stopped = stop.reason
    except SweepError as error:
        parser.error(str(error))
    render_sweep(result, console)
    if result.stopped is not None:
        finished = f"{len(result.rows)} of {result.total} backtests finished"
        console.print(f"[yellow]{result.stopped}: {finished}[/yellow]")
    if args.output:
        result.write(args.output)
        partial = "partial " if result.stopped is not None else ""
        files = "sweep.csv, sweep.json and runs/ (each run's log)"
        written = f"{partial}{files} written to {args.output}"
        console.print(Text(written), soft_wrap=True)
    failed = sum(row.error is not None for row in result.rows)
    if failed and status == 0:
        error_line(f"{failed} of {len(result.rows)} backtests failed: see the error column")
        status = 1
    return status
