"""The history tick cache: file names and format, what is written and when it is read back."""

import datetime as dt

import polars as pl
import pytest

from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import TICK_COLUMNS, SimulatedBroker

from ticker_support import HEADER, FixedAnswerBroker


class ReorderedBroker(SimulatedBroker):
    """Answers with the columns in reverse order, as the real API sometimes does."""

    def ticks(self, contract, date):
        answer = super().ticks(contract=contract, date=date)
        return {key: answer[key] for key in reversed(TICK_COLUMNS)}


def cache_files(cache_dir):
    return sorted(path.name for path in cache_dir.iterdir()) if cache_dir.exists() else []


class TestNaming:
    def test_file_name(self):
        assert Ticker(None)._Ticker__tick_filename_formatter("TXFR1", "2024-01-02") == "TXFR1 2024-01-02 - ticks.csv"

    def test_contract_group_by_exact_market(self):
        ticker = Ticker(SimulatedBroker(unknown_code="raise"))
        assert ticker._Ticker__make_sino_contract_object("2330", "Stock").code == "2330"
        with pytest.raises(KeyError):
            ticker._Ticker__make_sino_contract_object("2330", "stock")


class TestRangeDownload:
    def test_past_day_written_in_csv_format(self, cache_dir, console):
        broker = SimulatedBroker(ticks_per_day=4)
        df = Ticker(broker).fetch_sino_history_ticks("2330", "Stock", "2024-01-02 13:00", "2024-01-02 09:00")
        assert broker.tick_requests == [("2330", "2024-01-02")]
        assert df.columns == list(TICK_COLUMNS) and df.shape == (4, 8)
        path = cache_dir / "2330 2024-01-02 - ticks.csv"
        lines = path.read_text(encoding="utf-8").splitlines()
        assert lines[0] == HEADER and len(lines) == 5
        assert console.lines == [f"[green]下載 2330 2024-01-02 的 Tick 資料成功, 儲存於 {path}[/green]"]

    def test_start_after_end_requests_nothing_but_looks_up_the_contract(self, cache_dir):
        broker = SimulatedBroker(unknown_code="raise")
        df = Ticker(broker).fetch_sino_history_ticks("2330", "Stock", "2024-01-03", "2024-01-02")
        assert df.shape == (0, 8) and broker.tick_requests == []
        with pytest.raises(KeyError):
            Ticker(broker).fetch_sino_history_ticks("9999", "Stock", "2024-01-03", "2024-01-02")

    def test_today_is_returned_but_never_written(self, cache_dir):
        today = dt.date.today().strftime("%Y-%m-%d")
        broker = FixedAnswerBroker({key: [1] for key in TICK_COLUMNS})
        df = Ticker(broker).fetch_sino_history_ticks("2330", "Stock", today, today)
        assert df.shape == (1, 8) and df["close"].dtype == pl.Float64
        assert cache_files(cache_dir) == []

    def test_no_answer_is_a_type_error(self):
        with pytest.raises(TypeError, match="^argument after \\*\\* must be a mapping, not NoneType$"):
            Ticker(FixedAnswerBroker(None)).fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")


class TestColumnOrder:
    def test_reordered_answer_is_framed_and_cached_in_schema_order(self, cache_dir):
        expected = SimulatedBroker(ticks_per_day=3).ticks(
            SimulatedBroker().Contracts.Stocks["2330"], "2024-01-02")
        ticker = Ticker(ReorderedBroker(ticks_per_day=3))
        df = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert df.columns == list(TICK_COLUMNS)
        assert df["close"].to_list() == expected.close and df["ts"].to_list() == expected.ts
        cached = ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert cached["volume"].to_list() == expected.volume

    def test_missing_column_is_named(self):
        answer = {key: [1] for key in TICK_COLUMNS if key != "bid_price"}
        with pytest.raises(ValueError, match="缺少欄位: bid_price$"):
            Ticker(FixedAnswerBroker(answer)).fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")


class TestEmptyDays:
    def test_empty_weekend_day_is_cached_and_read_back_without_the_api(self, cache_dir, console):
        broker = SimulatedBroker()
        ticker = Ticker(broker)
        ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-06", "2024-01-06")  # a Saturday
        assert (cache_dir / "2330 2024-01-06 - ticks.csv").read_text().splitlines() == [HEADER]
        df = ticker._Ticker__auto_fetch_ticks("2330", "Future", "2024-01-06")
        assert df.shape == (0, 9) and df.columns[-1] == "code"
        assert len(broker.tick_requests) == 1
        assert console.lines[-1].startswith("[green]檔案 ") and console.lines[-1].endswith(" 已存在, 開始讀取檔案...[/green]")

    def test_empty_weekday_is_not_cached(self, cache_dir):
        broker = SimulatedBroker(holidays=["2024-01-02"])
        ticker = Ticker(broker)
        for _ in range(2):
            assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02").shape == (0, 9)
        assert broker.tick_requests == [("2330", "2024-01-02")] * 2
        assert cache_files(cache_dir) == []


class TestAutoFetch:
    def test_past_day_downloaded_once_then_read_from_cache(self, cache_dir, console):
        broker = SimulatedBroker(ticks_per_day=5)
        ticker = Ticker(broker)
        first = ticker._Ticker__auto_fetch_ticks("TXFR1", "Future", "2024-01-02")
        second = ticker._Ticker__auto_fetch_ticks("TXFR1", "Stock", "2024-01-02")
        assert broker.tick_requests == [("TXFR1", "2024-01-02")]
        assert first.equals(second) and first.columns == [*TICK_COLUMNS, "code"]
        assert first["code"].to_list() == ["TXFR1"] * 5 and first["code"].dtype == pl.String
        path = cache_dir / "TXFR1 2024-01-02 - ticks.csv"
        assert console.lines[0] == f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]"


class TestAtomicWrite:
    def test_failed_write_leaves_no_file(self, cache_dir, monkeypatch):
        def failing_write(df, path):
            with open(path, "w") as partial:
                partial.write("ts,clo")
            raise OSError("disk full")

        monkeypatch.setattr(pl.DataFrame, "write_csv", failing_write)
        ticker = Ticker(SimulatedBroker(ticks_per_day=2))
        with pytest.raises(OSError, match="disk full"):
            ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert cache_files(cache_dir) == []

    def test_rewrite_replaces_the_file_and_leaves_no_temporary(self, cache_dir):
        ticker = Ticker(SimulatedBroker(ticks_per_day=2))
        for _ in range(2):
            ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-03")
        assert cache_files(cache_dir) == ["2330 2024-01-02 - ticks.csv", "2330 2024-01-03 - ticks.csv",
                                          "manifest.json", "manifest.lock"]
