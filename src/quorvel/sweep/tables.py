"""The table of a finished sweep, printed on a rich console."""

from __future__ import annotations

from typing import Any

from quorvel.backtest.metrics import MONEY_FIGURES
from quorvel.backtest.tables import ntd, ratio
from quorvel.sweep.runner import SweepResult, SweepRow

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
_SHARES = frozenset({"win_rate", "max_drawdown_share"})


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
        cells += [_cell(name, row) for name in shown]
        if failures:
            cells.append(row.error.splitlines()[0] if row.error else "")
        table.add_row(*cells)
    console.print(table)
    if any(row.error is None and row.figure("sharpe") is None for row in result.rows):
        days = result.settings.min_sharpe_days
        console.print(
            f'  Sharpe "-": fewer than the {days} trading days of returns a Sharpe ratio needs, '
            "or returns that did not vary",
            style="dim",
            highlight=False,
        )


def _cell(name: str, row: SweepRow) -> str:
    value = row.figure(name)
    if value is None:
        return "-"
    if name in MONEY_FIGURES:
        return ntd(value)
    if name in _SHARES:
        return f"{value:.1%}"
    return ratio(value) if isinstance(value, float) else str(value)
