"""The report page of a run: one HTML file that opens in a browser without a server or a network.

It holds the tables the console prints (less the replay's time and speed and the
tick cache's files, so that the same run writes the same page), the charts (net P&L of each code and
in total, the drawdown, and each code's price path with its buys and sells) and
every round trip.  The charts are plotly's, with plotly.js embedded in the
page; their time axis leaves out the nights, weekends and holidays in which
none of the codes trades (`closed_stretches`).  plotly is imported only when a
report is written: it is an optional dependency (the 'report' extra).
"""

from __future__ import annotations

import datetime as dt
import html
import os
from typing import Any, List, Sequence

from quorvel.backtest.account.ledger import RoundTrip
from quorvel.backtest.output.charts import (
    ChartSeries,
    chart_series,
    chart_title,
    closed_stretches,
    code_colours,
    wall_clock,
)
from quorvel.atomic_files import written_together
from quorvel.backtest.output.tables import FigureTable, ntd, run_tables
from quorvel.backtest.results.evaluation import Evaluation
from quorvel.backtest.results.result import BacktestResult

PLOTLY_MISSING = "the report page needs plotly: pip install 'quorvel[report]'"

# Pixels: the height of the P&L panel, the drawdown panel and each price panel, and the gap
# between two panels that holds the upper one's time labels and the lower one's title.
_PNL_HEIGHT, _DRAWDOWN_HEIGHT, _PRICE_HEIGHT = 360, 150, 210
_GAP_HEIGHT = 70
_BUY_COLOUR, _SELL_COLOUR = "#1a9850", "#d73027"
# The element that holds the charts: a fixed name, so that the same run writes the same page.
_CHARTS_ID = "charts"

_STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", sans-serif; margin: 1.5em 2em;
       color: #222; }
h1 { font-size: 1.35em; margin-bottom: 0.2em; }
h2 { font-size: 1.1em; margin: 1.6em 0 0.4em; }
.partial { background: #fff3cd; border: 1px solid #e0c060; padding: 0.5em 0.8em; }
.tables { display: flex; flex-wrap: wrap; gap: 1.2em 2.5em; align-items: flex-start; }
table { border-collapse: collapse; font-size: 0.9em; font-variant-numeric: tabular-nums; }
caption { text-align: left; font-weight: 600; padding-bottom: 0.3em; }
th, td { padding: 0.2em 0.7em; border-bottom: 1px solid #e4e4e4; white-space: nowrap; }
th { background: #f4f4f4; }
td.figure, th.figure { text-align: right; }
tr.total td { font-weight: 600; border-top: 2px solid #bbb; }
tr.warning td { color: #8a5a00; }
p.note, p.empty { color: #666; font-size: 0.85em; margin: 0.3em 0 0; }
.round-trips { max-height: 32em; overflow-y: auto; display: inline-block; }
ul.warnings { color: #8a5a00; font-size: 0.9em; }
"""


def write_report(result: BacktestResult, path: str) -> None:
    """Write the report page of `result` to `path` ("~" expanded); it replaces `path` only once
    it is whole.  Raises ImportError with `PLOTLY_MISSING` without plotly."""
    try:
        import plotly.io
    except ImportError:
        raise ImportError(PLOTLY_MISSING) from None
    evaluation = result.evaluate()
    charts = plotly.io.to_html(
        _figure(result, chart_series(result, evaluation)),
        include_plotlyjs=True,
        full_html=False,
        div_id=_CHARTS_ID,
        config={"displaylogo": False, "responsive": True},
    )
    page = _page(result, evaluation, charts)
    with written_together([os.path.expanduser(path)]) as [temp_path]:
        with open(temp_path, "w", encoding="utf-8") as page_file:
            page_file.write(page)


def _page(result: BacktestResult, evaluation: Evaluation, charts: str) -> str:
    title = chart_title(result).splitlines()[0]
    partial = (
        f'<p class="partial">Partial: the run stopped early ({html.escape(result.stopped)}); '
        "the figures are those of the ticks replayed until then.</p>"
        if result.stopped is not None
        else ""
    )
    warnings = "".join(f"<li>{html.escape(warning)}</li>" for warning in result.warnings)
    sections = [
        f"<h1>{html.escape(title)}</h1>",
        partial,
        '<div class="tables">',
        *(html_table(table) for table in run_tables(result, evaluation, machine=False)),
        "</div>",
        f'<h2>Account warnings</h2><ul class="warnings">{warnings}</ul>' if warnings else "",
        "<h2>Charts</h2>",
        charts,
        f"<h2>Round trips ({len(evaluation.round_trips)})</h2>",
        '<div class="round-trips">',
        html_table(_round_trips_table(evaluation.round_trips)),
        "</div>",
    ]
    return html_page(title, sections)


def html_page(title: str, sections: Sequence[str]) -> str:
    """A whole page of the report's look: `title`, then the HTML of `sections` (empty ones
    left out)."""
    body = "\n".join(section for section in sections if section)
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f"<title>{html.escape(title)}</title>\n<style>{_STYLE}</style>\n</head>\n"
        f"<body>\n{body}\n</body>\n</html>\n"
    )


def html_table(table: FigureTable) -> str:
    """A `FigureTable` as an HTML table with its title as the caption and its note below."""

    def cells(row: Sequence[str], tag: str) -> str:
        return "".join(
            f'<{tag} class="{"name" if index < table.names else "figure"}">'
            f"{html.escape(cell)}</{tag}>"
            for index, cell in enumerate(row)
        )

    head = f"<thead><tr>{cells(table.columns, 'th')}</tr></thead>" if table.columns else ""
    rows = [
        f'<tr class="warning">{cells(row, "td")}</tr>'
        if index < table.warnings
        else f"<tr>{cells(row, 'td')}</tr>"
        for index, row in enumerate(table.rows)
    ]
    if table.total:
        rows.append(f'<tr class="total">{cells(table.total, "td")}</tr>')
    note = f'<p class="note">{html.escape(table.note)}</p>' if table.note else ""
    empty = '<p class="empty">none</p>' if not table.rows and not table.total else ""
    return (
        f"<div><table><caption>{html.escape(table.title)}</caption>{head}"
        f"<tbody>{''.join(rows)}</tbody></table>{empty}{note}</div>"
    )


def _round_trips_table(round_trips: Sequence[RoundTrip]) -> FigureTable:
    return FigureTable(
        "Every round trip, in the order they closed (P&L in NTD)",
        ("#", "code", "side", "lots", "opened", "closed", "held", "gross", "costs", "net"),
        [
            (
                str(number),
                trip.code,
                trip.side,
                str(trip.lots),
                _time_text(wall_clock(trip.opened)),
                _time_text(wall_clock(trip.closed)),
                _duration_text(trip.closed - trip.opened),
                ntd(trip.gross),
                ntd(trip.costs),
                ntd(trip.net),
            )
            for number, trip in enumerate(round_trips, 1)
        ],
        names=3,
    )


def _time_text(moment: dt.datetime) -> str:
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def _duration_text(seconds: float) -> str:
    days, rest = divmod(round(seconds), 86_400)
    hours, rest = divmod(rest, 3600)
    minutes, seconds_left = divmod(rest, 60)
    clock = f"{hours:d}:{minutes:02d}:{seconds_left:02d}"
    return f"{days}d {clock}" if days else clock


def _figure(result: BacktestResult, series: ChartSeries) -> Any:
    """The charts: net P&L, drawdown, and a price panel per code, on one time axis."""
    from plotly import graph_objects as go
    from plotly.subplots import make_subplots

    codes = series.codes
    colours = dict(zip(codes, code_colours(len(codes))))
    times = _wall_clocks(series.timestamps)
    pnl = f"Net P&L (NTD), {result.settings.fill_model} fills"
    if result.touch is not None:
        pnl += "; dashed: the total under touch fills"
    titles = [pnl, "Drawdown of the total (NTD)"] + [
        f"{code}: price, {len(series.buys[code])} buys \N{BLACK UP-POINTING TRIANGLE} and "
        f"{len(series.sells[code])} sells \N{BLACK DOWN-POINTING TRIANGLE}"
        for code in codes
    ]
    heights = [_PNL_HEIGHT, _DRAWDOWN_HEIGHT] + [_PRICE_HEIGHT] * len(codes)
    figure = make_subplots(
        rows=len(heights),
        cols=1,
        shared_xaxes=True,
        row_heights=heights,
        vertical_spacing=_GAP_HEIGHT / sum(heights),
        subplot_titles=titles,
    )
    for code in codes:
        figure.add_trace(
            go.Scatter(
                x=times,
                y=series.net_pnl[code],
                name=code,
                legendgroup=code,
                line={"color": colours[code], "width": 1.2},
                hovertemplate="%{x}<br>%{y:,.0f} NTD",
            ),
            row=1,
            col=1,
        )
    figure.add_trace(
        go.Scatter(
            x=times,
            y=series.total,
            name="total",
            line={"color": "black", "width": 2},
            hovertemplate="%{x}<br>%{y:,.0f} NTD",
        ),
        row=1,
        col=1,
    )
    if result.touch is not None:
        touch = chart_series(result.touch)
        figure.add_trace(
            go.Scatter(
                x=_wall_clocks(touch.timestamps),
                y=touch.total,
                name="total, touch fills",
                line={"color": "#7f7f7f", "width": 1.5, "dash": "dash"},
                hovertemplate="%{x}<br>%{y:,.0f} NTD under touch fills",
            ),
            row=1,
            col=1,
        )
    figure.add_trace(
        go.Scatter(
            x=times,
            y=series.drawdown,
            name="drawdown",
            fill="tozeroy",
            line={"color": "#d62728", "width": 0.8},
            fillcolor="rgba(214, 39, 40, 0.35)",
            showlegend=False,
            hovertemplate="%{x}<br>%{y:,.0f} NTD",
        ),
        row=2,
        col=1,
    )
    for row, code in enumerate(codes, 3):
        for trace in _price_traces(series, code, colours[code]):
            figure.add_trace(trace, row=row, col=1)
    figure.update_xaxes(
        rangebreaks=[
            {"bounds": [start.isoformat(), end.isoformat()]}
            for start, end in closed_stretches(result)
        ],
        showgrid=True,
        showticklabels=True,  # on every panel: a tall page scrolls its bottom axis away
    )
    figure.update_yaxes(tickformat=",~r", separatethousands=True)
    figure.update_layout(
        height=sum(heights) + _GAP_HEIGHT * (len(heights) - 1) + 80,
        margin={"l": 70, "r": 30, "t": 40, "b": 40},
        hovermode="closest",
        legend={"title": {"text": "codes"}, "tracegroupgap": 2},
        template="plotly_white",
    )
    return figure


def _price_traces(series: ChartSeries, code: str, colour: str) -> List[Any]:
    """`code`'s price line, and a marker for each buy and each sell at its price."""
    from plotly import graph_objects as go

    times, prices = series.prices[code]
    traces = [
        go.Scatter(
            x=_wall_clocks(times),
            y=prices,
            name=f"{code} price",
            legendgroup=code,
            showlegend=False,
            line={"color": colour, "width": 1.2},
            hovertemplate="%{x}<br>%{y}",
        )
    ]
    for fills, symbol, side_colour, side in (
        (series.buys[code], "triangle-up", _BUY_COLOUR, "buy"),
        (series.sells[code], "triangle-down", _SELL_COLOUR, "sell"),
    ):
        traces.append(
            go.Scatter(
                x=[wall_clock(fill.timestamp) for fill in fills],
                y=[fill.price for fill in fills],
                customdata=[[fill.quantity, fill.trade_id] for fill in fills],
                mode="markers",
                name=f"{code} {side}s",
                legendgroup=code,
                showlegend=False,
                marker={"symbol": symbol, "color": side_colour, "size": 9},
                hovertemplate=f"{side} %{{customdata[0]}} @ %{{y}}<br>%{{x}}<br>"
                "id %{customdata[1]}<extra></extra>",
            )
        )
    return traces


def _wall_clocks(timestamps: Sequence[float]) -> List[dt.datetime]:
    return [wall_clock(timestamp) for timestamp in timestamps]
