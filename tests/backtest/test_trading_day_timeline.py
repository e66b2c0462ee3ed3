"""A run's days are trading days: a night session counts for the day it belongs to."""

import datetime as dt

import polars as pl

from quorvel.backtest.engine.road import day_end_rows, same_day
from quorvel.backtest.results.evaluation import daily_returns, exchange_day
from quorvel.market import broker_seconds

FRIDAY_CLOSE = broker_seconds(dt.datetime(2024, 1, 5, 13, 44))
FRIDAY_NIGHT = broker_seconds(dt.datetime(2024, 1, 5, 23, 0))  # Monday's night session
SATURDAY_MORNING = broker_seconds(dt.datetime(2024, 1, 6, 4, 0))
MONDAY = broker_seconds(dt.datetime(2024, 1, 8, 9, 0))
TIMES = [FRIDAY_CLOSE, FRIDAY_NIGHT, SATURDAY_MORNING, MONDAY]


def test_the_night_session_counts_for_the_next_trading_day():
    assert [exchange_day(t).isoformat() for t in TIMES] == [
        "2024-01-05",
        "2024-01-08",
        "2024-01-08",
        "2024-01-08",
    ]
    assert not same_day(FRIDAY_CLOSE, FRIDAY_NIGHT) and same_day(FRIDAY_NIGHT, MONDAY)


def test_the_timeline_samples_each_trading_days_last_tick():
    frame = pl.DataFrame({"ts": [int(t) * 1_000_000_000 for t in TIMES]})
    assert day_end_rows(frame) == {0}  # Friday's last tick, not the one before midnight


def test_daily_returns_are_per_trading_day():
    returns = daily_returns(TIMES, [100.0, 150.0, 250.0, 300.0], capital=1000.0)
    assert returns == [0.1, 0.2]
