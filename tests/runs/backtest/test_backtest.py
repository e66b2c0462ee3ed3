"""The backtest driver: a run's ledger, its pacing, its cache, and its boundaries."""

import math
import os
import threading
import time
from collections import defaultdict

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from backtest_support import backtest

from quorvel.backtest import BacktestError, RunSettings
from quorvel.backtest.engine.backtest import cache_directory, load_ticks, resolve_codes
from quorvel.constant import BASIC_INFO, FLAG, Action
from quorvel.sim import SimulatedBroker

PERIOD = ("2024-01-08", "2024-01-10")  # Monday to Wednesday
BACKFILL = ("2024-01-05", "2024-01-05")  # the Friday before
TICKS_PER_DAY = 400
CODES = ["2330", "TXFR1"]
# Trades often, so that a short run uses every kind of order.
PARAMS = dict(ma=20, band=0.0005, every=10, lot=2, max_position=4, rod_ttl=30)
WAIT = 30  # seconds any single wait of a test may take


def run(data_dir, broker=None, **settings):
    return backtest(data_dir, MeanReversion(**PARAMS), broker=broker, market_seed=3,
                    ticks_per_day=TICKS_PER_DAY, period=PERIOD, **settings)


@pytest.fixture(scope="module")
def result(ticker_built, data_dir):
    return run(data_dir)


def deal_reports(result):
    return [report for report in result.reports if "operation_type" not in report]


def fills(result):
    """What a run traded, in order, without the trade ids."""
    return [(r["code"], r["action"], r["quantity"], r["price"]) for r in deal_reports(result)]


class TestLedger:
    def test_run_replays_every_tick_and_ends_with_the_end_status(self, result):
        assert result.statuses[-1] == FLAG.exit_send_tick.value
        assert result.live_ticks == 3 * len(CODES) * TICKS_PER_DAY
        assert result.backfill_ticks == len(CODES) * TICKS_PER_DAY

    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_a_backfill_without_ticks_is_over_before_the_period(self, data_dir, engine):
        """The paced feed's sending thread often finds such a backfill over already."""
        weekend = ("2024-01-06", "2024-01-07")
        statuses = [
            backtest(data_dir, codes=["2330"], market_seed=3, ticks_per_day=50, period=PERIOD,
                     backfill=weekend, engine=engine).statuses
            for _ in range(3)
        ]
        assert statuses == [[FLAG.finish_backfilling.value, FLAG.exit_send_tick.value]] * 3

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
        assert all(abs(row["position"]) <= PARAMS["max_position"] for row in per_code.values())

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
            assert math.isclose(
                row["realized_points"] + row["unrealized_points"], marked, abs_tol=1e-6
            )

    def test_per_code_counts_add_up_to_the_reports(self, result):
        per_code = result.per_code()
        assert sum(row["fills"] for row in per_code.values()) == len(deal_reports(result))
        news = sum(1 for r in result.reports if r.get("operation_type") == "New")
        assert sum(row["orders"] for row in per_code.values()) == news
        assert news == sum(1 for action, _ in result.operations if action == "add")


class TestPacingAndCache:
    def test_strictly_paced_run_trades_exactly_like_the_run_ahead_one(self, result, data_dir):
        paced = run(data_dir, engine="paced", window=1)
        ahead = run(data_dir, engine="paced", window=8)

        assert fills(paced) == fills(ahead) == fills(result)
        assert paced.positions.summary() == ahead.positions.summary()

    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_second_run_reads_the_cache_without_asking_the_broker(self, result, data_dir, engine):
        broker = SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY)
        again = run(data_dir, broker=broker, engine=engine)
        assert broker.tick_requests == []
        assert again.cache_files_before == again.cache_files_after == result.cache_files_after
        day_files = [
            name
            for name in os.listdir(
                os.path.join(cache_directory(data_dir, broker), "sino", "ticks")
            )
            if name.endswith(".csv")
        ]
        assert result.cache_files_after == len(day_files) > 0

    def test_loading_ticks_fills_the_cache_a_run_then_reads(self, ticker_built, tmp_path, result):
        loaded = load_ticks(
            SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY),
            CODES,
            RunSettings(period=PERIOD, backfill=BACKFILL),
            data_dir=str(tmp_path),
        )
        assert loaded == result.live_ticks + result.backfill_ticks
        broker = SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY)
        again = run(str(tmp_path), broker=broker)
        assert broker.tick_requests == []

        assert fills(again) == fills(result)

    def test_a_feed_that_stops_sending_ends_the_run_with_an_error(
        self, ticker_built, tmp_path, monkeypatch
    ):
        monkeypatch.setattr(
            ticker_built.Ticker, "_Ticker__push_tick_to_queue", lambda self, df: None
        )
        before = set(threading.enumerate())
        with pytest.raises(BacktestError, match="no tick came"):
            backtest(tmp_path, codes=["2330"], market_seed=3, ticks_per_day=10, period=PERIOD,
                     backfill=None, engine="paced", stall_timeout=1)
        assert threads_started_since(before) == []


def threads_started_since(before):
    return [thread.name for thread in threading.enumerate() if thread not in before]


class SlowBroker(SimulatedBroker):
    """Takes its time over each day's ticks, like a broker on the network."""

    def ticks(self, contract, date):
        time.sleep(0.1)
        return super().ticks(contract=contract, date=date)


class GatedBroker(SimulatedBroker):
    """Holds the first tick query until the test opens the gate."""

    def __init__(self):
        super().__init__(3, ticks_per_day=10)
        self.waiting = threading.Event()
        self.gate = threading.Event()

    def ticks(self, contract, date):
        self.waiting.set()
        assert self.gate.wait(WAIT)
        return super().ticks(contract=contract, date=date)


class TestRunBoundaries:
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_a_period_without_trading_days_stops_the_backfill_before_returning(
        self, ticker_built, tmp_path, monkeypatch, engine
    ):
        # The weekend yields no tick: the feed ends at once while the backfill still loads.
        outside = tmp_path / "outside"
        monkeypatch.setattr(BASIC_INFO, "data_dir", str(outside))
        before = set(threading.enumerate())
        result = backtest(tmp_path / "data", broker=SlowBroker(3, ticks_per_day=50),
                          period=("2024-01-06", "2024-01-07"), backfill=("2024-01-02", "2024-01-05"),
                          engine=engine, stall_timeout=WAIT)
        assert threads_started_since(before) == []
        assert result.live_ticks == 0 and result.statuses[-1] == FLAG.exit_send_tick.value
        assert BASIC_INFO.data_dir == str(outside) and not outside.exists()

    def test_a_second_concurrent_run_is_refused(self, ticker_built, tmp_path):
        broker = GatedBroker()
        outcome = {}

        def first_run():
            outcome["result"] = backtest(tmp_path / "first", codes=["2330"], broker=broker,
                                         period=PERIOD, backfill=None)

        first = threading.Thread(target=first_run)
        first.start()
        try:
            assert broker.waiting.wait(WAIT)
            with pytest.raises(BacktestError, match="separate processes"):
                backtest(tmp_path / "second", codes=["2330"], ticks_per_day=10, period=PERIOD,
                         backfill=None)
        finally:
            broker.gate.set()
            first.join(WAIT)
        assert outcome["result"].live_ticks == 3 * 10

    def test_repeated_codes_are_resolved_once(self):
        assert resolve_codes(SimulatedBroker(), ["2330", "TXFR1", "2330"]) == [
            {"code": "2330", "market": "Stock"},
            {"code": "TXFR1", "market": "Future"},
        ]
