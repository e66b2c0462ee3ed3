"""A recorded live day replayed through the backtest, and its orders and fills side by side.

`reconcile(directory)` reads a session record (`quorvel.live.record`), runs its day through
`run_backtest` over the recorded ticks (`CacheOnlyBroker` on the record's ``ticks``) with the
same strategy, parameters and settings (its fill model among them), and pairs the live orders
with the simulated ones.  Trade ids differ between the two, so orders are paired by their
order of entry per code: the first order of 2330 live with the first of 2330 simulated, and
so on.  The frame tells, for each pair, whether each side was filled and at what price and
time, and the summary sums up the fill model's error: how many live fills the backtest missed
and how many it made that the market did not, and by how much its prices and times were off.

A price difference is counted against the strategy: positive when the live fill was worse than
the simulated one (a buy paid more, a sale got less), in price steps of the code and in NTD
over the quantity both sides filled.  A time difference is the live first fill's exchange time
less the simulated one's, in seconds.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import io
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import polars as pl

from quorvel import market
from quorvel.backtest import BacktestResult, RunSettings, run_backtest
from quorvel.backtest.output.tables import FigureTable, fitted
from quorvel.backtest.settings.account import FUTURES_MARGIN_TABLES, AccountRules, FuturesMargin
from quorvel.backtest.settings.costs import CostModel
from quorvel.backtest.strategy.loading import StrategyArg, load_strategy, strategy_instance
from quorvel.data import CacheOnlyBroker
from quorvel.data.offline import missing_days
from quorvel.market.contracts import contract_for
from quorvel.live.record import RecordedSession, RecordError, read_record

__all__ = [
    "FILL_STATES",
    "Reconciliation",
    "reconcile",
    "reconciliation_tables",
    "reconciliation_text",
    "render_reconcile",
    "settings_of",
]

# What became of a pair of orders: both filled; live filled and not simulated (a fill the
# backtest missed); simulated and not live (one it made that the market did not); neither; or
# an order entered on one side only (the strategy did otherwise once their fills differed).
FILL_STATES = ("filled", "missed", "extra", "unfilled", "live only", "simulated only")
FILLED, MISSED, EXTRA, UNFILLED, LIVE_ONLY, SIMULATED_ONLY = FILL_STATES

_SCALARS = (bool, int, float, str, type(None))
# The widest the tables are printed, whatever the console's width.
TABLE_WIDTH = 80


@dataclass(frozen=True)
class Reconciliation:
    """The live day and its replay: `orders` (one row a pair, see `reconcile`), `summary`
    (the fill model's error), the replay's `result` and the `recorded` session."""

    orders: pl.DataFrame
    summary: Dict[str, Any]
    result: BacktestResult
    recorded: RecordedSession


def reconcile(
    directory: str,
    *,
    strategy: Optional[StrategyArg] = None,
    settings: Optional[RunSettings] = None,
) -> Reconciliation:
    """Replay the day recorded under `directory` through the backtest and pair its orders.

    `strategy` defaults to the record's (its class, with its recorded parameters), `settings`
    to the recorded ones (`settings_of`).  A record that cannot be replayed raises
    `RecordError` with one line.

    The frame `orders` has a row for each pair: "code", "entry" (1 for the code's first
    order), "action", "quantity" and "price" (None for a market order) as the live order was
    entered (the simulated one's where there is no live one), "state" (`FILL_STATES`),
    "live_id"/"simulated_id", "live_filled"/"simulated_filled" (the quantity),
    "live_price"/"simulated_price" (the quantity-weighted mean fill price),
    "live_time"/"simulated_time" (the first fill's exchange time, Taipei wall clock),
    "price_steps" and "price_ntd" (the price difference, counted against the strategy) and
    "seconds" (the time difference).
    """
    recorded = read_record(directory)
    if strategy is None:
        try:
            strategy = load_strategy(recorded.header.strategy)(**recorded.header.parameters)
        except (ValueError, TypeError) as error:
            raise RecordError(f"{recorded.directory}: cannot load its strategy: {error}") from None
    chosen = strategy_instance(strategy)
    codes, settings = _replayed_codes(recorded, settings or settings_of(recorded))
    result = run_backtest(
        CacheOnlyBroker(), codes, settings, strategy=chosen, data_dir=recorded.data_dir
    )
    live = _orders([line["report"] for line in recorded.reports])
    simulated = _orders(result.reports)
    orders = _paired(live, simulated)
    return Reconciliation(orders, _summary(orders), result, recorded)


def _replayed_codes(
    recorded: RecordedSession, settings: RunSettings
) -> Tuple[List[str], RunSettings]:
    """The codes with ticks on the recorded day, and the settings replaying that day after
    the recorded days before it (the warm-up), if every code has them."""
    day = recorded.header.day
    if not recorded.closed:
        raise RecordError(
            f"{recorded.directory}: the session never closed its record and the directory "
            "cannot be written, so its day files are missing"
        )
    span = [(day, day)]
    codes = [
        code for code in recorded.header.codes
        if not missing_days([code], span, recorded.data_dir)
    ]
    if not codes:
        raise RecordError(f"{recorded.directory}: the record holds no ticks of {day}")
    earlier = [other for other in recorded.days() if other < day]
    backfill = (earlier[0], earlier[-1]) if earlier else None
    if backfill and missing_days(codes, [backfill], recorded.data_dir):
        backfill = None
    return codes, settings.replace(period=(day, day), backfill=backfill)


def settings_of(recorded: RecordedSession) -> RunSettings:
    """The `RunSettings` a record's header states (`RunSettings.as_dict`): each plain value as
    it was, the costs, the account's rules and the market rules rebuilt; the period is the
    record's day (`reconcile` sets it and the warm-up)."""
    stated = dict(recorded.header.settings)
    account = dict(stated.get("account") or {})
    rules = stated.get("market_rules", True)
    if rules not in (True, False):
        raise RecordError(
            f"{recorded.directory}: its market rules ({rules}) cannot be rebuilt from the "
            "record: give the settings"
        )
    try:
        return RunSettings(
            **_plain_fields(RunSettings, stated, leave=("period", "backfill", "market_rules")),
            period=(recorded.header.day, recorded.header.day),
            backfill=None,
            costs=_costs(stated.get("costs") or {}),
            account=_account_rules(account),
            account_rules=bool(account.get("rules", True)),
            market_rules=market.TAIWAN if rules else None,
        )
    except (TypeError, ValueError) as error:
        raise RecordError(f"{recorded.directory}: its settings: {error}") from None


def _plain_fields(
    kind: Any, stated: Mapping[str, Any], leave: Sequence[str] = ()
) -> Dict[str, Any]:
    """The fields of dataclass `kind` that a record holds as they are: those whose default
    and recorded value are both plain (a number, a text, True or False, None)."""
    return {
        item.name: stated[item.name]
        for item in dataclasses.fields(kind)
        if item.name in stated and item.name not in leave
        and isinstance(stated[item.name], _SCALARS) and isinstance(item.default, _SCALARS)
    }


def _costs(stated: Mapping[str, Any]) -> CostModel:
    """The cost model of its recorded figures (date ranges come back as lists)."""
    names = {item.name for item in dataclasses.fields(CostModel)}
    figures: Dict[str, Any] = {
        name: tuple(value) if isinstance(value, list) else value
        for name, value in stated.items() if name in names
    }
    return CostModel(**figures)


def _account_rules(stated: Mapping[str, Any]) -> AccountRules:
    """The account's rules of their recorded figures; the margin tables are this version's
    own where the record names the same ones."""
    tables = tuple(table.effective for table in FUTURES_MARGIN_TABLES)
    if stated.get("margin_tables", list(tables)) != list(tables):
        raise ValueError("its futures margin tables are not this version's")
    rebuilt: Dict[str, Any] = _plain_fields(AccountRules, stated, leave=("margin_call_due",))
    if "futures_margins" in stated:
        rebuilt["futures_margins"] = {
            product: FuturesMargin(**margin)
            for product, margin in stated["futures_margins"].items()
        }
    if "stock_futures_margin_pct" in stated:
        rebuilt["stock_futures_margin_pct"] = FuturesMargin(**stated["stock_futures_margin_pct"])
    if "margin_call_due" in stated:
        rebuilt["margin_call_due"] = dt.time.fromisoformat(stated["margin_call_due"])
    return AccountRules(**rebuilt)


@dataclass
class _Order:
    """One side's order: as entered, and its fills."""

    trade_id: str
    code: str
    action: str
    quantity: int
    price: Optional[float]
    order_lot: Optional[str]
    filled: int = 0
    paid: float = 0.0  # price times quantity over its fills
    first_fill: Optional[float] = None

    @property
    def fill_price(self) -> Optional[float]:
        return self.paid / self.filled if self.filled else None


def _orders(reports: Sequence[Mapping[str, Any]]) -> Dict[str, List[_Order]]:
    """Each code's orders in their order of entry, with their fills.  An order counts as
    entered at its first order report: its New (or the cancel of a new order the broker
    refused, or, for one found working on a restart, whatever came first)."""
    by_id: Dict[str, _Order] = {}
    by_code: Dict[str, List[_Order]] = {}
    for report in reports:
        if "operation_type" in report:
            order = report["order"]
            if order["id"] not in by_id:
                entered = _Order(
                    order["id"], order["code"], str(order["action"]), int(order["quantity"]),
                    None if str(order["price_type"]) == "MKT" else float(order["price"]),
                    order.get("order_lot"),
                )
                by_id[entered.trade_id] = entered
                by_code.setdefault(entered.code, []).append(entered)
            continue
        filled = by_id.get(report["id"])
        if filled is None:  # a fill of an order entered before the record began
            continue
        filled.filled += int(report["quantity"])
        filled.paid += float(report["price"]) * int(report["quantity"])
        if filled.first_fill is None:
            filled.first_fill = float(report["exchange_ts"])
    return by_code


def _paired(live: Dict[str, List[_Order]], simulated: Dict[str, List[_Order]]) -> pl.DataFrame:
    rows = []
    for code in sorted(set(live) | set(simulated)):
        ours, theirs = live.get(code, []), simulated.get(code, [])
        for entry in range(max(len(ours), len(theirs))):
            rows.append(_row(code, entry + 1, _at(ours, entry), _at(theirs, entry)))
    return pl.DataFrame(rows, schema=_SCHEMA, orient="row")


def _at(orders: List[_Order], index: int) -> Optional[_Order]:
    return orders[index] if index < len(orders) else None


_SCHEMA: Dict[str, Any] = {
    "code": pl.String, "entry": pl.Int64, "action": pl.String, "quantity": pl.Int64,
    "price": pl.Float64, "state": pl.String, "live_id": pl.String, "simulated_id": pl.String,
    "live_filled": pl.Int64, "simulated_filled": pl.Int64, "live_price": pl.Float64,
    "simulated_price": pl.Float64, "live_time": pl.Datetime("us"),
    "simulated_time": pl.Datetime("us"), "price_steps": pl.Float64, "price_ntd": pl.Float64,
    "seconds": pl.Float64,
}


def _row(code: str, entry: int, live: Optional[_Order], simulated: Optional[_Order]) -> tuple:
    shown = live or simulated
    assert shown is not None
    steps = ntd = seconds = None
    if live and simulated and live.fill_price is not None and simulated.fill_price is not None:
        worse = (live.fill_price - simulated.fill_price) * (1 if shown.action == "Buy" else -1)
        steps = worse / market.TAIWAN.tick_size(code, simulated.fill_price)
        value = contract_for(code, "Stock" if code[:1].isdigit() else "Future").value_per_point(
            shown.order_lot)
        ntd = worse * min(live.filled, simulated.filled) * value
        seconds = (live.first_fill or 0.0) - (simulated.first_fill or 0.0)
    return (
        code, entry, shown.action, shown.quantity, shown.price, _state(live, simulated),
        live and live.trade_id, simulated and simulated.trade_id,
        live and live.filled, simulated and simulated.filled,
        live and live.fill_price, simulated and simulated.fill_price,
        _wall_clock(live), _wall_clock(simulated), steps, ntd, seconds,
    )


def _state(live: Optional[_Order], simulated: Optional[_Order]) -> str:
    if simulated is None:
        return LIVE_ONLY
    if live is None:
        return SIMULATED_ONLY
    return {(True, True): FILLED, (True, False): MISSED, (False, True): EXTRA,
            (False, False): UNFILLED}[(live.filled > 0, simulated.filled > 0)]


def _wall_clock(order: Optional[_Order]) -> Optional[dt.datetime]:
    if order is None or order.first_fill is None:
        return None
    return dt.datetime(1970, 1, 1) + dt.timedelta(seconds=order.first_fill)


def _summary(orders: pl.DataFrame) -> Dict[str, Any]:
    """The fill model's error over the pairs: fills it missed and made up (orders and
    quantity), and its mean and total price difference (steps and NTD) and mean time
    difference over the orders both sides filled."""
    both = orders.filter(pl.col("live_id").is_not_null() & pl.col("simulated_id").is_not_null())
    filled = both.filter(pl.col("state") == FILLED)
    short = (both["live_filled"] - both["simulated_filled"]).clip(lower_bound=0)
    over = (both["simulated_filled"] - both["live_filled"]).clip(lower_bound=0)
    return {
        "orders": orders.height,
        "paired": both.height,
        "filled": filled.height,
        "missed": int((both["state"] == MISSED).sum()),
        "extra": int((both["state"] == EXTRA).sum()),
        "missed_quantity": int(short.sum()),
        "extra_quantity": int(over.sum()),
        "live_only": int((orders["state"] == LIVE_ONLY).sum()),
        "simulated_only": int((orders["state"] == SIMULATED_ONLY).sum()),
        "mean_price_steps": filled["price_steps"].mean(),
        "total_price_steps": float(filled["price_steps"].sum()),
        "mean_price_ntd": filled["price_ntd"].mean(),
        "total_price_ntd": float(filled["price_ntd"].sum()),
        "mean_seconds": filled["seconds"].mean(),
    }


def reconciliation_tables(reconciliation: Reconciliation) -> List[FigureTable]:
    """The pairs and the summary as the console's tables."""
    rows = [
        (
            row["code"], str(row["entry"]), f"{row['action']} {row['quantity']}",
            "MKT" if row["price"] is None else _price(row["price"]), row["state"],
            _fill(row["live_filled"], row["live_price"]),
            _fill(row["simulated_filled"], row["simulated_price"]),
            _number(row["price_steps"], "+,.1f"), _number(row["seconds"], "+,.3f"),
        )
        for row in reconciliation.orders.iter_rows(named=True)
    ]
    pairs = FigureTable(
        "Orders, live and simulated (paired by entry per code)",
        ("code", "#", "order", "price", "fill", "live", "simulated", "steps", "seconds"),
        rows, names=2,
    )
    summary = reconciliation.summary
    error = FigureTable(
        f"The fill model's error ({reconciliation.result.settings.fill_model})",
        (),
        [
            ("orders paired", f"{summary['paired']} of {summary['orders']}"),
            ("fills missed by the backtest",
             f"{summary['missed']} orders, {summary['missed_quantity']} lots or contracts"),
            ("fills the market did not make",
             f"{summary['extra']} orders, {summary['extra_quantity']} lots or contracts"),
            ("price difference, mean (total)",
             f"{_number(summary['mean_price_steps'], '+,.2f')} steps "
             f"({_number(summary['total_price_steps'], '+,.1f')}), "
             f"{_number(summary['mean_price_ntd'], '+,.0f')} NTD "
             f"({_number(summary['total_price_ntd'], '+,.0f')})"),
            ("time difference, mean", f"{_number(summary['mean_seconds'], '+,.3f')} s"),
        ],
        note="differences are live less simulated, counted against the strategy",
    )
    return [pairs, error]


def _fill(quantity: Optional[int], price: Optional[float]) -> str:
    if not quantity or price is None:
        return "-"
    return f"{quantity} @ {_price(price)}"


def _price(value: float) -> str:
    """A price without the zeros a price step never needs (580, 17,520, 580.5)."""
    return f"{value:,.4f}".rstrip("0").rstrip(".")


def _number(value: Optional[float], form: str = ",.2f") -> str:
    return "-" if value is None else format(value, form)


def render_reconcile(reconciliation: Reconciliation, console: Any = None) -> None:
    """Print the tables on a rich console (by default one on standard output), each within
    the console's width and 80 columns at most (`fitted` shares a wider table out)."""
    from rich.console import Console

    console = console or Console()
    width = min(console.width, TABLE_WIDTH)
    for table in reconciliation_tables(reconciliation):
        for piece in fitted(table, width):
            console.print(piece)
        if table.note:
            console.print(f"  {table.note}", style="dim", highlight=False)


def reconciliation_text(reconciliation: Reconciliation, width: int = TABLE_WIDTH) -> str:
    """The tables as `render_reconcile` prints them, as text `width` columns wide at most."""
    from rich.console import Console

    out = io.StringIO()
    render_reconcile(
        reconciliation, Console(file=out, width=width, color_system=None, highlight=False)
    )
    return out.getvalue()
