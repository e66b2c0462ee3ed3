"""The data directory that the runs of one test module share, and the runs that several
modules assert on."""

import functools

import pytest
from backtest_support import backtest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import StrategyError
from quorvel.constant import BASIC_INFO


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    """The root conftest's private data directory, here shared by the tests of one module: the
    first run fills the tick cache and the later runs read it."""
    path = tmp_path_factory.mktemp("data")
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr(BASIC_INFO, "data_dir", str(path))
        yield path


class StopsAfter(MeanReversion):
    """Mean reversion that raises once it has seen 150 live ticks."""

    def on_tick(self, tick):
        self.seen = getattr(self, "seen", 0) + 1
        if self.seen > 150:
            raise RuntimeError("enough")
        super().on_tick(tick)


@pytest.fixture(scope="session")
def mean_reversion_runs(tmp_path_factory):
    """The built-in strategy over three days of both codes, run whole and stopped after 150
    live ticks: (complete, partial), shared by the tests of what a run shows and writes."""
    pytest.importorskip("quorvel.modules.ticker.ticker")
    data_dir = tmp_path_factory.mktemp("mean-reversion")
    run = functools.partial(backtest, data_dir, market_seed=2, ticks_per_day=200,
                            period=("2024-01-08", "2024-01-10"), backfill=None)
    complete = run(MeanReversion(ma=20, every=5))
    with pytest.raises(StrategyError) as stopped:
        run(StopsAfter(ma=20, every=5))
    return complete, stopped.value.result
