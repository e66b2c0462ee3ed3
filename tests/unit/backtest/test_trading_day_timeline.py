"""A run's days are trading days: a night session counts for the day it belongs to."""

import datetime as dt

from quorvel import market
from quorvel.backtest.results.evaluation import daily_returns
from quorvel.market import broker_seconds

FRIDAY_CLOSE = broker_seconds(dt.datetime(2024, 1, 5, 13, 44))
FRIDAY_NIGHT = broker_seconds(dt.datetime(2024, 1, 5, 23, 0))  # Monday's night session
SATURDAY_MORNING = broker_seconds(dt.datetime(2024, 1, 6, 4, 0))
MONDAY = broker_seconds(dt.datetime(2024, 1, 8, 9, 0))
TIMES = [FRIDAY_CLOSE, FRIDAY_NIGHT, SATURDAY_MORNING, MONDAY]


def test_the_night_session_counts_for_the_next_trading_day():
    assert [market.trading_day_of(t).isoformat() for t in TIMES] == [
        "2024-01-05",
        "2024-01-08",
        "2024-01-08",
        "2024-01-08",
    ]


def test_daily_returns_are_per_trading_day():
    returns = daily_returns(TIMES, [100.0, 150.0, 250.0, 300.0], 1000.0, market.trading_day_of)
    assert returns == [0.1, 0.2]
