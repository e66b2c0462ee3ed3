"""The days a sweep's worker keeps for its next runs: the rows of runs that take them equal lone
runs, a day whose file changed is loaded afresh, and the store keeps no more than its limit."""

import functools

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import RunSettings, run_backtest
from quorvel.backtest.engine import kept_days
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.backtest.engine.days import span_days
from quorvel.backtest.output.files import summary
from quorvel.cache import day_files
from quorvel.sim import SimulatedBroker
from quorvel.sweep import SweepSettings
from quorvel.sweep.runner import run_one

PERIOD = ("2024-01-08", "2024-01-09")
BACKFILL = ("2024-01-05", "2024-01-05")
CODES = ("2330", "TXFR1")
BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=300)
DAYS = len(span_days(*BACKFILL)) + len(span_days(*PERIOD))  # the days a run loads
GRID = [{"ma": ma, "every": 10, "lot": 2} for ma in (20, 30, 40)]

pytestmark = pytest.mark.usefixtures("engines_built")


def alone(settings, params):
    """The figures of a lone run."""
    return summary(run_backtest(BROKER(), CODES, settings.run, data_dir=settings.data_dir,
                                strategy=MeanReversion(**params)))["total"]


@pytest.fixture
def settings(data_dir, monkeypatch):
    """A sweep's settings, its tick cache filled by a lone run (a day the broker gave while it
    loaded is not kept), with keeping off until the test's first sweep task turns it on.  The
    raw exchange: without market rules only the days' loads tell the feed each code's market."""
    monkeypatch.setattr(kept_days, "_kept", None)
    run = RunSettings(PERIOD, BACKFILL, market_rules=None)
    settings = SweepSettings(CODES, run, str(data_dir))
    alone(settings, GRID[0])
    return settings


def test_rows_of_tasks_that_take_kept_days_equal_lone_runs(settings):
    lone = [alone(settings, params) for params in GRID]
    assert kept_days.kept_days() is None  # a lone run keeps nothing
    rows = [run_one(BROKER, MeanReversion, params, settings) for params in GRID]
    store = kept_days.kept_days()
    assert store is not None and store.uses == DAYS * (len(GRID) - 1)
    assert [row.error for row in rows] == [None] * len(GRID)
    assert [row.figures for row in rows] == lone
    assert len({figures["net_pnl"] for figures in lone}) > 1 and all(f["fills"] for f in lone)


def test_a_day_whose_file_changed_is_loaded_again(settings, monkeypatch):
    first = run_one(BROKER, MeanReversion, GRID[0], settings)
    path = day_files.day_file_path(
        cache_directory(settings.data_dir, BROKER()), "TXFR1", PERIOD[1]
    )
    day = day_files.read_day(path, day_files.TICK_SCHEMA)
    day_files.store_day(day.head(day.height // 3), path)  # the feed's own way of writing a day
    again = run_one(BROKER, MeanReversion, GRID[0], settings)
    store = kept_days.kept_days()
    monkeypatch.setattr(kept_days, "_kept", None)
    assert store is not None and store.uses == DAYS - 1
    assert again.figures == alone(settings, GRID[0]) and again.figures != first.figures


def test_a_full_store_keeps_no_more_days_and_the_runs_are_the_same(settings, monkeypatch):
    run_one(BROKER, MeanReversion, GRID[0], settings)
    whole = kept_days.kept_days()
    assert whole is not None and whole.uses == 0
    monkeypatch.setattr(kept_days, "_kept", None)
    limit = whole.size * 5 // (2 * DAYS)  # two days and a half: the days are of a size
    store = kept_days.keep_days(limit)
    rows = [run_one(BROKER, MeanReversion, params, settings) for params in GRID[:2]]
    assert store.uses == 2 and 0 < store.size <= limit
    assert rows[1].figures == alone(settings, GRID[1])
