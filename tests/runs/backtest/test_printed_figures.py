"""Every figure of the printed tables and of summary.json, against the reports.

The expected figures are worked out here from the deal and order reports by
cash flows, not by average cost, and not with the package's own functions.
"""

import json
import math
import re
import statistics
from collections import defaultdict
from pathlib import Path

import polars as pl
import pytest
from quorvel.examples.mean_reversion import MeanReversion
from rich.console import Console

from backtest_support import backtest

from quorvel.backtest import AccountRules, CostModel
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.backtest.output.files import write_outputs
from quorvel.backtest.output.tables import fitted, render, run_tables
from quorvel.sim import SimulatedBroker

CODES = ["2330", "TXFR1"]
SIZES = {"2330": 1000, "TXFR1": 200}
CAPITAL = 5_000_000.0
COSTS = CostModel(stock_commission_discount=0.6, futures_fee=40.0)
ACCOUNT = AccountRules(day_trade=True)  # sells first too: day trades both ways
# Trades often; two lots per order, so fill counts and filled quantities differ.
PARAMS = dict(ma=20, band=0.0005, every=10, lot=2, max_position=4, rod_ttl=30)


def broker():
    return SimulatedBroker(5, ticks_per_day=400)


@pytest.fixture(scope="module")
def result(ticker_built, data_dir):
    run = backtest(data_dir, MeanReversion(**PARAMS), broker=broker(),
                   period=("2024-01-08", "2024-01-10"), engine="paced", window=8,
                   capital=CAPITAL, costs=COSTS, account=ACCOUNT, min_sharpe_days=3)
    return run


def trading_day(ts):
    """The day number of the trading day a tick of the run counts for: from 15:00 on, the
    night session's, which belongs to the next weekday (the run's days have no holiday)."""
    day = int((ts + 9 * 3600) // 86400)
    weekday = (day + 3) % 7  # 1970-01-01 was a Thursday; Monday is 0
    return day + (7 - weekday) if weekday >= 5 else day


def is_deal(report):
    return "operation_type" not in report


def fill_costs(code, action, value, quantity, day_trade_value):
    if code == "TXFR1":
        return 40.0 * quantity, math.floor(value * 0.00002 + 0.5 + 1e-9)
    commission = max(math.floor(value * 0.001425 * 0.6 + 1e-9), 20)
    tax = (value - day_trade_value) * 0.003 + day_trade_value * 0.0015
    return commission, math.floor(tax + 1e-9) if action == "Sell" else 0


class Expected:
    """The figures of a run, from its reports, its timeline and its last prices."""

    def __init__(self, result):
        self.codes = {code: defaultdict(float) for code in CODES}
        self.trip_nets = {code: [] for code in CODES}
        self.curves = {code: [] for code in CODES}
        lots = dict.fromkeys(CODES, 0)
        cash = dict.fromkeys(CODES, 0.0)  # signed cash flows less costs
        trips = {}
        day, bought_today = None, 0  # lots of 2330 bought today and not sold again
        samples = iter(result.timeline)
        sample = next(samples, None)
        for index, report in enumerate([*result.reports, None]):
            while sample is not None and sample.reports <= index:
                for code in CODES:
                    marked = lots[code] * sample.prices.get(code, 0.0) * SIZES[code]
                    self.curves[code].append((sample.timestamp, cash[code] + marked))
                sample = next(samples, None)
            if report is None or not is_deal(report):
                continue
            code, action, quantity = report["code"], str(report["action"]), report["quantity"]
            value = report["price"] * quantity * SIZES[code]
            day_trade = 0  # lots of a sell that sell today's purchases or sell first
            if code == "2330":
                if report["exchange_ts"] // 86400 != day:
                    day, bought_today = report["exchange_ts"] // 86400, 0
                if action == "Buy":
                    bought_today += max(quantity - max(-lots[code], 0), 0)
                else:
                    day_trade = min(quantity, bought_today)
                    bought_today -= day_trade
                    day_trade += max(quantity - max(lots[code], 0), 0)
            day_trade_value = report["price"] * day_trade * SIZES[code]
            fee, tax = fill_costs(code, action, value, quantity, day_trade_value)
            figures = self.codes[code]
            figures["fills"] += 1
            figures["traded"] += value
            figures["fees"] += fee
            figures["taxes"] += tax
            figures["cash"] += value if action == "Sell" else -value
            flow = (value if action == "Sell" else -value) - fee - tax
            cash[code] += flow
            before = lots[code]
            lots[code] += -quantity if action == "Sell" else quantity
            after = lots[code]
            if before == 0:
                trips[code] = 0.0
            closing = (
                abs(before) / quantity
                if before and (after == 0 or (after > 0) != (before > 0))
                else 0
            )
            if closing:
                self.trip_nets[code].append(trips[code] + flow * closing)
                trips[code] = flow * (1 - closing)
            else:
                trips[code] += flow
        held = result.positions.summary()["positions"]
        for code in CODES:
            figures = self.codes[code]
            last = result.positions.last_prices[code]
            figures["gross"] = figures["cash"] + lots[code] * last * SIZES[code]
            avg = held[code]["avg_price"] if code in held else 0.0
            figures["unrealized"] = lots[code] * (last - avg) * SIZES[code]
            figures["realized"] = figures["gross"] - figures["unrealized"]
            figures["net"] = figures["gross"] - figures["fees"] - figures["taxes"]
        self.curves["total"] = [
            (points[0][0], sum(point[1] for point in points))
            for points in zip(*(self.curves[code] for code in CODES))
        ]
        self.trip_nets["total"] = [net for code in CODES for net in self.trip_nets[code]]
        self.codes["total"] = {
            key: sum(self.codes[code][key] for code in CODES) for key in self.codes[CODES[0]]
        }

    def money(self, name):
        figures = self.codes[name]
        return [figures[key] for key in ("realized", "unrealized", "gross", "fees", "taxes", "net")]

    def trading(self, name):
        """Round trips, win rate, profit factor, drawdown, its share, Sharpe, turnover."""
        nets = self.trip_nets[name]
        gains = sum(net for net in nets if net > 0)
        losses = -sum(net for net in nets if net < 0)
        peak, drawdown = 0.0, 0.0
        for _, value in self.curves[name]:
            peak = max(peak, value)
            drawdown = max(drawdown, peak - value)
        end_of_day = {}
        for ts, value in self.curves[name]:
            end_of_day[trading_day(ts)] = value
        closes = [0.0, *end_of_day.values()]
        returns = [(b - a) / CAPITAL for a, b in zip(closes, closes[1:])]
        sharpe = statistics.mean(returns) / statistics.stdev(returns) * math.sqrt(252)
        return [
            len(nets),
            sum(1 for net in nets if net > 0) / len(nets),
            gains / losses,
            drawdown,
            drawdown / CAPITAL,
            sharpe,
            self.codes[name]["traded"] / CAPITAL,
        ]


@pytest.fixture(scope="module")
def expected(result):
    return Expected(result)


def printed_tables(result):
    console = Console(record=True, width=200)
    render(result, console)
    notes = {table.note for table in run_tables(result, result.evaluate())}
    tables, rows = {}, None
    for line in console.export_text().splitlines():
        if line.strip() in notes:
            continue
        if line and not line.startswith(" "):
            rows = tables[line.split(" (")[0].strip()] = []
        elif line.strip() and not line.strip().startswith("─"):
            rows.append(re.split(r"\s{2,}", line.strip()))
    return tables


def number(text):
    return float(text.replace(",", "").rstrip("%")) / (100 if text.endswith("%") else 1)


def assert_printed(cells, values, places):
    """Each cell shows its value rounded to the given number of decimal places."""
    assert len(cells) == len(values)
    for cell, value, decimals in zip(cells, values, places):
        assert abs(number(cell) - value) <= 0.5 * 10**-decimals + 1e-9, (cell, value)


@pytest.fixture(scope="module")
def tables(result):
    return printed_tables(result)


class TestPrintedTables:
    def test_counts_positions_and_prices_per_code(self, result, tables):
        header, *rows, total = tables["Per code"]
        assert header == ["code", "orders", "fills", "cancels", "pos", "avg", "last"]
        orders = [r["order"] for r in result.reports if not is_deal(r)]
        operations = [r["operation_type"] for r in result.reports if not is_deal(r)]
        deals = [r for r in result.reports if is_deal(r)]
        held = result.positions.summary()["positions"]
        for code, row in zip(CODES, rows):
            position = sum(
                d["quantity"] * (1 if d["action"] == "Buy" else -1)
                for d in deals
                if d["code"] == code
            )
            assert row[:5] == [
                code,
                str(
                    sum(1 for o, op in zip(orders, operations) if o["code"] == code and op == "New")
                ),
                str(sum(1 for d in deals if d["code"] == code)),
                str(
                    sum(
                        1
                        for o, op in zip(orders, operations)
                        if o["code"] == code and op == "Cancel"
                    )
                ),
                str(position),
            ]
            avg = f"{held[code]['avg_price']:,.2f}" if position else "-"
            assert row[5:] == [avg, f"{result.positions.last_prices[code]:,.2f}"]
        filled_quantity = sum(d["quantity"] for d in deals)
        assert filled_quantity > len(deals)
        assert total == [
            "total",
            str(operations.count("New")),
            str(len(deals)),
            str(operations.count("Cancel")),
        ]

    def test_money_in_ntd_per_code_and_in_total(self, expected, tables):
        header, *rows = tables["P&L in NTD"]
        assert header == ["code", "realised", "unrealised", "gross", "fees", "taxes", "net"]
        assert [row[0] for row in rows] == [*CODES, "total"]
        for row in rows:
            assert_printed(row[1:], expected.money(row[0]), [0] * 6)

    def test_round_trips_and_risk_per_code_and_in_total(self, expected, tables):
        header, *rows = tables["Round trips and risk"]
        assert header[1:] == [
            "round trips",
            "win rate",
            "profit factor",
            "max drawdown",
            "of capital",
            "Sharpe",
            "turnover",
        ]
        assert [row[0] for row in rows] == [*CODES, "total"]
        for row in rows:
            assert_printed(row[1:], expected.trading(row[0]), [0, 3, 2, 0, 3, 2, 2])

    def test_orders_by_kind_count_each_order_once_by_its_fate(self, result, tables):
        header, *rows = tables["Orders by kind"]
        assert header[2:] == ["entered", "filled", "partly filled", "cancelled", "working"]
        kind_of, entered, dealt, cancelled = {}, {}, defaultdict(int), set()
        for report in result.reports:
            if is_deal(report):
                dealt[report["id"]] += report["quantity"]
            elif report["operation_type"] == "New":
                order = report["order"]
                kind_of[order["id"]] = (str(order["price_type"]), str(order["order_type"]))
                entered[order["id"]] = order["quantity"]
            elif report["operation_type"] == "Cancel":
                cancelled.add(report["order"]["id"])
        expected = defaultdict(lambda: [0] * 5)  # entered, filled, partly, cancelled, working
        for trade_id, kind in kind_of.items():
            whole, cut = dealt[trade_id] == entered[trade_id], trade_id in cancelled
            fate = (1 if whole else 2) if dealt[trade_id] else (3 if cut else 4)
            expected[kind][0] += 1
            expected[kind][fate] += 1
        assert cancelled & set(dealt) and set(dealt) - cancelled  # both partial and whole fills
        assert sorted(tuple(row) for row in rows) == sorted(
            (*kind, *map(str, counts)) for kind, counts in expected.items()
        )

    def test_run_figures(self, result, expected, tables, data_dir):
        run = dict(tables["Run"])
        assert run["period"] == "2024-01-08 to 2024-01-10"
        assert run["backfill"] == "2024-01-05 to 2024-01-05"
        assert run["strategy"] == "MeanReversion"
        assert run["engine"] == "paced, 8 permits ahead"
        assert run["replay time"] == f"{result.replay_seconds:.2f} s"
        cache = Path(cache_directory(str(data_dir), broker())) / "sino" / "ticks"
        cache_files = len(list(cache.glob("* - ticks.csv")))
        assert run["tick cache files (before, after)"] == f"0, {cache_files}"
        assert run["ticks replayed (backfill + live)"] == "800 + 2,400"
        assert run["ticks per second"] == f"{3200 / result.replay_seconds:,.0f}"
        assert run["capital (NTD)"] == "5,000,000"
        assert_printed([run["net P&L (NTD)"]], [expected.codes["total"]["net"]], [0])
        assert run["stock costs"] == "0.1425 % x 0.6, min 20 NTD; sell tax 0.3 % (day trade 0.15 %)"
        assert run["futures costs"] == "TXF 40 NTD per contract; tax 0.002 %"


@pytest.mark.parametrize("width", [80, 50])
def test_every_table_fits_the_console_with_every_figure_and_heading_whole(result, width):
    """Too wide, a table wraps its headings, then shares its figure columns among parts that
    each repeat the names."""
    for table in run_tables(result, result.evaluate()):
        console = Console(record=True, width=width)
        for part in fitted(table, width):
            console.print(part)
        text = console.export_text()
        assert "…" not in text and max(len(line) for line in text.splitlines()) <= width
        words = " ".join([*table.columns, *(cell for row in table.rows for cell in row)])
        assert set(words.split()) | set(table.total) - {""} <= set(text.split())
    assert len(fitted(run_tables(result, result.evaluate())[0], 50)) == 2


@pytest.fixture(scope="module")
def written(result, tmp_path_factory):
    directory = tmp_path_factory.mktemp("out") / "new" / "dir"
    write_outputs(result, str(directory))
    return directory


class TestOutputFiles:
    def test_summary_holds_the_tables_figures(self, result, expected, written):
        summary = json.loads((written / "summary.json").read_text())
        names = ["realized_pnl", "unrealized_pnl", "gross_pnl", "fees", "taxes", "net_pnl"]
        names += ["round_trips", "win_rate", "profit_factor", "max_drawdown"]
        names += ["max_drawdown_share", "sharpe", "turnover"]
        for name in [*CODES, "total"]:
            entry = summary["total"] if name == "total" else summary["per_code"][name]
            values = expected.money(name) + expected.trading(name)
            # Money to the NTD, ratios to four places.
            places = [0] * 6 + [0, 4, 4, 0, 4, 4, 4]
            for key, value, decimals in zip(names, values, places):
                assert abs(entry[key] - value) <= 0.5 * 10**-decimals + 1e-9, key
            assert entry["fills"] == expected.codes[name]["fills"]
        assert summary["total"]["filled_qty"] == sum(
            r["quantity"] for r in result.reports if is_deal(r)
        )
        assert summary["run"]["trading_days"] == 3
        assert summary["settings"]["capital"] == CAPITAL
        assert summary["settings"]["costs"]["futures_fee"] == 40.0
        assert summary["settings"]["engine"] == "paced" and summary["settings"]["window"] == 8

    def test_files_load_with_polars(self, result, expected, written):
        reports = pl.read_parquet(written / "reports.parquet")
        assert reports["seq"].to_list() == list(range(len(result.reports)))
        assert reports["kind"].to_list() == [
            "deal" if is_deal(r) else "order" for r in result.reports
        ]
        fills = pl.read_csv(written / "fills.csv")
        assert fills["fee"].sum() == expected.codes["total"]["fees"]
        assert fills["tax"].sum() == expected.codes["total"]["taxes"]
        equity = pl.read_csv(written / "equity.csv", try_parse_dates=True)
        assert equity["time"].dtype == pl.Datetime("us")
        assert equity["time"].is_sorted()
        assert equity["net_equity"].to_list() == pytest.approx(
            [CAPITAL + value for _, value in expected.curves["total"]]
        )
