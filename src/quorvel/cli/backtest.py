"""`quorvel-backtest`: one backtest, its tables and its files."""

from __future__ import annotations

import argparse
import os
from typing import Any, List

from rich.console import Console

from quorvel.backtest import (
    AccountRules,
    BacktestError,
    BacktestInterrupted,
    Strategy,
    cache_directory,
    plot_equity,
    render,
    run_backtest,
    write_outputs,
)
from quorvel.cli.options import costs
from quorvel.cli.progress import progress_bar


def backtest_command(
    args: argparse.Namespace,
    api: Any,
    codes: List[str],
    strategy: Strategy,
    account: AccountRules,
    data_dir: str,
    console: Console,
) -> int:
    """Run the backtest of the options and print its tables; returns the exit status."""
    interrupted = False
    try:
        with progress_bar(console, "replaying ticks") as advance:
            result = run_backtest(
                api,
                codes,
                (args.start, args.end),
                None if args.no_backfill else (args.backfill_start, args.backfill_end),
                data_dir=data_dir,
                strategy=strategy,
                engine=args.engine,
                window=args.window,
                progress=advance,
                quiet_modules=not args.verbose,
                capital=args.capital,
                costs=costs(args),
                account=account,
                account_rules=not args.no_account_rules,
            )
    except BacktestInterrupted as interruption:
        result, interrupted = interruption.result, True
    except BacktestError as error:
        console.print(f"[red]backtest failed: {error}[/red]")
        return 1
    except KeyboardInterrupt:  # pressed again while the run was winding down
        console.print("[yellow]interrupted[/yellow]")
        return 130
    if interrupted:
        console.print("[yellow]interrupted[/yellow]")
        if result.positions is not None:  # None when stopped before the exchange was set up
            render(result, console)
        return 130
    render(result, console)
    if not result.live_ticks:
        console.print("[yellow]the period holds no trading day of these codes[/yellow]")
    if args.data_dir:
        cache = os.path.join(cache_directory(args.data_dir, api), "sino", "ticks")
        console.print(f"tick cache: {cache}")
    if args.plot:
        plot_equity(result, args.plot)
        console.print(f"equity curve written to {args.plot}")
    if args.output:
        write_outputs(result, args.output, settings=vars(args))
        console.print(f"reports, fills, equity curve and summary written to {args.output}")
    return 0
