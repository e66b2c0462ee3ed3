"""The windows of a walk-forward over a period's trading days, rolling and anchored."""

import datetime as dt

import pytest

from quorvel.sweep import SweepError, WalkForward

DAYS = [dt.date(2024, 1, 1) + dt.timedelta(days=n) for n in range(7)]


def spans(pairs):
    return [tuple((DAYS[a].isoformat(), DAYS[b].isoformat()) for a, b in pair) for pair in pairs]


@pytest.mark.parametrize(
    "walk, expected",
    [
        (WalkForward(3, 2), [((0, 2), (3, 4)), ((2, 4), (5, 6))]),
        (WalkForward(3, 2, anchored=True), [((0, 2), (3, 4)), ((0, 4), (5, 6))]),
        # The last window's test days may be fewer.
        (WalkForward(4, 2), [((0, 3), (4, 5)), ((2, 5), (6, 6))]),
    ],
)
def test_test_days_follow_one_another_after_their_training_days(walk, expected):
    assert walk.windows(DAYS) == spans(expected)


def test_a_period_without_a_test_day_is_refused_in_one_line():
    with pytest.raises(
        SweepError, match="^the period has 7 trading days; a walk-forward of 7:1 needs more than 7$"
    ):
        WalkForward(7, 1).windows(DAYS)
