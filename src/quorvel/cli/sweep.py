"""`quorvel-backtest --sweep`: every combination of the swept values, its table and its files."""

from __future__ import annotations

import argparse
import functools

from rich.console import Console

from quorvel.backtest import AccountRules, load_strategy, parse_params
from quorvel.cli.options import costs
from quorvel.cli.progress import progress_bar
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


def sweep_command(
    parser: argparse.ArgumentParser,
    args: argparse.Namespace,
    account: AccountRules,
    data_dir: str,
    console: Console,
) -> int:
    """Run the sweep of the options and print its table; returns the exit status."""
    try:
        strategy = load_strategy(args.strategy)
        fixed = parse_params(strategy, args.param)
        grid = parse_grid(strategy, args.sweep)
    except ValueError as error:
        parser.error(f"--sweep/--param: {error}")
    settings = SweepSettings(
        codes=tuple(args.codes),
        period=(args.start, args.end),
        backfill=None if args.no_backfill else (args.backfill_start, args.backfill_end),
        data_dir=data_dir,
        engine=args.engine,
        window=args.window,
        capital=args.capital,
        costs=costs(args),
        account=account,
        account_rules=not args.no_account_rules,
    )
    broker = (
        CacheOnlyBroker
        if args.offline
        else functools.partial(SimulatedBroker, args.seed, ticks_per_day=args.ticks_per_day)
    )
    try:
        with progress_bar(console, "backtests") as advance:
            result = run_sweep(
                broker,
                strategy,
                grid,
                settings,
                fixed=fixed,
                rank_by=args.rank_by,
                ray_address=args.ray_address,
                workers=args.workers,
                progress=advance,
            )
    except SweepInterrupted as interruption:
        partial = interruption.result
        render_sweep(partial, console)
        finished = f"{len(partial.rows)} of {partial.total} backtests finished"
        console.print(f"[yellow]interrupted: {finished}[/yellow]")
        return 130
    except SweepError as error:
        parser.error(str(error))
    render_sweep(result, console)
    if args.output:
        result.write(args.output)
        console.print(f"sweep.csv and sweep.json written to {args.output}")
    return 0
