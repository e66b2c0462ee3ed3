"""What a run produced: every report, the position keeper, the price timeline, and the
figures and frames made from them."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Set, Tuple

import polars as pl

from quorvel.backtest.account.account import Account, Balances
from quorvel.backtest.results.evaluation import (
    EquityCurve,
    Evaluation,
    Sample,
    drawdowns,
    evaluate,
    revalued,
)
from quorvel.backtest.results.price_path import BUCKETS, PricePath
from quorvel.backtest.results.timeline import BalancesAt, Points, Timeline
from quorvel.backtest.results.trading_time import TradingTime
from quorvel.backtest.settings.run import RunSettings
from quorvel.backtest.strategy.base import Operation
from quorvel.constant import OperationType
from quorvel.market.contracts import Contract, contract_for


# What became of an order, as "Orders by kind" counts them: all of it filled; part of it, the
# rest cancelled, expired or still working; none of it, cancelled or expired; none of it yet.
ORDER_FATES = ("filled", "partly_filled", "cancelled", "working")


@dataclass
class BacktestResult:
    """What a run produced: every report, the position keeper, the timeline and the timing.

    `settings` are the run's (`RunSettings`): its account traded with their
    capital, costs and rules, and the figures are computed with them; a
    result given other settings afterwards (``result.settings =
    result.settings.replace(costs=...)``) values the same fills again.  The
    timeline holds the points of the run that its figures need, in proportion
    to what the strategy does (`quorvel.backtest.results.timeline`);
    `balances` holds the account at every point of it, and `warnings` what the
    account made the engine do.  `trading_time` places a moment among the
    sessions of its codes, and `price_path` holds each code's price from every
    sample, for the charts.  `parameters` are the strategy's as it ran.
    `codes_without_quotes` names the codes whose ticks carried no bid and ask,
    `settled_at_last_trade` the futures months settled at their last trade
    price (no final settlement price was known for them), and `touch` is the same run under "touch" fills when the settings'
    `compare_fills` asked for it (`fill_comparison`).  A
    run stopped early (Ctrl-C, an exception from the strategy) leaves a
    partial result, `stopped` saying why.  Creating a result looks up the
    contract of every code, so that a code without a known contract size fails
    before a run, not after it.
    """

    codes: List[Dict[str, str]]
    settings: RunSettings = field(default_factory=RunSettings)
    backfill: Optional[Tuple[str, str]] = field(init=False)  # the settings' range of days
    reports: List[Dict[str, Any]] = field(default_factory=list, repr=False)
    operations: List[Operation] = field(default_factory=list, repr=False)
    positions: Any = field(default=None, repr=False)
    statuses: List[str] = field(default_factory=list, repr=False)
    live_ticks: int = 0
    backfill_ticks: int = 0
    replay_seconds: float = 0.0  # the replay's own time, without waiting for ticks to load
    load_seconds: float = 0.0  # the time the engine waited for ticks to be loaded
    timeline: Points = field(init=False, repr=False)
    trading_time: TradingTime = field(init=False, repr=False)  # the sessions of its codes
    price_path: PricePath = field(init=False, repr=False)  # each code's price, for the charts
    cache_files_before: int = 0
    cache_files_after: int = 0
    contracts: Dict[str, Contract] = field(init=False, repr=False)
    strategy: str = ""
    # A live session's mode ("paper", "live" or "demo"), whose fills are the broker's; None for
    # a backtest.
    session_mode: Optional[str] = None
    stopped: Optional[str] = None  # why the run ended before its last tick; None if it did not
    account: Optional[Account] = field(default=None, repr=False)
    balances: BalancesAt = field(init=False, repr=False)
    warnings: List[str] = field(default_factory=list, repr=False)
    # The faults of the days replayed under `accept_data_faults` (also among the warnings).
    data_faults: List[str] = field(default_factory=list)
    parameters: Dict[str, Any] = field(default_factory=dict)  # the strategy's, as it ran
    # The codes whose ticks carried no quote: their marketable orders filled at the next trade.
    codes_without_quotes: List[str] = field(default_factory=list)
    # The futures months settled at their last trade price, none of final settlement being known.
    settled_at_last_trade: List[str] = field(default_factory=list)
    # The listed codes whose class no table and no shape tells, taken as stocks.
    unknown_securities: List[str] = field(default_factory=list)
    touch: Optional["BacktestResult"] = field(default=None, repr=False)

    def __post_init__(self) -> None:
        self.contracts = {
            entry["code"]: contract_for(
                entry["code"], entry["market"], self.settings.market.security_class(entry["code"]).tax
            )
            for entry in self.codes
        }
        self.backfill = self.settings.backfill_range()
        self.unknown_securities = self.settings.market.unknown_securities(list(self.contracts))
        self._timeline = Timeline([entry["code"] for entry in self.codes], self.day_of)
        market = self.settings.market
        self.trading_time = TradingTime(
            (session.open_timestamp, session.close_timestamp)
            for day in market.trading_days(*self.period)
            for entry in self.codes
            for session in market.sessions(entry["code"], day)
        )
        self.price_path = PricePath(max(self.trading_time.total / BUCKETS, 1.0))
        self.timeline, self.balances = self._timeline.points, self._timeline.balances

    def __repr__(self) -> str:
        codes = [entry["code"] for entry in self.codes]
        fills = sum(1 for report in self.reports if "operation_type" not in report)
        partial = "" if self.stopped is None else f", stopped={self.stopped!r}"
        return (
            f"BacktestResult(strategy={self.strategy!r}, codes={codes}, "
            f"period={self.period!r}, engine={self.settings.engine!r}, "
            f"live_ticks={self.live_ticks:,}, reports={len(self.reports):,}, fills={fills:,}, "
            f"positions={self.positions!r}{partial})"
        )

    @property
    def period(self) -> Tuple[str, str]:
        return self.settings.period

    def day_of(self, timestamp: float) -> dt.date:
        """The trading day a moment of the run counts for, by its calendar."""
        return self.settings.market.trading_day_of(timestamp)

    @property
    def ticks_per_second(self) -> float:
        total = self.live_ticks + self.backfill_ticks
        return total / self.replay_seconds if self.replay_seconds else 0.0

    @property
    def refused_orders(self) -> int:
        """Orders and price changes the account refused."""
        return self.account.refused if self.account is not None else 0

    @property
    def peak_margin(self) -> float:
        """The most margin the account had in use at once, in NTD."""
        return self.account.peak_margin if self.account is not None else 0.0

    def sample(self, timestamp: float, day_end: bool = True) -> bool:
        """Offer the run as it stands after the live tick at `timestamp` to the timeline, which
        keeps it where it tells something its figures need (`Timeline`).  A tick that is not
        its trading day's last (`day_end` False) is not even offered while the timeline is
        idle: the day's last tick, always offered, tells all it could.  Every sample's prices
        go into the price path of the charts.  Whether it was offered."""
        prices = dict(self.positions.last_prices)
        self.price_path.add(self.trading_time.position(timestamp), timestamp, prices)
        reports = len(self.reports)
        if not day_end and self._timeline.idle(reports):
            return False
        account = self.account
        assert account is not None, "a run samples its account"
        held = {code: holding.shares for code, holding in account.holdings.items()}
        self._timeline.add(
            Sample(timestamp, prices, reports),
            account.balances(),
            held,
            account.ledger.net_pnl(prices),
        )
        return True

    def per_code(self) -> Dict[str, Dict[str, Any]]:
        """Orders, fills, cancellations, position and P&L of each code.

        The P&L here is the position keeper's, in price points (quote units
        times lots or contracts, before the contract size and costs); the P&L
        in NTD is `evaluate`'s.
        """
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
                "realized_points": held.get("realized_pnl", 0.0),
                "unrealized_points": held.get("unrealized_pnl", 0.0),
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
        """Orders entered by price type and order type, each counted once more by its fate
        (`ORDER_FATES`): all of it filled, part of it, none of it and cancelled or expired, or
        none of it and still working at the run's end."""
        kinds: Dict[Tuple[str, str], Dict[str, int]] = {}
        for kind, fate in self._order_fates().values():
            counts = kinds.setdefault(kind, dict.fromkeys(("entered", *ORDER_FATES), 0))
            counts["entered"] += 1
            counts[fate] += 1
        return dict(sorted(kinds.items()))

    def _order_fates(self) -> Dict[str, Tuple[Tuple[str, str], str]]:
        """Each order's kind and fate, by its trade id, from the reports: what it has filled,
        whether it was cancelled, and what is left working (its quantity when entered, or
        after a reduction, less its deals since)."""
        kinds: Dict[str, Tuple[str, str]] = {}
        filled: Dict[str, int] = {}
        working: Dict[str, int] = {}
        cancelled: Set[str] = set()
        for report in self.reports:
            if "operation_type" not in report:
                filled[report["id"]] = filled.get(report["id"], 0) + report["quantity"]
                working[report["id"]] -= report["quantity"]
                continue
            order, operation = report["order"], report["operation_type"]
            if operation == OperationType.NEW:
                kinds[order["id"]] = (str(order["price_type"]), str(order["order_type"]))
            if operation in (OperationType.NEW, OperationType.UPDATE_QTY):
                working[order["id"]] = order["quantity"]
            elif operation == OperationType.CANCEL:
                cancelled.add(order["id"])
        fates: Dict[str, Tuple[Tuple[str, str], str]] = {}
        for trade_id, kind in kinds.items():
            left = 0 if trade_id in cancelled else working[trade_id]
            if not filled.get(trade_id):
                fates[trade_id] = (kind, "working" if left else "cancelled")
            else:
                whole = trade_id not in cancelled and not left
                fates[trade_id] = (kind, "filled" if whole else "partly_filled")
        return fates

    def evaluate(self) -> Evaluation:
        """The fills valued, the round trips, the equity curve and the figures: the account's
        own ledger, or the reports valued again where the settings' costs are not the ones the
        account traded with."""
        settings, account = self.settings, self.account
        if account is not None and account.costs == settings.costs:
            ledger = account.ledger
            curve = EquityCurve(
                [sample.timestamp for sample in self.timeline], self._timeline.net_pnl()
            )
        else:
            day_trading = settings.account.day_trading(settings.account_rules)
            events = account.ledger.events if account is not None else ()
            ledger, curve = revalued(
                self.reports, self.timeline, self.contracts, settings.costs, day_trading, events
            )
        last_prices = self.timeline[-1].prices if len(self.timeline) else {}
        return evaluate(
            ledger, curve, last_prices, settings.capital, self.day_of, settings.min_sharpe_days
        )

    def reports_frame(self) -> pl.DataFrame:
        """Every report in the order the exchange produced it, one row each, with its kind."""
        rows = [_report_row(index, report) for index, report in enumerate(self.reports)]
        return pl.DataFrame(rows, schema=REPORT_SCHEMA, orient="row").with_columns(
            _exchange_time("exchange_ts")
        )

    def fills_frame(self, evaluation: Optional[Evaluation] = None) -> pl.DataFrame:
        """Every fill with its value, fee, tax and realised P&L in NTD, and the futures
        settlements (kind "settlement", and "roll" for a position carried into the next
        month), which have no report ("seq" empty)."""
        fills = (evaluation or self.evaluate()).fills
        rows = [
            (
                fill.report_index,
                fill.timestamp,
                fill.trade_id,
                fill.code,
                fill.action,
                fill.price,
                fill.quantity,
                fill.order_lot,
                fill.value_per_point,
                fill.value,
                fill.fee,
                fill.tax,
                fill.realized,
                fill.position,
                fill.day_trade_qty,
                fill.kind,
            )
            for fill in fills
        ]
        return pl.DataFrame(rows, schema=FILL_SCHEMA, orient="row").with_columns(
            _exchange_time("exchange_ts")
        )

    def equity_frame(self, evaluation: Optional[Evaluation] = None) -> pl.DataFrame:
        """Net equity (capital plus net P&L), its drawdown, the account's cash, margin in
        use and buying power, and each code's net P&L, in NTD, at every point of the
        timeline."""
        curve = (evaluation or self.evaluate()).curve
        total = curve.total()
        columns: Dict[str, Any] = {
            "exchange_ts": pl.Series(curve.timestamps, dtype=pl.Float64),
            "net_equity": pl.Series(
                [self.settings.capital + value for value in total], dtype=pl.Float64
            ),
            "drawdown": pl.Series(drawdowns(total), dtype=pl.Float64),
        }
        if len(self.balances) == len(curve.timestamps):
            for name in Balances._fields:
                values = [getattr(balances, name) for balances in self.balances]
                columns[name] = pl.Series(values, dtype=pl.Float64)
        for code, values in curve.net_pnl.items():
            columns[f"net_pnl_{code}"] = pl.Series(values, dtype=pl.Float64)
        return pl.DataFrame(columns).with_columns(_exchange_time("exchange_ts"))

    def round_trips_frame(self, evaluation: Optional[Evaluation] = None) -> pl.DataFrame:
        """Every round trip of the run, a position of one code from flat to flat, in the order
        they closed: long or short, the most lots or contracts held, and the P&L in NTD.  A
        position still open at the end is no round trip yet: its P&L is the unrealised."""
        trips = (evaluation or self.evaluate()).round_trips
        rows = [
            (trip.code, trip.side, trip.lots, trip.opened, trip.closed, trip.gross, trip.costs,
             trip.net)
            for trip in trips
        ]
        return pl.DataFrame(rows, schema=ROUND_TRIP_SCHEMA, orient="row").with_columns(
            _exchange_time("opened_ts", "opened"), _exchange_time("closed_ts", "closed")
        )


# The columns of `reports_frame`: the order reports' nested entries are flattened.
REPORT_SCHEMA: Dict[str, Any] = {
    "seq": pl.Int64,
    "kind": pl.String,
    "operation_type": pl.String,
    "operation_status_code": pl.String,
    "operation_message": pl.String,
    "id": pl.String,
    "account": pl.String,
    "exchange": pl.String,
    "code": pl.String,
    "action": pl.String,
    "price": pl.Float64,
    "quantity": pl.Int64,
    "price_type": pl.String,
    "order_type": pl.String,
    "order_cond": pl.String,
    "order_lot": pl.String,
    "oc_type": pl.String,
    "exchange_ts": pl.Float64,
}

FILL_SCHEMA: Dict[str, Any] = {
    "seq": pl.Int64,
    "exchange_ts": pl.Float64,
    "id": pl.String,
    "code": pl.String,
    "action": pl.String,
    "price": pl.Float64,
    "quantity": pl.Int64,
    "order_lot": pl.String,
    "ntd_per_point": pl.Int64,
    "value": pl.Float64,
    "fee": pl.Float64,
    "tax": pl.Float64,
    "realized_pnl": pl.Float64,
    "position": pl.Int64,
    "day_trade_qty": pl.Int64,
    "kind": pl.String,  # fill; settlement, a position settled at its month's end; roll
}

ROUND_TRIP_SCHEMA: Dict[str, Any] = {
    "code": pl.String,
    "side": pl.String,  # long or short
    "lots": pl.Int64,  # the most lots or contracts held
    "opened_ts": pl.Float64,
    "closed_ts": pl.Float64,
    "gross_pnl": pl.Float64,
    "costs": pl.Float64,  # fees and taxes
    "net_pnl": pl.Float64,
}


def _report_row(index: int, report: Mapping[str, Any]) -> Tuple[Any, ...]:
    if "operation_type" in report:
        entries = {**report, **report["order"]}
        entries["kind"] = "order"
        entries["exchange"] = report["trade_status"]["exchange"]
        entries["exchange_ts"] = report["trade_status"]["exchange_ts"]
    else:
        entries = {**report, "kind": "deal", "exchange": report["broker_id"]}
    entries["seq"] = index
    return tuple(_plain(entries.get(name)) for name in REPORT_SCHEMA)


def _plain(value: Any) -> Any:
    """Enumeration members as their strings; everything else as it is."""
    return str(value) if isinstance(value, str) else value


def _exchange_time(column: str, name: str = "time") -> pl.Expr:
    """Exchange time as a datetime (local wall-clock time, microseconds) from seconds."""
    microseconds = (pl.col(column) * 1_000_000).round(0).cast(pl.Int64)
    return microseconds.cast(pl.Datetime("us")).alias(name)
