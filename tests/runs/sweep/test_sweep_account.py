"""A sweep's runs trade in the account its settings describe."""

import functools

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import AccountRules, CostModel, RunSettings, run_backtest
from quorvel.backtest.output.files import summary
from quorvel.sim import SimulatedBroker
from quorvel.sweep import SweepSettings
from quorvel.sweep.runner import run_one

BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=200)
CODES = ("2330", "TXFR1")
PERIOD = ("2024-01-08", "2024-01-08")


@pytest.mark.parametrize(
    "account",
    [
        dict(capital=3e6, account=AccountRules(stock_account="margin"), account_rules=True),
        dict(capital=2e5, account=AccountRules(), account_rules=False),
    ],
    ids=["margin", "unlimited"],
)
def test_a_sweep_run_is_the_lone_run_with_the_same_account(tmp_path, account):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    costs = CostModel(futures_fee=40)
    run = RunSettings(PERIOD, None, costs=costs, **account)
    params = {"every": 10, "lot": 2}
    row = run_one(BROKER, MeanReversion, params, SweepSettings(CODES, run, str(tmp_path)))
    alone = run_backtest(BROKER(), CODES, run, data_dir=str(tmp_path), strategy=MeanReversion(**params))
    assert row.error is None and row.figures == summary(alone)["total"]
    assert row.figures["fills"] > 0
