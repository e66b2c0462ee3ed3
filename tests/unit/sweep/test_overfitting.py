"""The overfitting statistics against the papers' worked inputs, the definition computed the
long way, and synthetic returns whose answer is known."""

import itertools
import math
import random
import statistics

import pytest

from quorvel.sweep.overfitting import (
    daily_sharpe,
    deflated_sharpe_ratio,
    expected_maximum_sharpe,
    overfitting_of,
    probability_of_overfitting,
)


def test_the_deflated_sharpe_ratio_papers_example():
    # 100 trials whose annualised Sharpe ratios vary by 1/2, a best of 2.5 a year over 1250
    # daily returns with skewness -3 and kurtosis 10, 250 days a year: SR0 0.1132, DSR 0.9004.
    benchmark = expected_maximum_sharpe(100, 0.5 / 250)
    assert benchmark == pytest.approx(0.1132, abs=5e-5)
    dsr = deflated_sharpe_ratio(2.5 / math.sqrt(250), benchmark, 1250, -3, 10)
    assert dsr == pytest.approx(0.9004, abs=5e-4)


@pytest.mark.parametrize(
    "first, second, pbo",
    [
        # Each is best on the half of the days where the other is worst: always overfit.
        ([0.01, 0.02, -0.01, -0.02], [-0.01, -0.02, 0.01, 0.02], 1.0),
        # The first is better on both halves: never.
        ([0.01, 0.03, 0.02, 0.04], [-0.01, -0.03, -0.02, -0.04], 0.0),
    ],
)
def test_two_blocks_worked_by_hand(first, second, pbo):
    assert probability_of_overfitting([first, second], 2) == pbo


def test_the_blocks_sums_give_the_definition_computed_day_by_day():
    rng = random.Random(3)  # the chosen one on the median (rank 4) 4 times
    returns = [[rng.gauss(0.0005 * n, 0.01) for _ in range(13)] for n in range(7)]
    sizes = [3, 2, 2, 2, 2, 2]  # 13 days in 6 blocks: the first a day longer
    starts = [sum(sizes[:b]) for b in range(6)]
    blocks = [range(start, start + size) for start, size in zip(starts, sizes)]
    overfit = []
    for half in itertools.combinations(range(6), 3):
        days_in = [d for b in half for d in blocks[b]]
        days_out = [d for b in range(6) if b not in half for d in blocks[b]]

        def sharpe(trial, days):
            values = [returns[trial][d] for d in days]
            return statistics.mean(values) / statistics.stdev(values)

        chosen = max(range(7), key=lambda trial: sharpe(trial, days_in))
        out = sorted(sharpe(trial, days_out) for trial in range(7))
        rank = out.index(sharpe(chosen, days_out)) + 1
        logit = math.log(rank / 8 / (1 - rank / 8))
        overfit.append(1.0 if logit < 0 else 0.5 if logit == 0 else 0.0)
    assert probability_of_overfitting(returns, 6) == pytest.approx(statistics.mean(overfit))


def synthetic(seed, edge):
    """Ten combinations of 120 daily returns of pure noise, the best by Sharpe ratio first;
    with an `edge`, the first is made better than the others by that much a day."""
    rng = random.Random(seed)
    trials = [[rng.gauss(0, 0.01) for _ in range(120)] for _ in range(10)]
    if edge:
        trials[0] = [value + edge for value in trials[0]]
    return sorted(trials, key=daily_sharpe, reverse=True)


@pytest.mark.parametrize("edge, pbo, dsr", [(0.0, 0.5, 0.5), (0.006, 0.0, 1.0)])
def test_noise_is_a_coin_toss_and_a_truly_better_one_is_found(edge, pbo, dsr):
    statistics_of = [overfitting_of(synthetic(seed, edge), 8) for seed in range(20)]
    assert {(s.trials, s.days, s.splits, s.halvings) for s in statistics_of} == {(10, 120, 8, 70)}
    assert statistics.mean(s.pbo for s in statistics_of) == pytest.approx(pbo, abs=0.1)
    assert statistics.mean(s.deflated_sharpe for s in statistics_of) == pytest.approx(dsr, abs=0.1)


@pytest.mark.parametrize(
    "returns, splits, note",
    [
        ([[0.01, -0.01]], None, "overfitting statistics: they need two finished runs"),
        ([[0.0] * 6, [0.01, -0.01] * 3], None, "deflated Sharpe ratio: the best run's daily "
         "returns do not vary"),
        ([[0.01, -0.02, 0.03]] * 2, None, "probability of backtest overfitting: it needs 4 days"),
        ([[0.01, -0.02, 0.03], [0.01, 0.02]], None, "probability of backtest overfitting: "
         "the runs' days differ"),
    ],
)
def test_what_cannot_be_computed_says_why(returns, splits, note):
    assert overfitting_of(returns, splits).notes == [note]


def test_fewer_days_than_blocks_cut_them_a_day_each_rounded_to_even():
    statistics_of = overfitting_of(synthetic(1, 0.0), 16)
    assert (statistics_of.splits, statistics_of.halvings) == (16, 12870)
    few = overfitting_of([trial[:7] for trial in synthetic(1, 0.0)])
    assert (few.splits, few.halvings, few.days) == (6, 20, 7)
