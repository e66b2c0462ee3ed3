"""What a run shows and writes: its tables, its files, its plot and its report page."""

from quorvel.backtest.output.files import summary, write_outputs
from quorvel.backtest.output.plot import equity_figure, plot_equity
from quorvel.backtest.output.report import write_report
from quorvel.backtest.output.tables import render

__all__ = ["equity_figure", "plot_equity", "render", "summary", "write_outputs", "write_report"]
