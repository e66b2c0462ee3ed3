"""The PNG plot of a run: net P&L and drawdown, then each code's price with its buys and sells.

Its x axis is trading time: an hour traded takes the same room all along the
run, and nights, weekends and holidays none (`trading_axis`).  matplotlib is
imported only when a plot is drawn: it is an optional dependency (the 'plot'
extra).
"""

from __future__ import annotations

import math
import os
from typing import Any, Callable

from quorvel.backtest.output.charts import ChartSeries, chart_series, chart_title, code_colours
from quorvel.atomic_files import written_together
from quorvel.backtest.results.result import BacktestResult

# Inches: the width, the height of the P&L and drawdown panels, and of a row of price panels.
_WIDTH = 12.0
_CURVES_HEIGHT = 5.5
_PRICE_ROW_HEIGHT = 1.9
_BUY_COLOUR, _SELL_COLOUR = "#1a9850", "#d73027"


def plot_equity(result: BacktestResult, path: str) -> None:
    """Write `equity_figure` of a run as a PNG image; it replaces `path` only once it is
    whole."""
    figure = equity_figure(result)
    with written_together([os.path.expanduser(path)]) as [temp_path]:
        figure.savefig(temp_path, dpi=110, format="png")


def equity_figure(result: BacktestResult) -> Any:
    """The plot of a run as a matplotlib `Figure`: the net P&L in NTD of each code and in
    total, the total's drawdown below it, and a panel per code with its price and its buys
    and sells.  A partial result says so in the title.

    The figure is made without pyplot, so that it leaves pyplot's figures and
    backend as they were.
    """
    from matplotlib.figure import Figure

    from quorvel.backtest.output.trading_axis import trading_time_axis

    series = chart_series(result)
    codes = series.codes
    columns = 1 if len(codes) <= 3 else 2
    price_rows = math.ceil(len(codes) / columns)
    figure = Figure(
        figsize=(_WIDTH, _CURVES_HEIGHT + price_rows * _PRICE_ROW_HEIGHT), layout="constrained"
    )
    grid = figure.add_gridspec(
        2 + price_rows, columns, height_ratios=[3.0, 1.2] + [1.6] * price_rows
    )
    equity_axes = figure.add_subplot(grid[0, :])
    drawdown_axes = figure.add_subplot(grid[1, :], sharex=equity_axes)
    price_axes = [
        figure.add_subplot(grid[2 + index // columns, index % columns], sharex=equity_axes)
        for index in range(len(codes))
    ]
    colours = code_colours(len(codes))
    position = result.trading_time.position
    points = [position(timestamp) for timestamp in series.timestamps]
    for code, colour in zip(codes, colours):
        equity_axes.plot(points, series.net_pnl[code], linewidth=1.0, color=colour, label=code)
    equity_axes.plot(points, series.total, linewidth=1.8, color="black", label="total")
    equity_axes.axhline(0, color="grey", linewidth=0.6)
    equity_axes.set_ylabel("net P&L (NTD)")
    # Beside the data, never over it.
    equity_axes.legend(
        loc="upper left",
        bbox_to_anchor=(1.01, 1.0),
        borderaxespad=0,
        fontsize="small",
        ncols=1 if len(codes) < 20 else 2,
    )
    drawdown_axes.fill_between(points, series.drawdown, 0, color="tab:red", alpha=0.4, linewidth=0)
    drawdown_axes.set_ylabel("drawdown (NTD)")
    for axes, code, colour in zip(price_axes, codes, colours):
        _draw_prices(axes, series, code, colour, position)
    figure.suptitle(chart_title(result))
    bottom_row = {id(axes) for axes in price_axes[-columns:]} or {id(drawdown_axes)}
    for axes in [equity_axes, drawdown_axes, *price_axes]:
        trading_time_axis(axes, result.trading_time, labelled=id(axes) in bottom_row)
    figure.supxlabel("exchange time (trading hours only)", fontsize="medium")
    return figure


def _draw_prices(
    axes: Any, series: ChartSeries, code: str, colour: Any, position: Callable[[float], float]
) -> None:
    """`code`'s price path, its buys and its sells marked at their prices; `position` places
    a moment on the axis."""
    times, prices = series.prices[code]
    axes.plot([position(time) for time in times], prices, color=colour, linewidth=1.0)
    buys, sells = series.buys[code], series.sells[code]
    for fills, marker, side_colour in ((buys, "^", _BUY_COLOUR), (sells, "v", _SELL_COLOUR)):
        axes.scatter(
            [position(fill.timestamp) for fill in fills],
            [fill.price for fill in fills],
            marker=marker,
            s=22,
            color=side_colour,
            edgecolors="none",
            alpha=0.8,
            zorder=3,
        )
    axes.set_title(
        f"{code}: price, {len(buys)} buys \N{BLACK UP-POINTING TRIANGLE} and {len(sells)} sells "
        "\N{BLACK DOWN-POINTING TRIANGLE}",
        loc="left",
        fontsize="medium",
    )
    axes.tick_params(labelsize="small")
