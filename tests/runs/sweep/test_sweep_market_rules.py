"""A sweep's runs are held to the market rules of its settings, which its files record."""

import functools
import json
from dataclasses import replace

import pytest

from quorvel import market
from quorvel.backtest import Strategy
from quorvel.sim import SimulatedBroker
from quorvel.backtest import RunSettings
from quorvel.sweep import SweepResult, SweepSettings
from quorvel.sweep.runner import run_one


class OffTheStep(Strategy):
    """Bids a tenth of a step above the first price, once."""

    def on_tick(self, tick):
        if not hasattr(self, "bid"):
            self.bid = self.buy(tick["code"], 1, tick["close"] + 0.1)


@pytest.mark.usefixtures("engines_built")
@pytest.mark.parametrize("market_rules, refused", [(market.TAIWAN, True), (None, False)])
def test_each_run_applies_the_settings_rules(tmp_path, market_rules, refused):
    run = RunSettings(("2024-01-08", "2024-01-08"), None, market_rules=market_rules)
    settings = SweepSettings(("2330",), run, str(tmp_path))
    row = run_one(functools.partial(SimulatedBroker, 0, ticks_per_day=20), OffTheStep, {}, settings)
    assert (row.error is not None and "is not on 2330's price step" in row.error) is refused
    assert bool(row.figures) is not refused


def test_the_sweeps_file_records_the_codes_and_every_run_setting(tmp_path):
    run = RunSettings(market_rules=replace(market.TAIWAN, closed_days=("2024-01-03",)))
    SweepResult([], "net_pnl", 0, SweepSettings(("2330",), run), "S").write(str(tmp_path))
    document = json.loads((tmp_path / "sweep.json").read_text())
    assert document["settings"] == {"codes": ["2330"], "data_dir": None, **run.as_dict()}
