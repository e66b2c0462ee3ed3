"""The tables of a finished run: their text, and their print on a rich console."""

from __future__ import annotations

import math
from typing import Any, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from quorvel.backtest.account.ledger import DIVIDEND, SETTLEMENT, Figures, profit_factor_of
from quorvel.backtest.results.comparison import Compared, compare_fills
from quorvel.backtest.results.evaluation import Evaluation
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.settings.account import AccountRules
from quorvel.backtest.settings.costs import CostModel
from quorvel.market.contracts import Contract

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


class FigureTable(NamedTuple):
    """A table of a run's figures as text, for the console and for the report page alike.

    The first `names` columns are names and the rest figures; `total` is the
    closing row (empty for none), `columns` empty for a table without
    headings, and `note` a line to print under the table.  The first
    `warnings` rows are warnings.
    """

    title: str
    columns: Sequence[str]
    rows: Sequence[Sequence[str]]
    total: Sequence[str] = ()
    names: int = 1
    note: str = ""
    warnings: int = 0


def _money_row(name: str, figures: Figures, dividends: bool) -> Sequence[str]:
    return (
        name,
        ntd(figures.realized),
        ntd(figures.unrealized),
        *((ntd(figures.dividends),) if dividends else ()),
        ntd(figures.gross),
        ntd(figures.fees),
        ntd(figures.taxes),
        ntd(figures.net),
    )


def _money_table(result: BacktestResult, evaluation: Evaluation) -> FigureTable:
    """The P&L table; its dividends column where the run had dividends."""
    dividends = any(fill.kind == DIVIDEND for fill in evaluation.fills)
    if dividends:
        title = "P&L in NTD (gross = realised + unrealised + dividends; net = gross - fees - taxes)"
    else:
        title = "P&L in NTD (gross = realised + unrealised; net = gross - fees - taxes)"
    columns = ("code", "realised", "unrealised", *(("dividends",) if dividends else ()))
    return FigureTable(
        title,
        (*columns, "gross", "fees", "taxes", "net"),
        [_money_row(code, figures, dividends) for code, figures in evaluation.per_code.items()],
        _money_row("total", evaluation.total, dividends),
        note=fills_text(result),
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


def sharpe_note(evaluation: Evaluation) -> str:
    """Why the Sharpe ratios are "-" when the run is too short for them; empty otherwise."""
    if evaluation.trading_days >= evaluation.min_sharpe_days:
        return ""
    return (
        f'Sharpe "-": {evaluation.trading_days} trading days of returns, fewer than the '
        f"{evaluation.min_sharpe_days} a Sharpe ratio needs"
    )


def run_tables(
    result: BacktestResult, evaluation: Evaluation, machine: bool = True
) -> List[FigureTable]:
    """The tables of a run: per code, P&L, round trips and risk, orders by kind, and the run;
    with `machine` false, without the figures of the machine that ran it (the replay's time
    and speed, the tick cache's files), so that the same run gives the same tables."""
    per_code = result.per_code()
    return [
        FigureTable(
            "Per code (quantities in lots or contracts, prices in quote units)",
            ("code", "orders", "fills", "cancels", "pos", "avg", "last"),
            [
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
            ],
            (
                "total",
                *(
                    str(sum(row[key] for row in per_code.values()))
                    for key in ("orders", "fills", "cancellations")
                ),
            ),
        ),
        _money_table(result, evaluation),
        FigureTable(
            f"Round trips and risk (capital {ntd(result.settings.capital)} NTD)",
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
            [_trading_row(code, figures) for code, figures in evaluation.per_code.items()],
            _trading_row("total", evaluation.total),
            note=sharpe_note(evaluation),
        ),
        FigureTable(
            "Orders by kind",
            ("price type", "order type", "entered", "filled", "partly filled", "cancelled",
             "working"),
            [
                (price_type, order_type, *(str(count) for count in counts.values()))
                for (price_type, order_type), counts in result.order_kinds().items()
            ],
            names=2,
        ),
        *_comparison_tables(result, evaluation),
        _run_table(result, evaluation, machine),
    ]


def fills_text(result: BacktestResult) -> str:
    """How the run filled its orders: the fill model, the latency, and the codes whose ticks
    carried no quote."""
    text = f"fills: {_fill_setting(result)}"
    if result.codes_without_quotes:
        steps = result.settings.slippage_ticks
        text += (
            f"; no quotes in the ticks of {', '.join(result.codes_without_quotes)}: "
            f"market orders filled {steps} price step{'' if steps == 1 else 's'} beyond the "
            "next trade"
        )
    return text


def _fill_setting(result: BacktestResult) -> str:
    if result.session_mode is not None:
        return "the broker's"
    settings = result.settings
    return f"{settings.fill_model}, latency {settings.latency_ms:g} ms"


def _comparison_tables(result: BacktestResult, evaluation: Evaluation) -> List[FigureTable]:
    """With the run under touch fills beside it: fills and net P&L of both, per code and per
    order kind."""
    comparison = compare_fills(result, evaluation)
    if comparison is None:
        return []
    model = comparison.fill_model

    def row(name: str, fills: Compared, net: Compared) -> Sequence[str]:
        return (
            name,
            f"{fills.model:,.0f}",
            f"{fills.touch:,.0f}",
            ntd(net.model),
            ntd(net.touch),
            ntd(net.optimism),
        )

    return [
        FigureTable(
            f"Fill optimism: {model} fills against touch fills (net P&L in NTD)",
            ("code", "fills", "touch fills", "net", "touch net", "touch - net"),
            [
                row(code, comparison.fills[code], comparison.net_pnl[code])
                for code in comparison.fills
            ],
            row("total", comparison.total_fills, comparison.total_net_pnl),
        ),
        FigureTable(
            f"Orders filled by kind: {model} fills against touch fills",
            ("price type", "order type", "filled", "touch filled"),
            [
                (price_type, order_type, f"{filled.model:,.0f}", f"{filled.touch:,.0f}")
                for (price_type, order_type), filled in comparison.orders_filled.items()
            ],
            names=2,
        ),
    ]


def _run_table(result: BacktestResult, evaluation: Evaluation, machine: bool) -> FigureTable:
    settings = result.settings
    costs = settings.costs
    permits = "1 permit" if settings.window == 1 else f"{settings.window} permits"
    engine = f"paced, {permits} ahead" if settings.engine == "paced" else settings.engine
    if result.session_mode is not None:
        engine = f"live session ({result.session_mode})"
    stopped = [("partial: stopped early", result.stopped)] if result.stopped is not None else []
    speed = [
        ("replay time", f"{result.replay_seconds:.2f} s"),
        ("ticks per second", f"{result.ticks_per_second:,.0f}"),
    ]
    cache = [
        (
            "tick cache files (before, after)",
            f"{result.cache_files_before}, {result.cache_files_after}",
        )
    ]
    rows = [
        *stopped,
        ("period", " to ".join(result.period)),
        ("backfill", " to ".join(result.backfill) if result.backfill else "none"),
        (
            "ticks replayed (backfill + live)",
            f"{result.backfill_ticks:,} + {result.live_ticks:,}",
        ),
        *(speed if machine else []),
        ("strategy", result.strategy),
        ("parameters", _parameters_text(result.parameters)),
        ("engine", engine),
        ("fills", _fill_setting(result)),
        *(cache if machine else []),
        (
            "stock costs",
            f"{costs.stock_commission_pct:g} % x {costs.stock_commission_discount:g}, "
            f"min {ntd(costs.stock_min_commission)} NTD; sell tax {costs.stock_sell_tax_pct:g} % "
            f"(day trade {costs.stock_day_trade_tax_pct:g} %)",
        ),
        ("futures costs", _futures_costs_text(costs, result.contracts)),
        ("capital (NTD)", ntd(settings.capital)),
        ("account", _account_text(settings.account, settings.account_rules)),
        *_settlement_rows(result, evaluation),
        *(
            [("taken as stocks (class unknown)", ", ".join(result.unknown_securities))]
            if result.unknown_securities
            else []
        ),
        ("peak margin in use (NTD)", ntd(result.peak_margin)),
        ("orders the account refused", f"{result.refused_orders:,}"),
        ("net P&L (NTD)", ntd(evaluation.total.net)),
    ]
    return FigureTable("Run", (), rows, warnings=len(stopped))


def _futures_costs_text(costs: CostModel, contracts: Mapping[str, Contract]) -> str:
    """The fee of each futures product the run trades, and the tax."""
    products = sorted({code[:3] for code, contract in contracts.items() if not contract.is_stock})
    fees = ", ".join(f"{product} {costs.fee_of(product):g}" for product in products)
    return f"{fees or 'none traded'} NTD per contract; tax {costs.futures_tax_pct:g} %"


def _settlement_rows(result: BacktestResult, evaluation: Evaluation) -> List[Tuple[str, str]]:
    """The futures positions settled at their month's end, and those settled at the last
    trade price for want of a final settlement price; no row when none were."""
    settled = sum(fill.kind == SETTLEMENT for fill in evaluation.fills)
    if not settled:
        return []
    text = f"{settled:,}"
    if result.settled_at_last_trade:
        text += f"; at the last trade: {', '.join(result.settled_at_last_trade)}"
    return [("futures settled", text)]


def _parameters_text(parameters: Mapping[str, Any]) -> str:
    return " ".join(f"{name}={value}" for name, value in parameters.items()) or "none"


def render(result: BacktestResult, console: Any = None) -> None:
    """Print the tables of a run on a rich console (by default one on standard output), each
    within the console's width (`fitted`); a partial run's Run table says why it stopped
    early."""
    from rich.console import Console

    console = console or Console()
    for table in run_tables(result, result.evaluate()):
        for part in fitted(table, console.width):
            console.print(part)
        if table.note:
            console.print(f"  {table.note}", style="dim", highlight=False)
    for warning in result.warnings[:_WARNINGS_SHOWN]:
        console.print(f"[yellow]{warning}[/yellow]", highlight=False)
    if len(result.warnings) > _WARNINGS_SHOWN:
        console.print(
            f"[yellow]... and {len(result.warnings) - _WARNINGS_SHOWN} more account warnings "
            "(summary.json lists them all)[/yellow]"
        )


def fitted(table: FigureTable, width: int) -> List[Any]:
    """`table` as rich tables no wider than `width` where it can be, never cutting a figure.

    A table that fits as it is prints as it is.  Otherwise its headings wrap at their spaces
    (each column needs its widest cell and its heading's longest word), the room left over
    unwrapping headings from the left; where even that is too wide, its figure columns are
    shared among several tables, each repeating the name columns, the first with the table's
    title and the others "continued".  rich's own shrinking would cut figures and headings
    short ("drawdo…") even where a fitting layout exists.  A names-and-values table (the Run
    table) wraps its values instead.
    """
    from rich.cells import cell_len

    if not table.columns:
        return [_rich_table(table, None, width)]
    total = (*table.total, *[""] * (len(table.columns) - len(table.total))) if table.total else ()
    table = table._replace(total=total)
    rows = [*table.rows, *([total] if total else [])]
    widest = [
        max((cell_len(row[index]) for row in rows), default=0)
        for index in range(len(table.columns))
    ]
    natural = [max(cell_len(heading), cell) for heading, cell in zip(table.columns, widest)]
    if _width_of(natural) <= width:
        return [_rich_table(table, None, width)]
    least = [
        max(max(cell_len(word) for word in heading.split()), cell)
        for heading, cell in zip(table.columns, widest)
    ]
    names = list(range(table.names))
    parts: List[List[int]] = [[]]
    for index in range(table.names, len(table.columns)):
        if parts[-1] and _width_of([least[i] for i in names + parts[-1] + [index]]) > width:
            parts.append([])
        parts[-1].append(index)
    shown = []
    for number, part in enumerate(parts):
        columns = names + part
        piece = table._replace(
            title=table.title if number == 0 else f"{table.title.split(' (')[0]} (continued)",
            columns=[table.columns[i] for i in columns],
            rows=[[row[i] for i in columns] for row in table.rows],
            total=[total[i] for i in columns] if total else (),
        )
        widths = _widened([least[i] for i in columns], [natural[i] for i in columns], width)
        shown.append(_rich_table(piece, widths, width))
    return shown


def _width_of(columns: Sequence[int]) -> int:
    """The width of a table whose columns are this wide: a space of padding either side of
    each, and the box's edges and separators between them."""
    return sum(columns) + 3 * len(columns) + 1


def _widened(least: Sequence[int], natural: Sequence[int], width: int) -> List[int]:
    """The columns at their least widths, and from the left each that the room left over
    within `width` lets have its natural width (its heading on one line) given it."""
    spare = width - _width_of(least)
    widths = []
    for low, high in zip(least, natural):
        grown = high if high - low <= spare else low
        spare -= grown - low
        widths.append(grown)
    return widths


def _rich_table(table: FigureTable, widths: Optional[Sequence[int]], width: int) -> Any:
    """`table` as a rich table: its columns as wide as their cells, or as `widths` says."""
    from rich import box
    from rich.table import Table
    from rich.text import Text

    if not table.columns:  # names and values
        shown = Table(title=table.title, title_justify="left", show_header=False, box=box.SIMPLE)
        shown.add_column(justify="left", overflow="fold")
        shown.add_column(justify="right", overflow="fold")
    else:
        shown = Table(
            title=table.title,
            title_justify="left",
            box=box.SIMPLE_HEAD,
            min_width=min(len(table.title), width),
        )
        for index, column in enumerate(table.columns):
            shown.add_column(
                column,
                justify="left" if index < table.names else "right",
                width=None if widths is None else widths[index],
                overflow="fold",
            )
    for index, row in enumerate(table.rows):
        shown.add_row(*((Text(cell, "yellow") for cell in row) if index < table.warnings else row))
    if table.total:
        shown.add_section()
        shown.add_row(*table.total)
    return shown


def _account_text(rules: AccountRules, enforced: bool) -> str:
    if not enforced:
        return "no rules (unlimited)"
    if rules.is_margin_account:
        text = f"margin (buys {rules.margin_buy_pct:g} %, shorts {rules.short_margin_pct:g} %)"
    else:
        text = "cash, day trades allowed" if rules.day_trade else "cash"
    calls: str = rules.margin_call
    if calls == "broker":
        calls += f" (due {rules.margin_call_due:%H:%M}, risk {rules.risk_indicator_pct:g} %)"
    return f"{text}; margin calls {calls}"
