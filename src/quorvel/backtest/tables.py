"""The tables of a finished run, printed on a rich console."""

from __future__ import annotations

import math
from typing import Any, Iterable, Optional, Sequence

from quorvel.backtest.account import AccountRules
from quorvel.backtest.metrics import Figures, profit_factor_of
from quorvel.backtest.results import BacktestResult

# Warnings printed after the tables; summary.json holds them all.
_WARNINGS_SHOWN = 10


def ntd(value: float) -> str:
    """Whole NTD with thousands separators."""
    return f"{value:,.0f}"


def _price(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:,.2f}"


def _share(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.1%}"


def ratio(value: Optional[float]) -> str:
    """Two decimals; "-" for a figure that does not exist, "∞" for an infinite one."""
    if value is None:
        return "-"
    return "∞" if value == math.inf else f"{value:.2f}"


def _table(
    title: str,
    columns: Sequence[str],
    rows: Iterable[Sequence[str]],
    total: Sequence[str],
    names: int = 1,
) -> Any:
    """A table whose first `names` columns are names and the rest figures."""
    from rich import box
    from rich.table import Table

    table = Table(title=title, title_justify="left", box=box.SIMPLE_HEAD, min_width=len(title))
    for index, column in enumerate(columns):
        table.add_column(column, justify="left" if index < names else "right")
    for row in rows:
        table.add_row(*row)
    if total:
        table.add_section()
        table.add_row(*total)
    return table


def _money_row(name: str, figures: Figures) -> Sequence[str]:
    return (
        name,
        ntd(figures.realized),
        ntd(figures.unrealized),
        ntd(figures.gross),
        ntd(figures.fees),
        ntd(figures.taxes),
        ntd(figures.net),
    )


def _trading_row(name: str, figures: Figures) -> Sequence[str]:
    return (
        name,
        str(figures.round_trips),
        _share(figures.win_rate),
        ratio(profit_factor_of(figures.as_dict())),
        ntd(figures.max_drawdown),
        _share(figures.max_drawdown_share),
        ratio(figures.sharpe),
        ratio(figures.turnover),
    )


def render(result: BacktestResult, console: Any) -> None:
    """Print the tables of a run on a rich console; a partial run's Run table says why it
    stopped early."""
    from rich import box
    from rich.table import Table
    from rich.text import Text

    evaluation = result.evaluate()
    per_code = result.per_code()
    console.print(
        _table(
            "Per code (quantities in lots or contracts, prices in quote units)",
            ("code", "orders", "fills", "cancels", "pos", "avg", "last"),
            (
                (
                    code,
                    str(row["orders"]),
                    str(row["fills"]),
                    str(row["cancellations"]),
                    str(row["position"]),
                    _price(row["avg_price"] if row["position"] else None),
                    _price(row["last_price"]),
                )
                for code, row in per_code.items()
            ),
            (
                "total",
                *(
                    str(sum(row[key] for row in per_code.values()))
                    for key in ("orders", "fills", "cancellations")
                ),
            ),
        )
    )
    console.print(
        _table(
            "P&L in NTD (gross = realised + unrealised; net = gross - fees - taxes)",
            ("code", "realised", "unrealised", "gross", "fees", "taxes", "net"),
            (_money_row(code, figures) for code, figures in evaluation.per_code.items()),
            _money_row("total", evaluation.total),
        )
    )
    console.print(
        _table(
            f"Round trips and risk (capital {ntd(result.capital)} NTD)",
            (
                "code",
                "round trips",
                "win rate",
                "profit factor",
                "max drawdown",
                "of capital",
                "Sharpe",
                "turnover",
            ),
            (_trading_row(code, figures) for code, figures in evaluation.per_code.items()),
            _trading_row("total", evaluation.total),
        )
    )
    console.print(
        _table(
            "Orders by kind",
            ("price type", "order type", "entered", "filled", "cancelled"),
            (
                (
                    price_type,
                    order_type,
                    str(counts["orders"]),
                    str(counts["filled"]),
                    str(counts["cancelled"]),
                )
                for (price_type, order_type), counts in result.order_kinds().items()
            ),
            (),
            names=2,
        )
    )

    costs = result.costs
    run = Table(title="Run", title_justify="left", show_header=False, box=box.SIMPLE)
    run.add_column(justify="left")
    run.add_column(justify="right")
    if result.stopped is not None:
        run.add_row(Text("partial: stopped early", "yellow"), Text(result.stopped, "yellow"))
    run.add_row("period", " to ".join(result.period))
    run.add_row("backfill", " to ".join(result.backfill) if result.backfill else "none")
    run.add_row(
        "ticks replayed (backfill + live)",
        f"{result.backfill_ticks:,} + {result.live_ticks:,}",
    )
    run.add_row("replay time", f"{result.replay_seconds:.2f} s")
    run.add_row("ticks per second", f"{result.ticks_per_second:,.0f}")
    run.add_row("strategy", result.strategy)
    permits = "1 permit" if result.window == 1 else f"{result.window} permits"
    run.add_row("engine", f"paced, {permits} ahead" if result.engine == "paced" else result.engine)
    run.add_row(
        "tick cache files (before, after)",
        f"{result.cache_files_before}, {result.cache_files_after}",
    )
    run.add_row(
        "stock costs",
        f"{costs.stock_commission_pct:g} % x {costs.stock_commission_discount:g}, "
        f"min {ntd(costs.stock_min_commission)} NTD; sell tax {costs.stock_sell_tax_pct:g} % "
        f"(day trade {costs.stock_day_trade_tax_pct:g} %)",
    )
    run.add_row(
        "futures costs",
        f"{ntd(costs.futures_fee)} NTD per contract; tax {costs.futures_tax_pct:g} %",
    )
    run.add_row("capital (NTD)", ntd(result.capital))
    run.add_row("account", _account_text(result.account_rules, result.account_enforced))
    run.add_row("peak margin in use (NTD)", ntd(result.peak_margin))
    run.add_row("orders the account refused", str(result.refused_orders))
    run.add_row("net P&L (NTD)", ntd(evaluation.total.net))
    console.print(run)
    for warning in result.warnings[:_WARNINGS_SHOWN]:
        console.print(f"[yellow]{warning}[/yellow]", highlight=False)
    if len(result.warnings) > _WARNINGS_SHOWN:
        console.print(
            f"[yellow]... and {len(result.warnings) - _WARNINGS_SHOWN} more account warnings "
            "(summary.json lists them all)[/yellow]"
        )


def _account_text(rules: AccountRules, enforced: bool) -> str:
    if not enforced:
        return "no rules (unlimited)"
    if rules.is_margin_account:
        text = f"margin (buys {rules.margin_buy_pct:g} %, shorts {rules.short_margin_pct:g} %)"
    else:
        text = "cash, day trades allowed" if rules.day_trade else "cash"
    return f"{text}; margin calls {rules.margin_call}"
