"""The tables of a walk-forward: its windows with their choice, in and out of sample side by
side, and the stitched out-of-sample run's figures; for the console and the report page."""

from __future__ import annotations

from typing import Any, List

from quorvel.backtest.output.tables import FigureTable, fitted, ratio
from quorvel.sweep.runner import SweepRow
from quorvel.sweep.tables import figure_cell, shown_figures
from quorvel.sweep.walk_forward import WINDOW_STATISTICS, Span, WalkForwardResult

_STATISTIC_HEADINGS = {"deflated_sharpe": "DSR", "pbo": "PBO"}
_STATISTIC_WORDS = {
    "deflated_sharpe": "the deflated Sharpe ratio",
    "pbo": "the probability of backtest overfitting",
}


def walk_forward_tables(result: WalkForwardResult) -> List[FigureTable]:
    """The window table and the out-of-sample table."""
    run = result.settings.run
    shown = shown_figures(run, result.rank_by)
    sides = [result.rank_by, *(["net_pnl"] if result.rank_by != "net_pnl" else [])]
    names = list(result.grid)
    failures = any(window.error for window in result.windows)
    statistics = [
        name
        for name in WINDOW_STATISTICS
        if any(window.statistics()[name] is not None for window in result.windows)
    ]
    columns = [
        "#",
        "test days",
        *names,
        *(f"{shown[figure]} {side}" for figure in sides for side in ("IS", "OOS")),
        *(_STATISTIC_HEADINGS[name] for name in statistics),
        *(["error"] if failures else []),
    ]
    rows = [
        [
            str(window.number),
            _days(window.test),
            *(str(window.params.get(name, "-")) for name in names),
            *(
                figure_cell(figure, SweepRow(window.params, side))
                for figure in sides
                for side in (window.in_sample, window.out_of_sample)
            ),
            *(ratio(window.statistics()[name]) for name in statistics),
            *([(window.error or "").splitlines()[0] if window.error else ""] if failures else []),
        ]
        for window in result.windows
    ]
    stitched = SweepRow({}, result.figures)
    total = ["", "stitched", *[""] * len(names)]
    for figure in sides:
        total += ["", figure_cell(figure, stitched) if result.figures else "-"]
    total += [""] * len(statistics)
    windows = FigureTable(
        f"{result.strategy} walk-forward: {len(result.windows)} of {result.total} windows of "
        f"{result.walk}, ranked by {result.rank_by} (NTD)",
        columns,
        rows,
        total=total,
        names=2 + len(names),
        note=_note(result, sides, statistics),
    )
    tested = [window.test for window in result.windows if window.out_of_sample]
    span = f", {tested[0][0]} to {tested[-1][1]}" if tested else ""
    out_of_sample = FigureTable(
        f"Out of sample: the test runs stitched{span}, {result.trading_days} trading days "
        f"(NTD; fills: {run.fill_model}, latency {run.latency_ms:g} ms)",
        list(shown.values()),
        [[figure_cell(figure, stitched) for figure in shown]] if result.figures else [],
        names=0,
    )
    return [windows, out_of_sample]


def _note(result: WalkForwardResult, figures: List[str], statistics: List[str]) -> str:
    """What IS and OOS mean, and why a Sharpe ratio may be missing."""
    note = "IS: in-sample, the chosen combination on its training days; OOS: out-of-sample"
    for name in statistics:
        note += f"; {_STATISTIC_HEADINGS[name]}: {_STATISTIC_WORDS[name]} of the training sweep"
    sides = [side for window in result.windows for side in (window.in_sample, window.out_of_sample)]
    if "sharpe" in figures and any(side and side.get("sharpe") is None for side in sides):
        days = result.settings.run.min_sharpe_days
        note += f'. Sharpe "-": fewer than the {days} trading days a Sharpe ratio needs'
    return note


def _days(span: Span) -> str:
    """A span of days, the last one's year left out where it is the first's."""
    first, last = span
    return f"{first}\N{EN DASH}{last[5:] if last[:4] == first[:4] else last}"


def render_walk_forward(result: WalkForwardResult, console: Any) -> None:
    """Print the walk-forward's tables, each within the console's width."""
    for table in walk_forward_tables(result):
        for part in fitted(table, console.width):
            console.print(part)
        if table.note:
            console.print(f"  {table.note}", style="dim", highlight=False)
