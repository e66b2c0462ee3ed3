"""The table of a finished sweep, printed on a rich console."""

from __future__ import annotations

from typing import Any, Dict

from quorvel.backtest.account.ledger import MONEY_FIGURES
from quorvel.backtest.output.tables import ntd, ratio
from quorvel.backtest.results.comparison import TOUCH
from quorvel.backtest.settings.run import RunSettings
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
# Shown beside them when the sweep compares fills.
_SHOWN_COMPARED = {"touch_net_pnl": "touch net"}
_SHARES = frozenset({"win_rate", "max_drawdown_share"})
# The narrowest the error column gets where the table is wider than the console.
_ERROR_WIDTH = 40


def render_sweep(result: SweepResult, console: Any) -> None:
    """Print the sweep's table: every finished combination, best first."""
    from rich import box
    from rich.cells import cell_len
    from rich.table import Table

    run = result.settings.run
    names = list(result.rows[0].params) if result.rows else []
    shown = shown_figures(run, result.rank_by)
    failures = any(row.error for row in result.rows)
    table = Table(
        title=f"{result.strategy}: {result.total} combinations{_searched(result)} ranked by "
        f"{result.rank_by} (NTD; fills: {run.fill_model}, latency {run.latency_ms:g} ms)",
        title_justify="left",
        box=box.SIMPLE_HEAD,
    )
    rows = [
        [
            str(rank),
            *(str(row.params[name]) for name in names),
            *(figure_cell(n, row) for n in shown),
        ]
        for rank, row in enumerate(result.rows, 1)
    ]
    errors = [row.error.splitlines()[0] if row.error else "" for row in result.rows]
    # Headings and figures are never cut short: each column is as wide as its widest cell, and
    # only the error text wraps.  A table wider than the console is printed whole.
    for index, heading in enumerate(["rank", *names, *shown.values()]):
        width = max([cell_len(heading), *(cell_len(cells[index]) for cells in rows)])
        table.add_column(heading, justify="right", min_width=width)
    if failures:
        width = min(_ERROR_WIDTH, max(cell_len(error) for error in errors))
        table.add_column("error", justify="left", overflow="fold", min_width=width)
    for cells, error in zip(rows, errors):
        table.add_row(*cells, *([error] if failures else []))
    console.print(table, crop=False)
    if any(row.error is None and row.figure("sharpe") is None for row in result.rows):
        days = run.min_sharpe_days
        console.print(
            f'  Sharpe "-": fewer than the {days} trading days of returns a Sharpe ratio needs, '
            "or returns that did not vary",
            style="dim",
            highlight=False,
        )
    for line in result.overfitting.lines() if result.overfitting else ():
        console.print(f"  {line}", highlight=False)


def _searched(result: SweepResult) -> str:
    """How a search other than the grid's picked the combinations, for the title."""
    method = result.search.method
    return "" if method == "grid" else f" ({method} search)"


def shown_figures(run: RunSettings, rank_by: str) -> Dict[str, str]:
    """The figures a table of runs shows, with their headings: the ranking's figure among them."""
    shown = {**_SHOWN, **(_SHOWN_COMPARED if run.compares_fills else {})}
    shown.setdefault(rank_by, rank_by)
    return shown


def figure_cell(name: str, row: SweepRow) -> str:
    """The figure `name` of `row` as the tables show it: "-" where it has none."""
    value = row.figure(name)
    if value is None:
        return "-"
    if name.removeprefix(TOUCH) in MONEY_FIGURES:
        return ntd(value)
    if name in _SHARES:
        return f"{value:.1%}"
    return ratio(value) if isinstance(value, float) else str(value)
