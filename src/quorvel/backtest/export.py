"""The files a run writes: its reports, fills, equity curve and figures, and the equity plot."""

from __future__ import annotations

import contextlib
import errno
import json
import os
import tempfile
import threading
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence

from quorvel.backtest.metrics import Evaluation, drawdowns, exchange_day
from quorvel.backtest.results import BacktestResult

OUTPUT_FILES = ("reports.parquet", "fills.csv", "equity.csv", "summary.json")

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


@contextlib.contextmanager
def written_together(paths: Sequence[str]) -> Iterator[List[str]]:
    """Temporary paths beside `paths` for the block to write; once it succeeds, each replaces
    its path, and if it fails they are removed, so that no file is ever left half written.

    The temporary files are in the target's directory, so each replacement is
    one atomic rename.
    """
    temporary = [_temporary_beside(path) for path in paths]
    try:
        yield temporary
        for temp_path, path in zip(temporary, paths):
            os.replace(temp_path, path)
    finally:
        for temp_path in temporary:
            with contextlib.suppress(FileNotFoundError):
                os.remove(temp_path)


def _temporary_beside(path: str) -> str:
    """A hidden name in the directory of `path` that no other process or thread writes."""
    directory, name = os.path.split(path)
    return os.path.join(directory, f".{name}.{os.getpid()}-{threading.get_ident()}.tmp")


def summary(
    result: BacktestResult,
    evaluation: Optional[Evaluation] = None,
    settings: Optional[Mapping[str, Any]] = None,
) -> Dict[str, Any]:
    """The figures of the tables, the run's settings, and `settings` (the command line's
    options, say) under "command_line"."""
    evaluation = evaluation or result.evaluate()
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
            "period": list(result.period),
            "backfill": list(result.backfill) if result.backfill else None,
            "strategy": result.strategy,
            "engine": result.engine,
            "window": result.window,
            "capital": result.capital,
            "costs": result.costs.as_dict(),
            "account": {"rules": result.account_enforced, **result.account_rules.as_dict()},
        },
        "command_line": settings or {},
        "per_code": per_code,
        "total": {**total_counts, **evaluation.total.as_dict()},
        "order_kinds": [
            {"price_type": price_type, "order_type": order_type, **counts}
            for (price_type, order_type), counts in result.order_kinds().items()
        ],
        "run": {
            "backfill_ticks": result.backfill_ticks,
            "live_ticks": result.live_ticks,
            "replay_seconds": result.replay_seconds,
            "ticks_per_second": result.ticks_per_second,
            "cache_files_before": result.cache_files_before,
            "cache_files_after": result.cache_files_after,
            "peak_margin_in_use": result.peak_margin,
            "refused_orders": result.refused_orders,
            "account_warnings": result.warnings,
        },
    }


def write_outputs(
    result: BacktestResult, directory: str, settings: Optional[Mapping[str, Any]] = None
) -> List[str]:
    """Write `OUTPUT_FILES` into `directory` (created if missing, "~" expanded); return their
    paths.

    The four files are replaced together once all are written: a failure (a
    full disk) leaves the files of before, never a part of the new ones.  A
    partial result says so in summary.json ("partial", "stopped").
    """
    directory = os.path.expanduser(directory)
    check_writable_directory(directory, OUTPUT_FILES)
    paths = [os.path.join(directory, name) for name in OUTPUT_FILES]
    evaluation = result.evaluate()
    with written_together(paths) as (reports_path, fills_path, equity_path, summary_path):
        result.reports_frame().write_parquet(reports_path)
        result.fills_frame(evaluation).write_csv(fills_path)
        result.equity_frame(evaluation).write_csv(equity_path)
        with open(summary_path, "w", encoding="utf-8") as summary_file:
            document = summary(result, evaluation, settings)
            json.dump(document, summary_file, indent=2, ensure_ascii=False)
            summary_file.write("\n")
    return paths


def plot_equity(result: BacktestResult, path: str) -> None:
    """Write the net P&L in NTD of each code and in total against exchange time, with the
    total's drawdown below it, as a PNG image.

    The x axis counts the timeline's points, so nights, weekends and holidays
    leave no gaps; the first point of every day is marked with its date.
    A partial result says so in the title.  The image replaces `path` only
    once it is whole.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    curve = result.evaluate().curve
    total = curve.total()
    points = range(len(total))
    figure, (equity_axes, drawdown_axes) = plt.subplots(
        2, 1, figsize=(10, 6), sharex=True, gridspec_kw={"height_ratios": [3, 1]}
    )
    for code, values in curve.net_pnl.items():
        equity_axes.plot(points, values, linewidth=1.0, label=code)
    equity_axes.plot(points, total, linewidth=1.6, color="black", label="total")
    equity_axes.axhline(0, color="grey", linewidth=0.6)
    equity_axes.set_ylabel("net P&L (NTD)")
    equity_axes.legend(loc="best", fontsize="small")
    codes = ", ".join(curve.net_pnl)
    partial = "" if result.stopped is None else f"\npartial: {result.stopped}"
    equity_axes.set_title(
        f"Net equity less the capital of {result.capital:,.0f} NTD: {codes}, "
        f"{result.period[0]} to {result.period[1]}{partial}"
    )
    falls = [-fall for fall in drawdowns(total)]
    drawdown_axes.fill_between(points, falls, 0, color="tab:red", alpha=0.4, linewidth=0)
    drawdown_axes.set_ylabel("drawdown (NTD)")

    day_starts = [
        index
        for index, timestamp in enumerate(curve.timestamps)
        if index == 0 or exchange_day(timestamp) != exchange_day(curve.timestamps[index - 1])
    ]
    for axes in (equity_axes, drawdown_axes):
        axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
        for start in day_starts[1:]:
            axes.axvline(start, color="grey", linewidth=0.5, linestyle=":")
    drawdown_axes.set_xticks(day_starts)
    drawdown_axes.set_xticklabels(
        [exchange_day(curve.timestamps[index]).isoformat() for index in day_starts],
        rotation=30,
        ha="right",
    )
    drawdown_axes.set_xlabel("exchange time (trading hours only)")
    figure.tight_layout()
    try:
        with written_together([os.path.expanduser(path)]) as [temp_path]:
            figure.savefig(temp_path, dpi=120, format="png")
    finally:
        plt.close(figure)
