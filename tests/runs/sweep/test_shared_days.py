"""A sweep's worker keeps its days: rows equal lone runs, a changed file is loaded afresh."""

import functools

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import RunSettings, run_backtest
from quorvel.backtest.engine import kept_days
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.backtest.output.files import summary
from quorvel.cache import day_files
from quorvel.sim import SimulatedBroker
from quorvel.sweep.runner import SweepSettings, run_one

PERIOD, BACKFILL, DAYS = ("2024-01-08", "2024-01-09"), ("2024-01-05", "2024-01-05"), 3
BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=300)
GRID = [{"ma": ma, "every": 10, "lot": 2} for ma in (20, 30, 40)]
pytestmark = pytest.mark.usefixtures("engines_built")


def alone(settings, params):
    return summary(run_backtest(BROKER(), settings.codes, settings.run, data_dir=settings.data_dir,
                                strategy=MeanReversion(**params)))["total"]


def rows(settings, grid):
    return [run_one(BROKER, MeanReversion, params, settings).figures for params in grid]


@pytest.fixture
def settings(data_dir):
    """The cache filled by a lone run (a day the broker gives is not kept); the raw exchange,
    where only the days' loads tell each code's market."""
    settings = SweepSettings(("2330", "TXFR1"), RunSettings(PERIOD, BACKFILL, market_rules=None),
                             str(data_dir))
    alone(settings, GRID[0])
    return settings


def test_rows_of_tasks_that_take_kept_days_equal_lone_runs(settings):
    lone = [alone(settings, params) for params in GRID]
    assert kept_days.kept_days() is None and rows(settings, GRID) == lone
    assert kept_days.kept_days().uses == DAYS * (len(GRID) - 1)
    assert len({figures["net_pnl"] for figures in lone}) > 1 and all(f["fills"] for f in lone)


def test_a_day_whose_file_changed_is_loaded_again(settings, monkeypatch):
    [first] = rows(settings, GRID[:1])
    path = day_files.day_file_path(cache_directory(settings.data_dir, BROKER()), "TXFR1", PERIOD[1])
    day = day_files.read_day(path, day_files.TICK_SCHEMA)
    day_files.store_day(day.head(day.height // 3), path)  # as the feed writes a day
    [again], store = rows(settings, GRID[:1]), kept_days.kept_days()
    monkeypatch.setattr(kept_days, "_kept", None)
    assert store.uses == DAYS - 1 and again == alone(settings, GRID[0]) != first


def test_a_full_store_keeps_no_more_days(settings, monkeypatch):
    rows(settings, GRID[:1])
    whole = kept_days.kept_days()
    monkeypatch.setattr(kept_days, "_kept", None)
    limit = whole.size * 5 // (2 * DAYS)  # two days and a half: the days are of a size
    store = kept_days.keep_days(limit)
    rows(settings, GRID[:2])
    assert whole.uses == 0 and store.uses == 2 and 0 < store.size <= limit
