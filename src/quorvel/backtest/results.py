"""What a run produced, and how it is shown: the result, its tables and the equity plot."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from quorvel.backtest.strategy import Operation
from quorvel.constant import OperationType


@dataclass
class BacktestResult:
    """What a run produced: every report, the position keeper, and the timing."""

    codes: List[Dict[str, str]]
    period: Tuple[str, str]
    backfill: Optional[Tuple[str, str]]
    window: int
    reports: List[Dict[str, Any]] = field(default_factory=list)
    operations: List[Operation] = field(default_factory=list)
    positions: Any = None
    statuses: List[str] = field(default_factory=list)
    live_ticks: int = 0
    backfill_ticks: int = 0
    replay_seconds: float = 0.0
    equity: List[Tuple[int, float]] = field(default_factory=list)
    cache_files_before: int = 0
    cache_files_after: int = 0
    engine: str = "paced"
    strategy: str = ""

    @property
    def ticks_per_second(self) -> float:
        total = self.live_ticks + self.backfill_ticks
        return total / self.replay_seconds if self.replay_seconds else 0.0

    def per_code(self) -> Dict[str, Dict[str, Any]]:
        """Orders, fills, cancellations, position and P&L of each code."""
        summary = self.positions.summary()
        rows: Dict[str, Dict[str, Any]] = {}
        for entry in self.codes:
            code = entry["code"]
            held = summary["positions"].get(code, {})
            rows[code] = {
                "market": entry["market"],
                "orders": 0,
                "fills": 0,
                "filled_qty": 0,
                "cancellations": 0,
                "position": held.get("quantity", 0),
                "avg_price": held.get("avg_price", 0.0),
                "last_price": self.positions.last_prices.get(code),
                "realized_pnl": held.get("realized_pnl", 0.0),
                "unrealized_pnl": held.get("unrealized_pnl", 0.0),
            }
        for report in self.reports:
            if "operation_type" in report:
                row = rows[report["order"]["code"]]
                if report["operation_type"] == OperationType.NEW:
                    row["orders"] += 1
                elif report["operation_type"] == OperationType.CANCEL:
                    row["cancellations"] += 1
            else:
                row = rows[report["code"]]
                row["fills"] += 1
                row["filled_qty"] += report["quantity"]
        return rows

    def order_kinds(self) -> Dict[Tuple[str, str], Dict[str, int]]:
        """Orders entered, filled (at least partly) and cancelled, by price type and order type."""
        kind_of: Dict[str, Tuple[str, str]] = {}
        kinds: Dict[Tuple[str, str], Dict[str, int]] = {}
        for report in self.reports:
            if "operation_type" in report:
                order = report["order"]
                kind = (str(order["price_type"]), str(order["order_type"]))
                counts = kinds.setdefault(kind, {"orders": 0, "filled": 0, "cancelled": 0})
                if report["operation_type"] == OperationType.NEW:
                    kind_of[order["id"]] = kind
                    counts["orders"] += 1
                elif report["operation_type"] == OperationType.CANCEL:
                    counts["cancelled"] += 1
        filled = {report["id"] for report in self.reports if "operation_type" not in report}
        for trade_id in filled:
            kinds[kind_of[trade_id]]["filled"] += 1
        return dict(sorted(kinds.items()))


def _money(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.2f}"


def render(result: BacktestResult, console: Any) -> None:
    """Print the tables of a finished run on a rich console."""
    from rich import box
    from rich.table import Table

    per_code = result.per_code()
    table = Table(
        title="Per code (P&L in price points x lots)",
        title_justify="left",
        box=box.SIMPLE_HEAD,
    )
    for column in (
        "code",
        "orders",
        "fills",
        "cancels",
        "pos",
        "avg",
        "last",
        "realised",
        "unrealised",
    ):
        table.add_column(column, justify="left" if column == "code" else "right")
    for code, row in per_code.items():
        table.add_row(
            code,
            str(row["orders"]),
            str(row["fills"]),
            str(row["cancellations"]),
            str(row["position"]),
            _money(row["avg_price"] if row["position"] else None),
            _money(row["last_price"]),
            _money(row["realized_pnl"]),
            _money(row["unrealized_pnl"]),
        )
    summary = result.positions.summary()
    totals = [
        str(sum(row[key] for row in per_code.values()))
        for key in ("orders", "fills", "cancellations")
    ]
    table.add_section()
    table.add_row(
        "total",
        *totals,
        "",
        "",
        "",
        _money(summary["total_realized_pnl"]),
        _money(summary["total_unrealized_pnl"]),
    )
    console.print(table)

    kinds = Table(title="Orders by kind", title_justify="left", box=box.SIMPLE_HEAD)
    for column in ("price type", "order type", "entered", "filled", "cancelled"):
        kinds.add_column(column, justify="left" if "type" in column else "right")
    for (price_type, order_type), counts in result.order_kinds().items():
        kinds.add_row(
            price_type,
            order_type,
            str(counts["orders"]),
            str(counts["filled"]),
            str(counts["cancelled"]),
        )
    console.print(kinds)

    run = Table(title="Run", title_justify="left", show_header=False, box=box.SIMPLE)
    run.add_column(justify="left")
    run.add_column(justify="right")
    run.add_row("period", " to ".join(result.period))
    run.add_row("backfill", " to ".join(result.backfill) if result.backfill else "none")
    run.add_row(
        "ticks replayed (backfill + live)",
        f"{result.backfill_ticks:,} + {result.live_ticks:,}",
    )
    run.add_row("replay time", f"{result.replay_seconds:.2f} s")
    run.add_row("ticks per second", f"{result.ticks_per_second:,.0f}")
    run.add_row("strategy", result.strategy)
    engine = f"paced, {result.window} permits ahead" if result.engine == "paced" else result.engine
    run.add_row("engine", engine)
    run.add_row(
        "tick cache files (before, after)",
        f"{result.cache_files_before}, {result.cache_files_after}",
    )
    run.add_row("total P&L", _money(summary["total_pnl"]))
    console.print(run)


def plot_equity(result: BacktestResult, path: str) -> None:
    """Write the equity curve (total P&L against live ticks) as an image."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 4))
    ticks, pnl = zip(*result.equity) if result.equity else ((), ())
    axes.plot(ticks, pnl, linewidth=1.2)
    axes.axhline(0, color="grey", linewidth=0.6)
    codes = ", ".join(entry["code"] for entry in result.codes)
    axes.set_title(f"Equity: {codes}, {result.period[0]} to {result.period[1]}")
    axes.set_xlabel("live ticks replayed")
    axes.set_ylabel("total P&L (price points x lots)")
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)
