"""The same run gives the same files byte for byte: trade ids from a generator seeded by the run's
seed, every parameter the strategy ran with recorded, and money without float noise."""

import json
import re

import polars as pl
import pytest
from quorvel.examples.mean_reversion import MeanReversion

from backtest_support import backtest

from quorvel.backtest import StrategyError
from quorvel.backtest.engine.trade_ids import SeededIds
from quorvel.backtest.output.files import OUTPUT_FILES, rounded_figures, summary, write_outputs

CODES = ["2330", "TXFR1"]
PERIOD = ("2024-01-08", "2024-01-09")
TRADE_ID = re.compile(r"^[_\-0-9a-zA-Z]{16}$")  # nanoid's alphabet, the matcher's length


@pytest.fixture(scope="module")
def matcher_module(engines_built):
    from quorvel.modules.matcher import matcher

    return matcher


def run(data_dir, engine="replay", seed=0, strategy=None):
    return backtest(data_dir, strategy or MeanReversion(ma=20, every=5), market_seed=3,
                    ticks_per_day=150, period=PERIOD, backfill=None, engine=engine, seed=seed)


def trade_ids(result):
    return [report["id"] for report in result.reports if "operation_type" not in report]


class Raises(MeanReversion):
    def on_tick(self, tick):
        raise RuntimeError("no")


class TestSeededTradeIds:
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_the_same_seed_gives_the_same_ids_and_another_seed_others(
        self, engine, data_dir, matcher_module
    ):
        first, again, other = (run(data_dir, engine, seed) for seed in (7, 7, 8))
        assert trade_ids(first) and trade_ids(first) == trade_ids(again)
        assert all(TRADE_ID.match(trade_id) for trade_id in trade_ids(first))
        assert set(trade_ids(first)).isdisjoint(trade_ids(other))

    def test_the_matchers_generator_is_put_back_after_a_run_and_after_a_failed_one(
        self, data_dir, matcher_module
    ):
        own = matcher_module.generate
        run(data_dir)
        assert matcher_module.generate is own
        with pytest.raises(StrategyError):
            run(data_dir, strategy=Raises())
        assert matcher_module.generate is own

    def test_without_a_seed_the_ids_come_from_the_matchers_generator(
        self, data_dir, matcher_module, monkeypatch
    ):
        drawn = iter(range(10_000))
        monkeypatch.setattr(matcher_module, "generate", lambda size: f"{next(drawn):0{size}d}")
        result = run(data_dir, seed=None)
        assert trade_ids(result) and all(trade_id.isdigit() for trade_id in trade_ids(result))

    def test_seeded_ids_take_nanoids_parameters(self):
        assert SeededIds(1)(size=16) == SeededIds(1)(size=16)
        assert len(SeededIds(1)()) == 21 and SeededIds(1)("ab", 40).strip("ab") == ""


class TestSameFiles:
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_two_runs_write_every_file_byte_for_byte_alike(self, engine, data_dir, tmp_path):
        for name in ("first", "second"):
            write_outputs(run(data_dir, engine), str(tmp_path / name))
        for name in OUTPUT_FILES:
            assert (tmp_path / "first" / name).read_bytes() == (
                tmp_path / "second" / name
            ).read_bytes(), name

    def test_the_summary_records_every_parameter_the_strategy_ran_with(self, data_dir):
        settings = summary(run(data_dir))["settings"]
        defaults = MeanReversion.parameters()
        assert settings["parameters"] == {**defaults, "ma": 20, "every": 5}
        assert settings["seed"] == 0 and settings["min_sharpe_days"] == 20
        # The run's settings whole, as RunSettings states them.
        assert {key: settings[key] for key in ("period", "backfill", "engine", "market_rules")} == {
            "period": list(PERIOD), "backfill": None, "engine": "replay", "market_rules": True}


class TestRounding:
    def test_money_is_rounded_to_the_ntd_and_ratios_to_four_places(self):
        noisy = {
            "net_pnl": -2650999.9999999995,
            "fees": 1234.5000001,
            "win_rate": 0.333333333,
            "sharpe": None,
            "fills": 3,
            "avg_price": 580.3333333333,
        }
        assert rounded_figures(noisy) == {
            "net_pnl": -2651000,
            "fees": 1235,
            "win_rate": 0.3333,
            "sharpe": None,
            "fills": 3,
            "avg_price": 580.3333,
        }

    def test_the_files_hold_whole_ntd(self, data_dir, tmp_path):
        result = run(data_dir)
        write_outputs(result, str(tmp_path))
        fills = pl.read_csv(tmp_path / "fills.csv")
        equity = pl.read_csv(tmp_path / "equity.csv")
        assert all(fills[name].dtype == pl.Int64 for name in ("value", "fee", "tax"))
        assert all(
            equity[name].dtype == pl.Int64 for name in equity.columns if name.startswith("net")
        )
        total = json.loads((tmp_path / "summary.json").read_text())["total"]
        assert isinstance(total["net_pnl"], int)
        assert total["net_pnl"] == round(result.evaluate().total.net)
