"""The pictures of a sweep and of a walk-forward, written with their files.

A sweep gets a heatmap of its ranking's figure over two swept parameters (the
first two with more than one value; over a single one, one row): sweep.png and
the page sweep.html, which adds its overfitting statistics (when it has them)
and its table.  Where more parameters are swept, a cell shows the best of the
combinations that share its two values.  A walk-forward gets its chosen values
window by window with the ranking's figure in and out of sample beside them:
walk_forward.png and walk_forward.html, which adds the stitched out-of-sample
equity and the tables.  The PNGs need matplotlib (the 'plot' extra) and the
pages plotly (the 'report' extra); each is written only where its library is
installed.  Both are imported only when a picture is drawn.
"""

from __future__ import annotations

import html
import importlib.util
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from quorvel.atomic_files import written_together

if TYPE_CHECKING:
    from quorvel.sweep.runner import SweepResult
    from quorvel.sweep.walk_forward import WalkForwardResult

SWEEP_PICTURES = ("sweep.png", "sweep.html")
WALK_FORWARD_PICTURES = ("walk_forward.png", "walk_forward.html")

# A colour scale from bad (red) to good (green); reversed for a figure of which less is better.
_SCALE = "RdYlGn"
_MISSING_COLOUR = "#d9d9d9"
_IN_SAMPLE_COLOUR, _OUT_OF_SAMPLE_COLOUR = "#7f9fbf", "#e08030"
# The most cells of a heatmap whose values are written in them.
_LABELLED_CELLS = 150
# The ids of the pages' charts: fixed, so that the same sweep writes the same page.
_CHART_IDS = ("heatmap", "chosen", "equity")


@dataclass
class Heatmap:
    """The ranking's figure over the values of `x` (columns) and `y` (rows; None: one row):
    `cells[row][column]`, None where no combination finished with it; `best` is the cell of
    the best, and `over` the other swept parameters a cell shows the best over."""

    figure: str
    x: str
    y: Optional[str]
    x_values: List[Any]
    y_values: List[Any]
    cells: List[List[Optional[float]]]
    best: Optional[Tuple[int, int]]
    over: List[str]
    lower_is_better: bool


def heatmap(result: SweepResult) -> Optional[Heatmap]:
    """The heatmap of a sweep; None where no parameter takes more than one value."""
    from quorvel.sweep.runner import LOWER_IS_BETTER

    rows = result.rows
    names = list(rows[0].params) if rows else []
    values = {name: _sorted({row.params[name] for row in rows}) for name in names}
    varied = [name for name in names if len(values[name]) > 1]
    if not varied:
        return None
    x, y = varied[0], (varied[1] if len(varied) > 1 else None)
    lower = result.rank_by in LOWER_IS_BETTER
    better = (lambda a, b: a < b) if lower else (lambda a, b: a > b)
    by_cell: Dict[Tuple[Any, Any], float] = {}
    for row in rows:
        value = row.figure(result.rank_by)
        if value is None or not math.isfinite(value):
            continue
        key = (row.params[x], row.params[y] if y else None)
        if key not in by_cell or better(value, by_cell[key]):
            by_cell[key] = value
    y_values = values[y] if y else [None]
    cells = [[by_cell.get((a, b)) for a in values[x]] for b in y_values]
    best_value = None
    best = None
    for row_index, line in enumerate(cells):
        for column, value in enumerate(line):
            if value is not None and (best_value is None or better(value, best_value)):
                best_value, best = value, (row_index, column)
    over = [name for name in varied if name not in (x, y)]
    return Heatmap(result.rank_by, x, y, values[x], y_values, cells, best, over, lower)


def _sorted(values: Any) -> List[Any]:
    try:
        return sorted(values)
    except TypeError:  # values no order holds: as text
        return sorted(values, key=str)


def write_sweep_pictures(result: SweepResult, directory: str) -> List[str]:
    """Write `SWEEP_PICTURES` into `directory`, each where its library is installed and the
    sweep has a heatmap; return the paths written."""
    map_ = heatmap(result)
    if map_ is None:
        return []
    return _written(
        directory,
        SWEEP_PICTURES,
        lambda: _heatmap_png(result, map_),
        lambda: _sweep_page(result, map_),
    )


def write_walk_forward_pictures(result: WalkForwardResult, directory: str) -> List[str]:
    """Write `WALK_FORWARD_PICTURES` into `directory`, each where its library is installed and
    some window chose; return the paths written."""
    if not any(window.params for window in result.windows):
        return []
    return _written(
        directory,
        WALK_FORWARD_PICTURES,
        lambda: _chosen_png(result),
        lambda: _walk_forward_page(result),
    )


def _written(directory: str, names: Sequence[str], png: Any, page: Any) -> List[str]:
    written = []
    for name, library, draw in zip(names, ("matplotlib", "plotly"), (png, page)):
        if importlib.util.find_spec(library) is None:
            continue
        path = os.path.join(directory, name)
        with written_together([path]) as [temp_path]:
            made = draw()
            if isinstance(made, str):
                with open(temp_path, "w", encoding="utf-8") as page_file:
                    page_file.write(made)
            else:
                made.savefig(temp_path, dpi=110, format="png")
        written.append(path)
    return written


def _ticks(figure: str) -> Any:
    """The axis labels of a figure: NTD with thousands separators, others as matplotlib has
    them."""
    from matplotlib.ticker import FuncFormatter, ScalarFormatter

    from quorvel.backtest.account.ledger import MONEY_FIGURES
    from quorvel.backtest.results.comparison import TOUCH

    if figure.removeprefix(TOUCH) in MONEY_FIGURES:
        return FuncFormatter(lambda value, _: f"{value:,.0f}")
    return ScalarFormatter()


def _label(figure: str, value: Optional[float]) -> str:
    from quorvel.sweep.runner import SweepRow
    from quorvel.sweep.tables import figure_cell

    return figure_cell(figure, SweepRow({}, {figure: value}))


def _value_text(value: Any) -> str:
    return "" if value is None else str(value)


def _heatmap_title(result: SweepResult, map_: Heatmap) -> str:
    over = f"{map_.x} and {map_.y}" if map_.y else map_.x
    best = f"; each cell the best over {', '.join(map_.over)}" if map_.over else ""
    partial = f" (partial: {result.stopped})" if result.stopped else ""
    return f"{result.strategy}: {map_.figure} over {over}{best}{partial}"


def _heatmap_png(result: SweepResult, map_: Heatmap) -> Any:
    """The heatmap as a matplotlib figure, made without pyplot."""
    from matplotlib import colormaps, patheffects
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    columns, rows = len(map_.x_values), len(map_.y_values)
    figure = Figure(
        figsize=(min(4 + 0.9 * columns, 16), min(2 + 0.55 * rows, 12)), layout="constrained"
    )
    axes = figure.add_subplot()
    scale = colormaps[_SCALE + ("_r" if map_.lower_is_better else "")].with_extremes(
        bad=_MISSING_COLOUR
    )
    data = [[math.nan if value is None else value for value in line] for line in map_.cells]
    image = axes.imshow(data, cmap=scale, aspect="auto", origin="lower")
    figure.colorbar(image, ax=axes, label=map_.figure, format=_ticks(map_.figure))
    axes.set_xticks(range(columns), [_value_text(value) for value in map_.x_values])
    axes.set_xlabel(map_.x)
    if map_.y:
        axes.set_yticks(range(rows), [_value_text(value) for value in map_.y_values])
        axes.set_ylabel(map_.y)
    else:
        axes.set_yticks([])
    if columns * rows <= _LABELLED_CELLS:
        outline = [patheffects.withStroke(linewidth=2.5, foreground="white")]
        for row, line in enumerate(map_.cells):
            for column, value in enumerate(line):
                text = _label(map_.figure, value)
                axes.text(
                    column, row, text, ha="center", va="center", fontsize=9, path_effects=outline
                )
    if map_.best is not None:
        row, column = map_.best
        axes.add_patch(
            Rectangle((column - 0.5, row - 0.5), 1, 1, fill=False, edgecolor="black", linewidth=2.5)
        )
    axes.set_title(_heatmap_title(result, map_) + "\nframed: the best", fontsize=11)
    return figure


def _chosen_png(result: WalkForwardResult) -> Any:
    """The walk-forward's chosen values per window, a panel a parameter, and the ranking's
    figure in and out of sample below them."""
    from matplotlib.figure import Figure

    names = list(result.grid)
    windows = [window for window in result.windows if window.params]
    figure = Figure(figsize=(11, 1.9 * len(names) + 3.2), layout="constrained")
    panels = figure.subplots(len(names) + 1, 1, sharex=True, height_ratios=[1] * len(names) + [1.6])
    places = [window.number for window in windows]
    for axes, name in zip(panels, names):
        values = result.grid[name]
        numeric = all(
            isinstance(value, (int, float)) and not isinstance(value, bool) for value in values
        )
        levels = {value: index for index, value in enumerate(values)}
        shown = [
            window.params[name] if numeric else levels[window.params[name]] for window in windows
        ]
        axes.step(places, shown, where="mid", color="#444444", linewidth=1.2)
        axes.plot(places, shown, "o", color="#1f5f9f")
        if numeric:
            axes.set_yticks(sorted(values))
        else:
            axes.set_yticks(range(len(values)), [str(value) for value in values])
        axes.set_ylabel(name)
        axes.grid(axis="y", alpha=0.3)
    bars = panels[-1]
    inside = [window.in_sample.get(result.rank_by) or 0.0 for window in windows]
    outside = [window.out_of_sample.get(result.rank_by) or 0.0 for window in windows]
    bars.bar(
        [place - 0.2 for place in places],
        inside,
        0.4,
        color=_IN_SAMPLE_COLOUR,
        label="in-sample (training days)",
    )
    bars.bar(
        [place + 0.2 for place in places],
        outside,
        0.4,
        color=_OUT_OF_SAMPLE_COLOUR,
        label="out-of-sample (test days)",
    )
    bars.axhline(0, color="#888888", linewidth=0.8)
    bars.set_ylabel(result.rank_by)
    bars.yaxis.set_major_formatter(_ticks(result.rank_by))
    bars.legend(loc="best", fontsize=8)
    bars.set_xticks(places, [f"{window.number}\n{window.test[0]}" for window in windows])
    bars.set_xlabel("window and its first test day")
    figure.suptitle(
        f"{result.strategy} walk-forward ({result.walk}): the chosen values per window,\n"
        f"and {result.rank_by} of the choice in and out of sample",
        fontsize=11,
    )
    return figure


def _plot_html(figure: Any, chart_id: str, first: bool) -> str:
    import plotly.io

    return str(
        plotly.io.to_html(
            figure,
            include_plotlyjs=first,
            full_html=False,
            div_id=chart_id,
            config={"displaylogo": False, "responsive": True},
        )
    )


def _sweep_page(result: SweepResult, map_: Heatmap) -> str:
    from plotly import graph_objects as go

    from quorvel.backtest.output.report import html_page, html_table
    from quorvel.backtest.output.tables import FigureTable
    from quorvel.sweep.tables import figure_cell, shown_figures

    scale = _SCALE + ("_r" if map_.lower_is_better else "")
    labels = [
        [_label(map_.figure, value) if value is not None else "" for value in line]
        for line in map_.cells
    ]
    chart = go.Figure(
        go.Heatmap(
            z=map_.cells,
            x=[_value_text(value) for value in map_.x_values],
            y=[_value_text(value) for value in map_.y_values],
            text=labels,
            texttemplate="%{text}"
            if len(map_.cells) * len(map_.x_values) <= _LABELLED_CELLS
            else "",
            colorscale=scale,
            colorbar={"title": {"text": map_.figure}},
            hoverongaps=False,
        )
    )
    chart.update_xaxes(title_text=map_.x, type="category")
    chart.update_yaxes(title_text=map_.y or "", type="category")
    chart.update_layout(height=max(320, 90 + 45 * len(map_.y_values)), margin={"t": 30})
    shown = shown_figures(result.settings.run, result.rank_by)
    names = list(result.rows[0].params)
    errors = [row.error.splitlines()[0] if row.error else "" for row in result.rows]
    failures = any(errors)
    table = FigureTable(
        f"{result.total} combinations ranked by {result.rank_by} (NTD)",
        ["rank", *names, *shown.values(), *(["error"] if failures else [])],
        [
            [
                str(rank),
                *(str(row.params[name]) for name in names),
                *(figure_cell(figure, row) for figure in shown),
                *([error] if failures else []),
            ]
            for rank, (row, error) in enumerate(zip(result.rows, errors), 1)
        ],
        names=1 + len(names),
    )
    title = _heatmap_title(result, map_)
    statistics = getattr(result, "overfitting", None)
    sections = [
        f"<h1>{html.escape(title)}</h1>",
        _settings_line(result.settings.codes, result.settings.run),
        _statistics_html(statistics.as_dict()) if statistics is not None else "",
        _plot_html(chart, _CHART_IDS[0], True),
        html_table(table),
    ]
    return html_page(title, sections)


def _settings_line(codes: Sequence[str], run: Any) -> str:
    text = (
        f"Codes {' '.join(codes)}, {run.period[0]} to {run.period[1]}, fills: {run.fill_model}, "
        f"latency {run.latency_ms:g} ms, capital {run.capital:,.0f} NTD."
    )
    return f'<p class="note">{html.escape(text)}</p>'


def _statistics_html(statistics: Dict[str, Any]) -> str:
    """The overfitting statistics as a names-and-values table: nested entries by their path."""
    from quorvel.backtest.output.report import html_table
    from quorvel.backtest.output.tables import FigureTable

    def flat(entries: Dict[str, Any], prefix: str = "") -> List[Tuple[str, str]]:
        rows = []
        for key, value in entries.items():
            if isinstance(value, dict):
                rows += flat(value, f"{prefix}{key} ")
            elif isinstance(value, float):
                rows.append((f"{prefix}{key}", f"{value:.4g}"))
            elif isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
                rows.append((f"{prefix}{key}", "; ".join(value) or "-"))
            elif isinstance(value, (list, tuple)):  # the inputs themselves: too many to list
                rows.append((f"{prefix}{key}", f"{len(value)} values"))
            else:
                rows.append((f"{prefix}{key}", _value_text(value) or "-"))
        return rows

    return html_table(FigureTable("Overfitting statistics", (), flat(statistics)))


def _walk_forward_page(result: WalkForwardResult) -> str:
    from plotly import graph_objects as go
    from plotly.subplots import make_subplots

    from quorvel.backtest.output.report import html_page, html_table
    from quorvel.sweep.walk_tables import walk_forward_tables

    names = list(result.grid)
    windows = [window for window in result.windows if window.params]
    places = [f"{window.number}: {window.test[0]}" for window in windows]
    chosen = make_subplots(
        rows=len(names) + 1,
        cols=1,
        shared_xaxes=True,
        vertical_spacing=0.06,
        subplot_titles=[*names, f"{result.rank_by}: in-sample and out-of-sample"],
    )
    for row, name in enumerate(names, 1):
        # Each swept value is a level of its own, as in the PNG: an axis scaled to the values
        # chosen would show one value chosen throughout as 0 on a range of -1 to 1.
        levels = [_value_text(value) for value in _sorted(result.grid[name])]
        chosen.update_yaxes(
            type="category", categoryorder="array", categoryarray=levels, row=row, col=1
        )
        chosen.add_trace(
            go.Scatter(
                x=places,
                y=[_value_text(window.params[name]) for window in windows],
                name=name,
                mode="lines+markers",
                line={"shape": "hvh"},
                showlegend=False,
            ),
            row=row,
            col=1,
        )
    for label, side, colour in (
        ("in-sample", "in_sample", _IN_SAMPLE_COLOUR),
        ("out-of-sample", "out_of_sample", _OUT_OF_SAMPLE_COLOUR),
    ):
        chosen.add_trace(
            go.Bar(
                x=places,
                y=[getattr(window, side).get(result.rank_by) for window in windows],
                name=label,
                marker_color=colour,
            ),
            row=len(names) + 1,
            col=1,
        )
    chosen.update_xaxes(type="category")
    chosen.update_layout(height=170 * len(names) + 320, margin={"t": 40}, barmode="group")
    equity = go.Figure()
    if result.equity.height:
        for number in result.equity["window"].unique(maintain_order=True):
            part = result.equity.filter(result.equity["window"] == number)
            equity.add_trace(
                go.Scatter(
                    x=part["time"].to_list(),
                    y=part["net_equity"].to_list(),
                    name=f"window {number}",
                    mode="lines",
                )
            )
    equity.update_layout(
        height=380, margin={"t": 40}, title_text="Out-of-sample net equity (NTD), stitched"
    )
    equity.update_xaxes(rangebreaks=[{"bounds": ["sat", "mon"]}])
    title = f"{result.strategy} walk-forward: {result.walk}, ranked by {result.rank_by}"
    tables = walk_forward_tables(result)
    partial = (
        f'<p class="partial">Partial: the walk-forward was {html.escape(result.stopped)}; '
        "the windows are those finished until then.</p>"
        if result.stopped
        else ""
    )
    sections = [
        f"<h1>{html.escape(title)}</h1>",
        partial,
        _settings_line(result.settings.codes, result.settings.run),
        '<div class="tables">',
        *(html_table(table) for table in tables),
        "</div>",
        "<h2>The chosen values per window</h2>",
        _plot_html(chosen, _CHART_IDS[1], True),
        "<h2>Out of sample</h2>",
        _plot_html(equity, _CHART_IDS[2], False),
    ]
    return html_page(title, sections)
