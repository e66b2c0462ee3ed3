"""Tick combining: day walk, merge order, the market map and per-day failures."""

import datetime as dt

import polars as pl
import pytest

from quorvel.modules.ticker import feed
from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import TICK_COLUMNS, SimulatedApiError, SimulatedBroker

from ticker_support import STOCK

FUTURE = {"code": "TXFR1", "market": "Future"}
COMBINED_SCHEMA = {
    "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
    "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64, "tick_type": pl.Int64,
    "code": pl.String,
}


class FlakyBroker(SimulatedBroker):
    """Fails the first `failures` tick requests, then answers."""

    def __init__(self, failures, **kwargs):
        super().__init__(**kwargs)
        self.failures = failures

    def ticks(self, contract, date):
        if self.failures:
            self.failures -= 1
            self.tick_requests.append((contract.code, date))
            raise SimulatedApiError("quota exceeded")
        return super().ticks(contract=contract, date=date)


class SameInstantBroker(SimulatedBroker):
    """Every instrument trades once, at the same instant."""

    def ticks(self, contract, date):
        return {key: [1_704_186_000_000_000_000 if key == "ts" else 1] for key in TICK_COLUMNS}


def combine(ticker, codes, start, end):
    return ticker._Ticker__process_and_combine_ticks(codes, start, end)


class TestPeriod:
    def test_empty_period_gives_the_typed_empty_frame(self, console):
        ticker = Ticker(SimulatedBroker())
        for codes, start, end in (([], "2024-01-02", "2024-01-03"), ([STOCK], "2024-01-03", "2024-01-02")):
            df = combine(ticker, codes, start, end)
            assert df.shape == (0, 9) and dict(df.schema) == COMBINED_SCHEMA
        assert console.lines == [] and ticker.api.tick_requests == []
        assert ticker.code_market_map == {"2330": "Stock"}

    def test_days_step_from_the_start_time(self):
        ticker = Ticker(SimulatedBroker(ticks_per_day=1))
        combine(ticker, [STOCK], "2024-01-01 09:00", "2024-01-03 08:00")
        assert [date for _, date in ticker.api.tick_requests] == ["2024-01-01", "2024-01-02"]

    def test_equal_bounds_give_one_day(self):
        ticker = Ticker(SimulatedBroker(ticks_per_day=2))
        assert combine(ticker, [FUTURE], "2024-01-02", "2024-01-02").shape == (2, 9)


class TestMerge:
    def test_sorted_by_time_then_code(self):
        ticker = Ticker(SimulatedBroker(ticks_per_day=20))
        df = combine(ticker, [FUTURE, STOCK], "2024-01-02", "2024-01-03")
        assert df.shape == (80, 9)
        assert df.select(["ts", "code"]).rows() == sorted(df.select(["ts", "code"]).rows())

    def test_equal_timestamps_ordered_by_code(self):
        df = combine(Ticker(SameInstantBroker()), [FUTURE, STOCK], "2024-01-02", "2024-01-02")
        assert df["code"].to_list() == ["2330", "TXFR1"]

    def test_same_code_twice_keeps_the_first_market(self):
        ticker = Ticker(SimulatedBroker(ticks_per_day=3))
        df = combine(ticker, [STOCK, {"code": "2330", "market": "Future"}], "2024-01-02", "2024-01-02")
        assert df.shape == (6, 9)
        assert ticker.code_market_map == {"2330": "Stock"}

    @pytest.mark.parametrize("where", ["instance", "subclass"])
    def test_the_door_calls_a_day_loader_of_its_own_and_merges_as_with_the_tickers(self, where):
        days = []

        class Logged(Ticker):
            def _Ticker__auto_fetch_ticks(self, code, market, date):
                days.append((code, date))
                return Ticker._Ticker__auto_fetch_ticks(self, code, market, date)

        watched = (Logged if where == "subclass" else Ticker)(SimulatedBroker(ticks_per_day=20))
        if where == "instance":
            watched._Ticker__auto_fetch_ticks = Logged._Ticker__auto_fetch_ticks.__get__(watched)
        period = ([FUTURE, STOCK], "2024-01-02", "2024-01-03", None)
        assert feed.load(watched, *period).equals(feed.load(Ticker(SimulatedBroker(ticks_per_day=20)), *period))
        assert days == [(code, date) for code in ("TXFR1", "2330") for date in period[1:3]]

    def test_get_ticks_df_is_the_one_instrument_combination(self):
        ticker = Ticker(SimulatedBroker(ticks_per_day=3))
        assert ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-03").equals(
            combine(ticker, [STOCK], "2024-01-02", "2024-01-03"))


class TestFailingDays:
    def test_day_failing_once_is_retried(self, console, logger):
        ticker = Ticker(FlakyBroker(1, ticks_per_day=2))
        df = combine(ticker, [STOCK], "2024-01-02", "2024-01-02")
        assert df.shape == (2, 9)
        colours = [line[: line.index("]") + 1] for line in console.lines]
        assert colours == ["[yellow]", "[red]", "[red]", "[yellow]", "[red]", "[green]"]
        assert console.lines[2] == "[red]下載 2330 2024-01-02 的 Tick 資料失敗, 錯誤訊息: quota exceeded[/red]"
        [record] = logger.records()
        assert list(record) == ["error", "traceback", "data"]
        assert record["error"] == "quota exceeded" and "SimulatedApiError" in record["traceback"]
        assert record["data"] == {"code": "2330", "date": dt.datetime(2024, 1, 2).timestamp()}

    def test_day_that_keeps_failing_raises_after_three_attempts(self, console, logger):
        ticker = Ticker(FlakyBroker(10, ticks_per_day=2))
        with pytest.raises(SimulatedApiError, match="quota exceeded"):
            combine(ticker, [STOCK, FUTURE], "2024-01-02", "2024-01-03")
        assert ticker.api.tick_requests == [("2330", "2024-01-02")] * 3
        assert len(logger.records()) == 3
        assert sum("的 Tick 資料失敗" in line for line in console.lines) == 3
        assert ticker.code_market_map == {"2330": "Stock"}

    def test_unknown_code_fails_the_load(self):
        with pytest.raises(TypeError):
            combine(Ticker(SimulatedBroker()), [{"code": "9999", "market": "Stock"}], "2024-01-02", "2024-01-02")

    def test_error_record_that_json_refuses_propagates(self, console, logger):
        ticker = Ticker(SimulatedBroker())
        with pytest.raises(TypeError, match="not JSON serializable"):
            combine(ticker, [{"code": object(), "market": "Stock"}], "2024-01-02", "2024-01-02")
        assert logger.lines == []

    def test_missing_market_key_propagates_at_once(self, console):
        with pytest.raises(KeyError):
            combine(Ticker(SimulatedBroker()), [{"code": "2330"}], "2024-01-02", "2024-01-02")
        assert console.lines == []
