"""One data directory keeps each tick source apart; the backfill counts trading days back."""

import json
import os
import re

import pytest

from quorvel import cli
from quorvel.backtest import RunSettings, run_backtest
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.sim import SimulatedBroker

ONE_DAY = ("2024-01-08", "2024-01-08")
# What a run of ONE_DAY asks the broker: the trading day before, for its reference price, too.
ONE_DAY_REQUESTS = [("2330", "2024-01-05"), ("2330", "2024-01-08")]


@pytest.fixture(scope="module")
def ticker_built():
    return pytest.importorskip("quorvel.modules.ticker.ticker")


def closes(result):
    return [report["price"] for report in result.reports if "operation_type" not in report]


class TestCacheSources:
    def test_another_seed_or_tick_count_is_not_served_from_the_cache(self, ticker_built, tmp_path):
        def run(broker):
            return run_backtest(broker, ["2330"], RunSettings(ONE_DAY, None), data_dir=str(tmp_path))

        first = run(SimulatedBroker(0, ticks_per_day=40))
        seven, fewer = SimulatedBroker(7, ticks_per_day=40), SimulatedBroker(0, ticks_per_day=20)
        assert run(seven).live_ticks == 40 and seven.tick_requests == ONE_DAY_REQUESTS
        assert run(fewer).live_ticks == 20 and fewer.tick_requests == ONE_DAY_REQUESTS
        again = SimulatedBroker(0, ticks_per_day=40)
        assert closes(run(again)) == closes(first) and again.tick_requests == []
        assert sorted(os.listdir(tmp_path)) == sorted(
            broker.tick_source for broker in (again, seven, fewer)
        )

    def test_an_api_without_a_source_name_caches_in_the_data_directory(self, tmp_path):
        assert cache_directory(str(tmp_path), object()) == str(tmp_path)
        broker = SimulatedBroker(3)
        assert cache_directory("~/data", broker) == os.path.join(
            os.path.expanduser("~/data"), broker.tick_source
        )

    @pytest.mark.parametrize("source", ["../../x", "/x", "a\\b", ".", "x\n"])
    def test_a_source_name_that_is_not_one_folder_caches_under_a_digest_inside(self, source):
        broker = type("Broker", (), {"tick_source": source})()
        assert re.fullmatch("/data/source-[0-9a-f]{16}", cache_directory("/data", broker))


class TestBackfill:
    def test_run_backtest_warms_up_on_the_two_trading_days_before_the_period(
        self, ticker_built, tmp_path
    ):
        broker = SimulatedBroker(ticks_per_day=5)
        result = run_backtest(broker, ["2330"], RunSettings(("2024-02-15",) * 2), data_dir=str(tmp_path))
        assert result.backfill == ("2024-02-02", "2024-02-05")
        assert result.backfill_ticks == 10

    @pytest.mark.parametrize(
        "options, backfill",
        [
            (["--start", "2023-01-02", "--end", "2023-01-03"], ["2022-12-29", "2022-12-30"]),
            (["--start", "2024-03-04", "--end", "2024-03-04"], ["2024-02-29", "2024-03-01"]),
            (["--backfill-days", "3"], ["2024-01-03", "2024-01-05"]),
            (["--backfill-days", "0"], None),
            (["--no-backfill"], None),
            (
                ["--backfill-start", "2024-01-02", "--backfill-end", "2024-01-03"],
                ["2024-01-02", "2024-01-03"],
            ),
            (["--backfill-start", "2024-01-03"], ["2024-01-03", "2024-01-05"]),
        ],
    )
    def test_command_line_backfill(self, ticker_built, tmp_path, options, backfill):
        argv = ["--codes", "2330", "--ticks-per-day", "5", "--start", "2024-01-08"]
        argv += ["--end", "2024-01-08"]
        assert cli.main([*argv, *options, "--output", str(tmp_path)]) == 0
        summary = json.loads((tmp_path / "summary.json").read_text())
        assert summary["settings"]["backfill"] == backfill

    @pytest.mark.parametrize(
        "options, message",
        [
            (["--backfill-end", "2024-01-08"], "the backfill must end before the period starts"),
            (
                ["--backfill-start", "2024-01-05", "--backfill-end", "2024-01-04"],
                "lies after --backfill-end",
            ),
            (
                ["--start", "2000-01-04", "--end", "2000-01-05"],
                "backfill: the XTAI calendar has no 2 trading days before 2000-01-04",
            ),
            (["--backfill-days", "-1"], "argument --backfill-days: must be at least 0, got -1"),
        ],
    )
    def test_bad_backfill_exits_with_2_and_says_why(self, options, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(options)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err
