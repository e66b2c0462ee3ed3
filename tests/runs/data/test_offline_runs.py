"""Imported days replayed unchanged by both engines, and runs on the tick cache alone."""

import datetime as dt

import pytest

from quorvel import cli
from quorvel.backtest import RunSettings, Strategy, run_backtest
from quorvel.data import CacheOnlyBroker, MissingCachedDay, import_taifex, missing_days

from data_support import TAIFEX_FILES

PERIOD = ("2024-08-19", "2024-08-21")
DAY_BEFORE = "2024-08-16"  # read for the period's first reference prices, and not imported


class NeverAsked(CacheOnlyBroker):
    """The contract registry alone: asking it for a day of the run fails the test; the day
    before is refused as the cache-only stand-in refuses a day the cache lacks."""

    def ticks(self, contract, date):
        if date == DAY_BEFORE:
            raise MissingCachedDay(contract.code, date)
        raise AssertionError(f"the broker was asked for {contract.code} {date}")


class Recorder(Strategy):
    def on_start(self):
        self.ticks = []

    def on_tick(self, tick):
        self.ticks.append((tick["code"], tick["close"], tick["timestamp"]))
        if len(self.ticks) == 1:
            self.buy(tick["code"], 1)


@pytest.fixture
def imported(data_dir):
    import_taifex(TAIFEX_FILES, data_dir)
    return data_dir


@pytest.mark.usefixtures("engines_built")
class TestReplayOfImportedDays:
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_both_engines_replay_the_imported_ticks_without_asking_the_broker(
        self, imported, engine
    ):
        strategy = Recorder()
        result = run_backtest(
            NeverAsked(),
            ["TXFR1", "MXFR1"],
            RunSettings(PERIOD, None, engine=engine, stall_timeout=30),
            data_dir=imported,
            strategy=strategy,
        )
        assert result.live_ticks == len(strategy.ticks) == (9 + 9 + 2) + (2 + 2 + 1)
        first_code, first_close, first_time = strategy.ticks[0]
        # Friday 16 August 15:00, the exchange's wall clock in the broker's convention.
        assert (first_code, first_close) == ("TXFR1", 22010.0)
        assert first_time == dt.datetime(2024, 8, 16, 15, tzinfo=dt.timezone.utc).timestamp()
        same_second = [
            close
            for code, close, _ in strategy.ticks
            if code == "TXFR1" and close in (22031.0, 22032.0, 22029.0)
        ]
        assert same_second == [22031.0, 22032.0, 22029.0] * 2
        # The market order placed on the first tick filled at the second, without a quote to
        # take one price step above its trade: one long contract, in August, settled when R1
        # moved on to September at the last August trade (no final settlement price imported).
        [deal] = [report for report in result.reports if "operation_type" not in report]
        second_close = [close for code, close, _ in strategy.ticks if code == "TXFR1"][1]
        assert deal["price"] == second_close + 1
        assert result.codes_without_quotes == ["TXFR1", "MXFR1"]
        settled = result.fills_frame().filter(kind="settlement").row(0, named=True)
        assert (settled["code"], settled["price"], settled["position"]) == ("TXFR1", 22040.0, 0)
        assert result.per_code()["TXFR1"]["position"] == 0
        assert result.settled_at_last_trade == ["TXF202408"]


class TestOfflineCommand:
    def run(self, data_dir, *extra):
        return cli.main(
            ["--offline", "--data-dir", data_dir, "--codes", "TXFR1", "--no-backfill", *extra]
        )

    def test_a_missing_trading_day_is_one_line_naming_the_code_and_the_day(self, imported, capsys):
        assert self.run(imported, "--start", "2024-08-19", "--end", "2024-08-23") == 1
        out, err = capsys.readouterr()
        assert not out.strip()
        assert err.strip() == (
            "backtest failed: TXFR1 2024-08-22 is not in the tick cache (days missing: 2); an "
            "offline run reads the cache only: import the day with quorvel-import, or run "
            "without --offline"
        )

    @pytest.mark.usefixtures("engines_built")
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_a_corrupt_day_set_aside_is_one_line_naming_it(self, imported, engine, capsys):
        open(f"{imported}/sino/ticks/TXFR1 2024-08-20 - ticks.csv", "a").write("garbage,x\n")
        assert self.run(imported, "--engine", engine, "--start", PERIOD[0], "--end", PERIOD[1]) == 1
        failed = capsys.readouterr().err.strip()
        assert failed.startswith("backtest failed: TXFR1 2024-08-20 is not in the tick cache; ")
        assert "\n" not in failed

    @pytest.mark.usefixtures("engines_built")
    def test_a_run_over_imported_days_and_a_weekend_succeeds(self, imported, capsys):
        assert self.run(imported, "--start", "2024-08-17", "--end", "2024-08-21") == 0
        out = " ".join(capsys.readouterr().out.split())  # as one line, however it wrapped
        assert "backtest failed" not in out
        assert "no quotes in the ticks of TXFR1: market orders filled 1 price step beyond" in out

    def test_offline_needs_the_data_directory(self, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["--offline"])
        assert exit_info.value.code == 2
        assert "--offline reads the tick cache: give its --data-dir" in capsys.readouterr().err


class TestCacheOnlyBroker:
    def test_codes_starting_with_a_digit_are_stocks_the_others_futures(self):
        contracts = CacheOnlyBroker().Contracts
        assert contracts.Stocks["2330"].security_type == "STK"
        assert contracts.Futures["2330"] is None
        assert contracts.Futures["TXFR1"].security_type == "FUT"
        assert contracts.Stocks["TXFR1"] is None

    def test_a_day_without_trading_has_no_ticks_and_a_trading_day_is_refused(self):
        broker = CacheOnlyBroker()
        contract = broker.Contracts.Futures["TXFR1"]
        assert broker.ticks(contract=contract, date="2024-08-17") == {
            name: [] for name in broker.ticks(contract, "2024-02-12")
        }
        with pytest.raises(MissingCachedDay, match="^TXFR1 2024-08-22 is not in the tick cache;"):
            broker.ticks(contract=contract, date="2024-08-22")

    def test_missing_days_are_trading_days_without_a_file(self, imported):
        spans = [("2024-08-15", "2024-08-22")]
        assert missing_days(["TXFR1", "2330"], spans, imported) == [
            ("TXFR1", "2024-08-15"),
            ("TXFR1", "2024-08-16"),
            ("TXFR1", "2024-08-22"),
        ] + [
            ("2330", day)
            for day in (
                "2024-08-15",
                "2024-08-16",
                "2024-08-19",
                "2024-08-20",
                "2024-08-21",
                "2024-08-22",
            )
        ]
