"""The overfitting statistics on the papers' worked inputs, by definition and on noise."""

import itertools
import math
import random
import statistics

import pytest

from quorvel.sweep.overfitting import daily_sharpe, deflated_sharpe_ratio, expected_maximum_sharpe
from quorvel.sweep.overfitting import overfitting_of, probability_of_overfitting


def test_the_deflated_sharpe_ratio_papers_example():
    # 100 trials whose yearly Sharpe ratios vary by 1/2; the best 2.5 a year over 1250 daily
    # returns of skewness -3 and kurtosis 10, 250 days a year: SR0 0.1132 a day, DSR 0.9004.
    benchmark = expected_maximum_sharpe(100, 0.5 / 250)
    assert benchmark == pytest.approx(0.1132, abs=5e-5)
    dsr = deflated_sharpe_ratio(2.5 / math.sqrt(250), benchmark, 1250, -3, 10)
    assert dsr == pytest.approx(0.9004, abs=5e-4)


def test_probability_of_overfitting_by_hand_and_as_defined_day_by_day():
    # Each against its opposite: best on the half where the other is worst, or on both halves.
    by_hand = ([0.01, 0.03, -0.01, -0.02], [0.01, 0.03, 0.01, 0.02])
    assert [probability_of_overfitting([r, [-x for x in r]], 2) for r in by_hand] == [1.0, 0.0]
    rng = random.Random(3)  # the chosen one on the median (rank 4 of 7) in 4 of the 20 halvings
    returns = [[rng.gauss(0.0005 * n, 0.01) for _ in range(13)] for n in range(7)]
    days = [range(0, 3), *(range(start, start + 2) for start in range(3, 13, 2))]  # 3, 2, ...

    def sharpe(trial, blocks):
        values = [returns[trial][day] for block in blocks for day in days[block]]
        return statistics.mean(values) / statistics.stdev(values)

    overfit = []
    for half in itertools.combinations(range(6), 3):
        rest = [block for block in range(6) if block not in half]
        chosen = max(range(7), key=lambda trial: sharpe(trial, half))
        rank = sorted(sharpe(trial, rest) for trial in range(7)).index(sharpe(chosen, rest)) + 1
        logit = math.log(rank / 8 / (1 - rank / 8))
        overfit.append(logit <= 0)
    assert probability_of_overfitting(returns, 6) == pytest.approx(statistics.mean(overfit))


@pytest.mark.parametrize("edge, pbo, dsr", [(0.0, 0.5, 0.5), (0.006, 0.0, 1.0)])
def test_noise_is_a_coin_toss_and_a_truly_better_one_is_found(edge, pbo, dsr):
    found = []
    for seed in range(20):  # ten combinations of 120 days of noise, the first with the edge
        rng = random.Random(seed)
        trials = [[rng.gauss(0, 0.01) + edge * (n == 0) for _ in range(120)] for n in range(10)]
        found.append(overfitting_of(sorted(trials, key=daily_sharpe, reverse=True), 8))
    assert statistics.mean(s.pbo for s in found) == pytest.approx(pbo, abs=0.1)
    assert statistics.mean(s.deflated_sharpe for s in found) == pytest.approx(dsr, abs=0.1)


def test_what_cannot_be_computed_says_why():
    assert overfitting_of([[0.01, -0.01]]).notes == ["overfitting statistics: they need two "
                                                     "finished runs"]
    flat_best = overfitting_of([[0.0] * 6, [0.01, -0.01] * 3]).notes
    assert flat_best == ["deflated Sharpe ratio: the best run's daily returns do not vary"]
