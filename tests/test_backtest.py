"""The backtest driver: a run's ledger, its pacing, its cache, and the command line."""

import math
import os
import subprocess
import sys
from collections import defaultdict

import pytest

from quorvel import backtest
from quorvel.backtest import BacktestError, MeanReversionStrategy, StrategyParams, run_backtest
from quorvel.constant import FLAG, Action
from quorvel.sim import SimulatedBroker

PERIOD = ("2024-01-08", "2024-01-10")  # Monday to Wednesday
BACKFILL = ("2024-01-05", "2024-01-05")  # the Friday before
TICKS_PER_DAY = 400
CODES = ["2330", "TXFR1"]
# Trades often, so that a short run uses every kind of order.
PARAMS = StrategyParams(ma=20, band=0.0005, every=10, lot=2, max_position=4, rod_ttl=30)


@pytest.fixture(scope="module")
def ticker_built():
    return pytest.importorskip("quorvel.modules.ticker.ticker")


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("backtest-data"))


def run(data_dir, window, broker=None, **kwargs):
    return run_backtest(
        broker or SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY),
        CODES,
        PERIOD,
        BACKFILL,
        data_dir=data_dir,
        params=PARAMS,
        window=window,
        stall_timeout=30,
        **kwargs,
    )


@pytest.fixture(scope="module")
def result(ticker_built, data_dir):
    return run(data_dir, window=4)


def deal_reports(result):
    return [report for report in result.reports if "operation_type" not in report]


class TestLedger:
    def test_run_replays_every_tick_and_ends_with_the_end_status(self, result):
        assert result.statuses[-1] == FLAG.exit_send_tick.value
        assert result.live_ticks == 3 * len(CODES) * TICKS_PER_DAY
        assert result.backfill_ticks == len(CODES) * TICKS_PER_DAY

    def test_the_strategy_uses_every_order_kind(self, result):
        kinds = result.order_kinds()
        assert {("LMT", "ROD"), ("LMT", "FOK"), ("MKT", "IOC")} <= set(kinds)
        assert all(counts["filled"] for counts in kinds.values())

    def test_every_fill_reported_is_in_positions(self, result):
        deals = [
            (r["id"], r["code"], r["action"], r["quantity"], r["price"])
            for r in deal_reports(result)
        ]
        ledger = [
            (t.trade_id, t.code, t.action, t.quantity, t.price)
            for t in result.positions.trade_records
            if t.trade_status == "Deal"
        ]
        assert deals and deals == ledger

    def test_every_expiry_in_positions_was_reported_as_a_cancellation(self, result):
        cancelled = {
            r["order"]["id"]: r["order"]["quantity"]
            for r in result.reports
            if r.get("operation_type") == "Cancel"
        }
        expired = [t for t in result.positions.trade_records if t.trade_status == "Cancel"]
        assert expired
        assert all(cancelled[t.trade_id] == t.quantity for t in expired)

    def test_positions_are_the_sum_of_the_fills(self, result):
        net = defaultdict(int)
        for report in deal_reports(result):
            net[report["code"]] += report["quantity"] * (
                1 if report["action"] == Action.BUY else -1
            )
        per_code = result.per_code()
        assert {code: row["position"] for code, row in per_code.items()} == {
            c: net[c] for c in CODES
        }
        assert all(abs(row["position"]) <= PARAMS.max_position for row in per_code.values())

    def test_pnl_equals_the_cash_flows_marked_to_the_last_price(self, result):
        per_code = result.per_code()
        for code in CODES:
            cash = sum(
                r["price"] * r["quantity"] * (-1 if r["action"] == Action.BUY else 1)
                for r in deal_reports(result)
                if r["code"] == code
            )
            row = per_code[code]
            marked = cash + row["position"] * row["last_price"]
            assert math.isclose(row["realized_pnl"] + row["unrealized_pnl"], marked, abs_tol=1e-6)

    def test_per_code_counts_add_up_to_the_reports(self, result):
        per_code = result.per_code()
        assert sum(row["fills"] for row in per_code.values()) == len(deal_reports(result))
        news = sum(1 for r in result.reports if r.get("operation_type") == "New")
        assert sum(row["orders"] for row in per_code.values()) == news
        assert news == sum(1 for action, _ in result.operations if action == "add")


class TestPacingAndCache:
    def test_strictly_paced_run_trades_exactly_like_the_run_ahead_one(self, result, data_dir):
        paced = run(data_dir, window=1)

        def fills(res):
            return [(r["code"], r["action"], r["quantity"], r["price"]) for r in deal_reports(res)]

        assert fills(paced) == fills(result)
        assert paced.positions.summary() == result.positions.summary()

    def test_second_run_reads_the_cache_without_asking_the_broker(self, result, data_dir):
        broker = SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY)
        again = run(data_dir, window=8, broker=broker)
        assert broker.tick_requests == []
        assert again.cache_files_before == again.cache_files_after == result.cache_files_after
        day_files = [name for name in os.listdir(os.path.join(data_dir, "sino", "ticks")) if name.endswith(".csv")]
        assert result.cache_files_after == len(day_files) > 0

    def test_a_feed_that_stops_sending_ends_the_run_with_an_error(
        self, ticker_built, tmp_path, monkeypatch
    ):
        monkeypatch.setattr(
            ticker_built.Ticker, "_Ticker__push_tick_to_queue", lambda self, df: None
        )
        with pytest.raises(BacktestError, match="no tick came"):
            run_backtest(
                SimulatedBroker(3, ticks_per_day=10),
                ["2330"],
                PERIOD,
                None,
                data_dir=str(tmp_path),
                stall_timeout=1,
            )


class TestStrategyBookkeeping:
    def make(self):
        return MeanReversionStrategy(
            StrategyParams(ma=2, band=0.01, every=1), {"2330": "Stock"}, lambda code: 0
        )

    def new_report(self, trade_id, quantity, order_type="ROD"):
        order = {"id": trade_id, "code": "2330", "quantity": quantity, "order_type": order_type}
        return {"operation_type": "New", "order": order}

    def test_partial_fills_keep_an_order_working_until_filled(self):
        strategy = self.make()
        strategy.on_report(self.new_report("a", 3))
        strategy.on_report({"id": "a", "code": "2330", "quantity": 2})
        assert strategy.working["a"].quantity == 1
        strategy.on_report({"id": "a", "code": "2330", "quantity": 1})
        assert "a" not in strategy.working

    def test_a_working_order_holds_back_new_orders_until_cancelled(self):
        strategy = self.make()

        def tick(close):
            return {"code": "2330", "close": close}

        strategy.warm_up(tick(100.0))
        strategy.on_report(self.new_report("a", 1, "IOC"))
        assert strategy.on_tick(tick(90.0)) == []
        strategy.on_report({"operation_type": "Cancel", "order": {"id": "a"}})
        [(action, payload)] = strategy.on_tick(tick(80.0))
        assert (action, payload["action"], payload["price_type"], payload["order_type"]) == (
            "add",
            "Buy",
            "MKT",
            "IOC",
        )


class TestCommandLine:
    @pytest.mark.parametrize(
        "argv, message",
        [
            (["--window", "0"], "--window: must be at least 1"),
            (["--start", "2024-02-30"], "--start: not a date"),
            (["--start", "2024-01-12", "--end", "2024-01-08"], "lies after --end"),
            (["--backfill-end", "2024-01-08"], "backfill must end before"),
            (["--codes", "9999"], "unknown code '9999'"),
            (["--band", "1.5"], "--band: must lie between 0 and 1"),
            (["--plot", "equity.svg"], "ending in .png"),
            (["--no-such-option"], "unrecognized arguments"),
        ],
    )
    def test_bad_options_exit_with_2_and_say_why(self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            backtest.main(argv)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err

    def test_bad_option_prints_no_traceback(self):
        child = subprocess.run(
            [sys.executable, "-m", "quorvel.backtest", "--window", "x"],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert child.returncode == 2
        assert "Traceback" not in child.stderr and "--window" in child.stderr

    def test_a_run_prints_the_tables(self, ticker_built, tmp_path, capsys):
        argv = [
            "--ticks-per-day",
            "100",
            "--data-dir",
            str(tmp_path),
            "--start",
            "2024-01-08",
            "--end",
            "2024-01-08",
            "--backfill-start",
            "2024-01-05",
            "--backfill-end",
            "2024-01-05",
        ]
        assert backtest.main(argv) == 0
        out = capsys.readouterr().out
        assert "Per code" in out and "ticks per second" in out and "TXFR1" in out

    def test_plot_writes_the_equity_curve_as_png(self, ticker_built, tmp_path):
        pytest.importorskip("matplotlib")
        image = tmp_path / "equity.png"
        argv = ["--ticks-per-day", "100", "--data-dir", str(tmp_path), "--end", "2024-01-08"]
        assert backtest.main([*argv, "--plot", str(image)]) == 0
        assert image.read_bytes().startswith(b"\x89PNG")
