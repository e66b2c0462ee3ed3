"""The timeline keeps what the figures need: one point a day for a strategy that holds nothing,
the points after each report, and between reports the highs and lows of the curves."""

import dataclasses

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from backtest_support import backtest

from quorvel import market
from quorvel.backtest import BacktestResult, CostModel, Strategy
from quorvel.backtest.account.account import Balances
from quorvel.backtest.results.evaluation import Sample, drawdowns, evaluate, revalued
from quorvel.backtest.results.timeline import Timeline

MONDAY = 1_704_704_400.0  # 2024-01-08 09:00, exchange time
DAY = 86_400.0
CODES = ["2330", "TXFR1"]


def kept(offers):
    """The samples a timeline keeps of (timestamp, prices, reports, held) offers."""
    timeline = Timeline(CODES, market.trading_day_of)
    for timestamp, prices, reports, held in offers:
        timeline.add(Sample(timestamp, prices, reports), Balances(0.0, 0.0, 0.0), held, {})
    return list(timeline.points)


class TestKept:
    def test_a_run_that_holds_nothing_keeps_its_first_point_and_each_days_last(self):
        offers = [(MONDAY + day * DAY + minute * 60, {"2330": 600.0 + minute}, 0, {})
                  for day in range(3) for minute in range(5)]
        assert [sample.timestamp for sample in kept(offers)] == [
            MONDAY, MONDAY + 4 * 60, MONDAY + DAY + 4 * 60, MONDAY + 2 * DAY + 4 * 60
        ]

    def test_a_report_keeps_the_point_after_it(self):
        offers = [(MONDAY + minute, {"2330": 600.0}, reports, {})
                  for minute, reports in enumerate([0, 0, 1, 1, 1, 3, 3])]
        # the first point, the points after the reports, and the day's last
        assert [sample.timestamp - MONDAY for sample in kept(offers)] == [0, 2, 5, 6]

    @pytest.mark.parametrize(
        "held, expected",
        [
            # highs 601, 603; the lows after them: 600.5; 602, 601, 600, 599; the last point
            (1000, [600, 601, 600.5, 603, 602, 601, 600, 599, 599.5]),
            # a short position's curve rises as the price falls
            (-1000, [600, 601, 603, 599, 599.5]),
        ],
        ids=["long", "short"],
    )
    def test_between_reports_a_held_codes_highs_and_the_lows_after_them_are_kept(
        self, held, expected
    ):
        prices = [600, 601, 600.5, 603, 602, 601, 601.5, 602, 600, 600.5, 599, 599.5]
        offers = [(MONDAY + minute, {"2330": price}, 1, {"2330": held})
                  for minute, price in enumerate(prices)]
        kept_prices = [sample.prices["2330"] for sample in kept(offers)]
        assert kept_prices == expected

        def largest_fall(prices):
            return max(drawdowns([held * (price - 600) for price in prices]))

        assert largest_fall(kept_prices) == largest_fall(prices)

    def test_two_codes_held_keep_the_highs_of_their_sum_too(self):
        # At the fifth point neither code's curve makes a high or a low; their sum makes a high.
        prices = [(600, 100), (605, 95), (603, 97), (604, 98), (604.5, 99.5), (604, 99.2)]

        def kept_minutes(held):
            offers = [(MONDAY + minute, {"2330": stock, "TXFR1": future}, 1, held)
                      for minute, (stock, future) in enumerate(prices)]
            return [sample.timestamp - MONDAY for sample in kept(offers)]

        assert kept_minutes({"2330": 1000, "TXFR1": 200}) == [0, 1, 2, 4, 5]
        assert kept_minutes({"2330": 1000, "TXFR1": 0}) == [0, 1, 2, 5]


class TestPoints:
    def test_points_and_balances_read_back_as_they_were_kept(self):
        timeline = Timeline(["2330"], market.trading_day_of)
        offers = [
            (Sample(MONDAY, {"2330": 600.5}, 0), Balances(1e6, 0.0, 1e6)),
            (Sample(MONDAY + DAY, {"2330": 601.0, "TXFR1": 17_000.0}, 3), Balances(9e5, 2e5, 7e5)),
            (Sample(MONDAY + 2 * DAY, {"TXFR1": 17_001.0}, 70_000), Balances(8e5, 1e5, 7e5)),
        ]
        for sample, balances in offers:
            timeline.add(sample, balances, {}, {"2330": sample.reports * 10.0})
        assert timeline.points == [sample for sample, _ in offers]
        assert timeline.balances == [balances for _, balances in offers]
        assert timeline.net_pnl() == {"2330": [0.0, 30.0, 700_000.0]}
        assert timeline.points[-1] == offers[-1][0] and timeline.points[1:] == timeline.points[-2:]
        assert type(timeline.points[2].reports) is int
        with pytest.raises(IndexError):
            timeline.points[3]


class Idle(Strategy):
    def on_tick(self, tick):
        pass


def run(data_dir, strategy, engine="replay"):
    return backtest(data_dir, strategy, market_seed=3, ticks_per_day=2_000, period=("2024-01-08", "2024-01-12"),
                    backfill=None, engine=engine, equity_every=10, min_sharpe_days=2)


def test_a_week_of_a_strategy_that_does_nothing_keeps_its_first_point_and_one_a_day(data_dir):
    result = run(data_dir, Idle())
    assert len(result.timeline) == len(result.balances) == 1 + 5


@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_the_figures_from_the_kept_points_are_those_from_every_point(data_dir, monkeypatch, engine):
    offered = []  # every point the engine samples at, offered or not
    sample = BacktestResult.sample

    def recording_sample(self, timestamp, day_end=True):
        offered.append(Sample(timestamp, dict(self.positions.last_prices), len(self.reports)))
        return sample(self, timestamp, day_end)

    monkeypatch.setattr(BacktestResult, "sample", recording_sample)
    result = run(data_dir, MeanReversion(ma=20, band=0.0005, every=10, lot=1, max_position=2),
                 engine)
    assert len(result.timeline) < len(offered) and len(result.reports) > 20
    # The account's own ledger with the kept points, against the reports valued again at every one.
    settings = result.settings
    day_trading = settings.account.day_trading(settings.account_rules)
    ledger, curve = revalued(result.reports, offered, result.contracts, settings.costs, day_trading)
    every = evaluate(ledger, curve, offered[-1].prices, settings.capital, result.day_of, 2)
    figures = result.evaluate()
    assert figures.fills == every.fills
    for code in CODES:
        assert dataclasses.asdict(figures.per_code[code]) == dataclasses.asdict(every.per_code[code])
    total, every_total = figures.total.as_dict(), every.total.as_dict()
    assert total == pytest.approx(every_total, rel=1e-12)
    # Other costs than the account's value the reports again; the same costs read its ledger.
    assert all(mine is kept for mine, kept in zip(figures.fills, result.account.ledger.fills))
    result.settings = settings.replace(costs=CostModel(futures_fee=0.0))
    free = result.evaluate()
    assert free.total.fees < figures.total.fees and free.total.fills == figures.total.fills
    assert total["sharpe"] is not None and total["sharpe"] == every_total["sharpe"]
