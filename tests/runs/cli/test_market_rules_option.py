"""--no-market-rules reaches the backtest and the sweep as the raw exchange."""

import pytest

from quorvel import cli, market
from quorvel.backtest import BacktestError
from quorvel.cli import backtest as backtest_command
from quorvel.cli import sweep as sweep_command
from quorvel.sweep import SweepError


@pytest.mark.parametrize("option, market_rules", [([], market.TAIWAN), (["--no-market-rules"], None)])
def test_a_backtest_gets_the_market_rules_unless_told_not_to(
    tmp_path, monkeypatch, option, market_rules
):
    given = {}

    def run_backtest(api, codes, settings, **kwargs):
        given["market_rules"] = settings.market_rules
        raise BacktestError("stopped by the test")

    monkeypatch.setattr(backtest_command, "run_backtest", run_backtest)
    assert cli.main(["--codes", "2330", "--data-dir", str(tmp_path), *option]) == 1
    assert given["market_rules"] is market_rules


@pytest.mark.parametrize("option, market_rules", [([], market.TAIWAN), (["--no-market-rules"], None)])
def test_a_sweep_passes_the_setting_to_its_runs(tmp_path, monkeypatch, option, market_rules):
    given = []

    def run_sweep(broker, strategy, grid, settings, **options):
        given.append(settings)
        raise SweepError("stopped by the test")

    monkeypatch.setattr(sweep_command, "run_sweep", run_sweep)
    argv = ["--codes", "2330", "--data-dir", str(tmp_path), "--sweep", "ma=10,20", *option]
    with pytest.raises(SystemExit):
        cli.main(argv)
    assert [settings.run.market_rules for settings in given] == [market_rules]
