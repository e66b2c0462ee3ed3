"""`quorvel-backtest --sweep ... --walk-forward TRAIN:TEST`: the windows, the stitched
out-of-sample run, its tables and its files."""

from __future__ import annotations

import argparse
import dataclasses
from typing import Any, Dict, List

from rich.console import Console
from rich.text import Text

from quorvel.arguments import error_line
from quorvel.cli.options import sweep_keywords
from quorvel.cli.progress import progress_bar
from quorvel.cli.signals import Stop
from quorvel.sweep import (
    SweepError,
    SweepSettings,
    WalkForwardInterrupted,
    render_walk_forward,
    run_walk_forward,
)
from quorvel.sweep.runner import BrokerFactory
from quorvel.sweep.search import Search


def walk_forward_command(
    parser: argparse.ArgumentParser,
    args: argparse.Namespace,
    broker: BrokerFactory,
    strategy: Any,
    grid: Dict[str, List[Any]],
    fixed: Dict[str, Any],
    search: Search,
    settings: SweepSettings,
    console: Console,
    stop: Stop,
) -> int:
    """Walk the sweep of the options forward, print its tables and write its files; returns
    the exit status: 1 when a window has no test run or a training run failed.  Stopped early
    (a signal), it prints and writes the windows finished, marked partial."""
    walk = dataclasses.replace(args.walk_forward, anchored=bool(args.anchored))
    status = 0
    try:
        with progress_bar(console, "backtests", "runs") as advance:
            result = run_walk_forward(
                broker,
                strategy,
                grid,
                settings,
                walk,
                fixed=fixed,
                progress=advance,
                search=search,
                **sweep_keywords(args),
            )
    except WalkForwardInterrupted as interruption:
        result, status = interruption.result, stop.exit_status
        result.stopped = stop.reason
    except SweepError as error:
        parser.error(str(error))
    render_walk_forward(result, console)
    if result.stopped is not None:
        finished = f"{len(result.windows)} of {result.total} windows finished"
        console.print(f"[yellow]{result.stopped}: {finished}[/yellow]")
    if args.output:
        result.write(args.output)
        partial = "partial " if result.stopped is not None else ""
        written = (
            f"{partial}walk_forward.csv, walk_forward.json, the stitched equity.csv, fills.csv "
            f"and round_trips.csv, and windows/ (each window's sweep) written to {args.output}"
        )
        console.print(Text(written), soft_wrap=True)
    sweeps = [window.sweep for window in result.windows if window.sweep is not None]
    failed = sum(row.error is not None for sweep in sweeps for row in sweep.rows)
    empty = sum(window.error is not None for window in result.windows)
    if (failed or empty) and status == 0:
        runs = sum(len(sweep.rows) for sweep in sweeps)
        error_line(
            f"{empty} of {len(result.windows)} windows without a test run, {failed} of {runs} "
            "training backtests failed: see walk_forward.csv and windows/"
        )
        status = 1
    return status
