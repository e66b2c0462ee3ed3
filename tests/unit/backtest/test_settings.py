"""A run's settings are checked once, when they are made, and recorded whole."""

from dataclasses import replace

import pytest

from quorvel import market
from quorvel.backtest import RunSettings

WEEK = ("2024-01-08", "2024-01-12")


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(period=("2024-01-12", "2024-01-08")), "period: 2024-01-12 lies after 2024-01-08"),
        (dict(period=("2024-1-8", "Friday")), "period: not a date of the form YYYY-MM-DD: 'Friday'"),
        (dict(backfill=("2024-01-05", "2024-01-08")), "backfill: it must end before the period"),
        (dict(backfill=-1), "backfill (trading days) must be a whole number from 0 to 10,000"),
        (dict(engine="fast"), "engine must be one of replay, paced, not 'fast'"),
        (dict(fill_model="queue-ish"), "fill_model must be one of queue, queue-prob, touch"),
        (dict(latency_ms=-1), "latency_ms must be a number of milliseconds from 0 to 60,000"),
        (dict(slippage_ticks=1.5), "slippage_ticks must be a whole number from 0 to 1,000"),
        (dict(window=0), "window must be a whole number from 1 to 1,000,000, not 0"),
        (dict(capital=float("inf")), "capital must be more than 0 and at most 1e+15 NTD"),
        (dict(capital=True), "capital must be a number of NTD, not True"),
        (dict(min_sharpe_days=-5), "min_sharpe_days must be a whole number from 2 to 10,000"),
        (dict(market_rules=True), "market_rules must be MarketRules or None"),
        (dict(account_rules=1), "account_rules must be True or False, not 1"),
        (dict(stall_timeout=0), "stall_timeout must be a positive number of seconds, not 0"),
        (dict(equity_every=0), "equity_every must be a whole number at least 1, not 0"),
        (dict(costs={}), "costs must be a CostModel, not {}"),
    ],
)
def test_settings_that_cannot_be_are_refused_in_one_line(changes, message):
    with pytest.raises(ValueError) as refused:
        RunSettings(**changes)
    assert str(refused.value).startswith(message) and "\n" not in str(refused.value)


def test_days_are_written_as_the_feed_reads_them_and_counted_by_the_runs_calendar():
    settings = RunSettings(("2024-1-8", "2024-01-12"), backfill=2)
    assert settings.period == WEEK and settings.replace(backfill=None).backfill_range() is None
    assert settings.backfill_range() == ("2024-01-04", "2024-01-05")
    closed = replace(market.TAIWAN, closed_days=("2024-01-05",))
    assert settings.replace(market_rules=closed).backfill_range() == ("2024-01-03", "2024-01-04")
    assert settings.replace(market_rules=None).market is market.TAIWAN  # the raw exchange's days


@pytest.mark.parametrize(
    "rules, recorded",
    [(market.TAIWAN, True), (None, False), (replace(market.TAIWAN, closed_days=("2024-01-03",)), None)],
)
def test_the_files_record_the_settings_whole(rules, recorded):
    document = RunSettings(WEEK, market_rules=rules).as_dict()
    assert document["market_rules"] == (repr(rules) if recorded is None else recorded)
    assert document["period"] == list(WEEK) and document["backfill"] == ["2024-01-04", "2024-01-05"]
    assert document["account"]["rules"] is True
    assert (document["fill_model"], document["latency_ms"], document["slippage_ticks"]) == (
        "queue", 137.0, 1)
    assert set(document) == {
        "period", "backfill", "engine", "window", "fill_model", "latency_ms", "slippage_ticks",
        "compare_fills", "accept_data_faults", "roll", "settlement_prices", "corporate_actions",
        "seed", "capital", "costs", "account", "market_rules", "min_sharpe_days", "stall_timeout",
        "equity_every", "broker_attempts", "broker_wait", "caps",
    }
