"""A run under rules of its own counts everything by them, not by Taiwan's: its backfill days,
its day ends and daily returns, the day-trade buy-back time, and the closed stretches of its
charts, in both engines."""

import datetime as dt
from dataclasses import replace

import pytest
from backtest_support import backtest

from quorvel import market
from quorvel.backtest import AccountRules, Strategy
from quorvel.backtest.output.charts import closed_stretches

# Stocks trade 08:30 to 13:00, and Friday 2024-01-05 and Tuesday 2024-01-09 are closed: the
# offline broker's ticks (Taiwan's days and hours) run on past them.  The run accepts them as
# data faults.
EARLY = market.SessionHours("day", dt.time(8, 30), dt.time(13, 0))
RULES = replace(
    market.TAIWAN,
    stock=replace(market.TAIWAN.stock, sessions=(EARLY,)),
    closed_days=("2024-01-05", "2024-01-09"),
)


class SellsFirst(Strategy):
    """Sells a lot of 2330 first, once a day, and leaves the buy-back to the close."""

    def on_start(self):
        self.days = set()

    def on_tick(self, tick):
        day = tick["timestamp"] // 86_400
        if tick["code"] == "2330" and day not in self.days and not self.position("2330"):
            self.days.add(day)
            self.sell("2330", 1)


@pytest.fixture(scope="module", params=["replay", "paced"])
def result(request, engines_built, data_dir):
    return backtest(data_dir, SellsFirst(), period=("2024-01-08", "2024-01-10"), backfill=2,
                    engine=request.param, market_rules=RULES, account=AccountRules(day_trade=True),
                    accept_data_faults=True)


def test_the_backfill_days_are_counted_by_the_runs_calendar(result):
    assert result.backfill == ("2024-01-03", "2024-01-04")


def test_days_end_and_returns_are_counted_by_the_runs_trading_days(result):
    days = {result.day_of(point.timestamp).isoformat() for point in result.timeline}
    assert days == {"2024-01-08", "2024-01-10"}  # Tuesday's ticks count for Wednesday
    assert result.evaluate().trading_days == 2


def test_a_day_trade_short_is_bought_back_at_the_runs_close(result):
    closes = {warning.split()[1] for warning in result.warnings if "bought back" in warning}
    assert closes and all("13:00:00" <= close < "13:01:00" for close in closes)


def test_the_charts_leave_out_what_the_runs_sessions_leave_out(result):
    # Monday's night session closes at 05:00; the stock opens at 08:30, before the future.
    ends = {end for _, end in closed_stretches(result)}
    assert dt.datetime(2024, 1, 8, 8, 29, 59) in ends and dt.datetime(2024, 1, 8, 8, 44, 59) not in ends
