"""The files a run writes: its reports, fills, equity curve and figures.

The same run writes the same files, byte for byte: the files hold no time of
writing or of replaying, and sums of NTD are rounded to the NTD and ratios to
`RATIO_DECIMALS` places, so that float noise does not show.
"""

from __future__ import annotations

import errno
import json
import os
import tempfile
from typing import Any, ContextManager, Dict, List, Mapping, Optional, Sequence

import polars as pl

from quorvel.atomic_files import directory_written, written_together
from quorvel.backtest.account.ledger import MONEY_FIGURES, RATIO_FIGURES
from quorvel.backtest.results.comparison import TOUCH, compare_fills
from quorvel.backtest.results.evaluation import Evaluation
from quorvel.backtest.results.result import BacktestResult

OUTPUT_FILES = ("reports.parquet", "fills.csv", "equity.csv", "summary.json")

# Ratios and average prices in the files: to this many decimal places.
RATIO_DECIMALS = 4
# The columns of fills.csv in NTD; in equity.csv, all but the time.
_FILL_MONEY = ("value", "fee", "tax", "realized_pnl")
_TIME_COLUMNS = ("exchange_ts", "time")

# What summary.json takes over from `BacktestResult.per_code`; P&L comes in NTD instead.
_PER_CODE_COUNTS = (
    "market",
    "orders",
    "fills",
    "filled_qty",
    "cancellations",
    "position",
    "avg_price",
    "last_price",
)


def check_writable_directory(path: str, files: Sequence[str] = ()) -> None:
    """Create `path` with its parents if missing; raise OSError unless a file can be made in it
    and none of `files` (names in it) is a directory."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise NotADirectoryError(errno.ENOTDIR, "it is a file, not a directory", path)
    os.makedirs(path, exist_ok=True)
    with tempfile.TemporaryFile(dir=path):  # the one sure test: permissions, read-only mounts
        pass
    for name in files:
        if os.path.isdir(os.path.join(path, name)):
            raise IsADirectoryError(errno.EISDIR, f"{name} there is a directory", name)


def summary(result: BacktestResult, evaluation: Optional[Evaluation] = None) -> Dict[str, Any]:
    """The figures of the tables and the run's settings: its codes, its strategy with the
    parameters it ran with, and its `RunSettings`.

    Figures are as the run computed them; `rounded_figures` gives them as the
    files hold them.
    """
    evaluation = evaluation or result.evaluate()
    comparison = compare_fills(result, evaluation)
    per_code = {
        code: {
            **{key: row[key] for key in _PER_CODE_COUNTS},
            **evaluation.per_code[code].as_dict(),
        }
        for code, row in result.per_code().items()
    }
    total_counts = {
        key: sum(row[key] for row in per_code.values())
        for key in ("orders", "fills", "filled_qty", "cancellations")
    }
    return {
        "partial": result.stopped is not None,
        "stopped": result.stopped,
        "settings": {
            "codes": result.codes,
            "strategy": result.strategy,
            "parameters": result.parameters,
            **result.settings.as_dict(),
        },
        "per_code": per_code,
        "total": {**total_counts, **evaluation.total.as_dict()},
        "order_kinds": [
            {"price_type": price_type, "order_type": order_type, **counts}
            for (price_type, order_type), counts in result.order_kinds().items()
        ],
        "run": {
            "backfill_ticks": result.backfill_ticks,
            "live_ticks": result.live_ticks,
            "trading_days": evaluation.trading_days,
            "peak_margin_in_use": result.peak_margin,
            "refused_orders": result.refused_orders,
            "codes_without_quotes": result.codes_without_quotes,
            "settled_at_last_trade": result.settled_at_last_trade,
            "unknown_securities": result.unknown_securities,
            "data_faults": result.data_faults,
            "account_warnings": result.warnings,
        },
        **({} if comparison is None else {"fill_comparison": comparison.as_dict()}),
    }


def rounded_figures(figures: Mapping[str, Any]) -> Dict[str, Any]:
    """`figures` (a mapping of figure names to values, as `summary` gives them) with sums of
    NTD rounded to the NTD, ratios and average prices to `RATIO_DECIMALS` places."""
    return {name: _rounded(name, value) for name, value in figures.items()}


def _rounded(name: str, value: Any) -> Any:
    if not isinstance(value, float):
        return value
    name = name.removeprefix(TOUCH)  # a figure's twin under touch fills is rounded as it is
    if name in MONEY_FIGURES or name == "peak_margin_in_use":
        return round(value)
    if name in RATIO_FIGURES or name == "avg_price":
        return round(value, RATIO_DECIMALS)
    return value


def _file_summary(document: Dict[str, Any]) -> Dict[str, Any]:
    """`summary`'s document with its figures as the file holds them."""
    rounded = {
        **document,
        "per_code": {code: rounded_figures(row) for code, row in document["per_code"].items()},
        "total": rounded_figures(document["total"]),
        "run": rounded_figures(document["run"]),
    }
    comparison = document.get("fill_comparison")
    if comparison is not None:
        rounded["fill_comparison"] = {
            **comparison,
            "per_code": {
                code: rounded_figures(row) for code, row in comparison["per_code"].items()
            },
            "total": rounded_figures(comparison["total"]),
        }
    return rounded


def fills_as_filed(fills: pl.DataFrame) -> pl.DataFrame:
    """`BacktestResult.fills_frame` as fills.csv holds it: its NTD rounded to whole NTD."""
    return _to_the_ntd(fills, _FILL_MONEY)


def equity_as_filed(equity: pl.DataFrame) -> pl.DataFrame:
    """`BacktestResult.equity_frame` as equity.csv holds it: all but the time in whole NTD."""
    return _to_the_ntd(equity, [name for name in equity.columns if name not in _TIME_COLUMNS])


def _to_the_ntd(frame: pl.DataFrame, columns: Sequence[str]) -> pl.DataFrame:
    """`frame` with `columns` (amounts of NTD) rounded to whole NTD."""
    return frame.with_columns(pl.col(column).round(0).cast(pl.Int64) for column in columns)


def output_directory(directory: str) -> ContextManager[str]:
    """A fresh directory for the block to write a run's files of `directory` into (with
    `write_output_files`, and the plot or the report page named there), swapped into place
    when the block ends: `directory` then holds this run's files, or the run's before, never a
    mix, and no file an earlier run wrote there that this one did not
    (`quorvel.atomic_files.directory_written`)."""
    return directory_written(directory, OUTPUT_FILES)


def write_outputs(result: BacktestResult, directory: str) -> List[str]:
    """Write `OUTPUT_FILES` into `directory` (created if missing, "~" expanded) through
    `output_directory`; return their paths.

    A failure (a full disk) leaves the files of before, never a part of the new ones.  A
    partial result says so in summary.json ("partial", "stopped").
    """
    directory = os.path.abspath(os.path.expanduser(directory))
    check_writable_directory(directory, OUTPUT_FILES)
    with output_directory(directory) as staged:
        write_output_files(result, staged)
    return [os.path.join(directory, name) for name in OUTPUT_FILES]


def write_output_files(result: BacktestResult, directory: str) -> None:
    """Write `OUTPUT_FILES` into `directory`, an existing one, replacing the four together once
    all are written."""
    paths = [os.path.join(directory, name) for name in OUTPUT_FILES]
    evaluation = result.evaluate()
    fills = fills_as_filed(result.fills_frame(evaluation))
    equity = equity_as_filed(result.equity_frame(evaluation))
    with written_together(paths) as (reports_path, fills_path, equity_path, summary_path):
        result.reports_frame().write_parquet(reports_path)
        fills.write_csv(fills_path)
        equity.write_csv(equity_path)
        with open(summary_path, "w", encoding="utf-8") as summary_file:
            document = _file_summary(summary(result, evaluation))
            json.dump(document, summary_file, indent=2, ensure_ascii=False)
            summary_file.write("\n")
