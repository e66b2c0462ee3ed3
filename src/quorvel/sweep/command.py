"""`quorvel-backtest --sweep`: the sweep's options, its progress bar, its table and its files."""

from __future__ import annotations

import argparse
import functools
from typing import Any, Dict

from quorvel.backtest.account import AccountRules
from quorvel.backtest.costs import CostModel
from quorvel.backtest.strategy import load_strategy, parse_params
from quorvel.backtest.tables import ntd
from quorvel.sim import SimulatedBroker
from quorvel.sweep.grid import parse_grid
from quorvel.sweep.runner import (
    FIGURES,
    SweepError,
    SweepInterrupted,
    SweepResult,
    SweepSettings,
    run_sweep,
)

# The figures of the printed table, with their headings (the ranking's figure is added when it
# is not among them); the files hold every figure.
_SHOWN = {
    "net_pnl": "net P&L",
    "fees": "fees",
    "round_trips": "round trips",
    "win_rate": "win rate",
    "max_drawdown": "max drawdown",
    "sharpe": "Sharpe",
}
_MONEY = frozenset(
    {
        "net_pnl",
        "gross_pnl",
        "realized_pnl",
        "unrealized_pnl",
        "fees",
        "taxes",
        "traded_value",
        "max_drawdown",
    }
)
_SHARES = frozenset({"win_rate", "max_drawdown_share"})


def add_sweep_arguments(parser: argparse.ArgumentParser) -> None:
    sweep = parser.add_argument_group("sweep (needs the 'sweep' extra: Ray)")
    sweep.add_argument(
        "--sweep",
        action="append",
        default=[],
        metavar="NAME=V1,V2,...",
        help="run every combination of these parameter values (repeatable), e.g. --sweep ma=100,200",
    )
    sweep.add_argument(
        "--rank-by",
        choices=FIGURES,
        default="net_pnl",
        metavar="FIGURE",
        help=f"figure the sweep's table is ranked by: {', '.join(FIGURES)}",
    )
    sweep.add_argument(
        "--ray-address",
        metavar="ADDRESS",
        help="join this Ray cluster (default: start Ray on this machine)",
    )
    sweep.add_argument(
        "--workers",
        type=_positive_int,
        metavar="N",
        help="runs at once (default: every core of this machine or the cluster)",
    )


def _positive_int(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {text!r}")
    return int(text)


def sweep_main(
    parser: argparse.ArgumentParser,
    args: argparse.Namespace,
    costs: CostModel,
    account: AccountRules,
    data_dir: str,
    console: Any,
) -> int:
    """The sweep of the command line; returns the exit status."""
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

    if args.plot:
        parser.error("--plot draws one run; it does not go with --sweep")
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
        costs=costs,
        account=account,
        account_rules=not args.no_account_rules,
    )
    broker = functools.partial(SimulatedBroker, args.seed, ticks_per_day=args.ticks_per_day)
    bar = Progress(
        TextColumn("backtests"),
        BarColumn(),
        MofNCompleteColumn(),
        TimeElapsedColumn(),
        console=console,
        transient=True,
    )
    task = bar.add_task("sweep", total=None)
    try:
        with bar:
            result = run_sweep(
                broker,
                strategy,
                grid,
                settings,
                fixed=fixed,
                rank_by=args.rank_by,
                ray_address=args.ray_address,
                workers=args.workers,
                progress=lambda done, total: bar.update(task, completed=done, total=total),
            )
    except SweepInterrupted as interruption:
        partial = interruption.result
        render_sweep(partial, console)
        console.print(
            f"[yellow]interrupted: {len(partial.rows)} of {partial.total} backtests finished[/yellow]"
        )
        return 130
    except SweepError as error:
        parser.error(str(error))
    render_sweep(result, console)
    if args.output:
        result.write(args.output)
        console.print(f"sweep.csv and sweep.json written to {args.output}")
    return 0


def render_sweep(result: SweepResult, console: Any) -> None:
    """Print the sweep's table: every finished combination, best first."""
    from rich import box
    from rich.table import Table

    names = list(result.rows[0].params) if result.rows else []
    shown = {**_SHOWN, result.rank_by: _SHOWN.get(result.rank_by, result.rank_by)}
    failures = any(row.error for row in result.rows)
    table = Table(
        title=f"{result.strategy}: {result.total} combinations ranked by {result.rank_by} (NTD)",
        title_justify="left",
        box=box.SIMPLE_HEAD,
    )
    for heading in ["rank", *names, *shown.values()]:
        table.add_column(heading, justify="right")
    if failures:
        table.add_column("error", justify="left")
    for rank, row in enumerate(result.rows, 1):
        cells = [str(rank), *(str(row.params[name]) for name in names)]
        cells += [_cell(name, row.figures) for name in shown]
        if failures:
            cells.append(row.error.splitlines()[0] if row.error else "")
        table.add_row(*cells)
    console.print(table)


def _cell(name: str, figures: Dict[str, Any]) -> str:
    value = figures.get(name)
    if value is None:
        return "-"
    if name in _MONEY:
        return ntd(value)
    if name in _SHARES:
        return f"{value:.1%}"
    return f"{value:.2f}" if isinstance(value, float) else str(value)
