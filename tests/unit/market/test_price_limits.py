"""Daily price limits: 10 % around the reference, rounded inward onto the limit's own step."""

from dataclasses import replace

import pytest

from quorvel import market
from quorvel.market import TAIWAN


@pytest.mark.parametrize(
    "code, reference, limits",
    [
        ("2330", 580, (522, 638)),
        ("2330", 9.5, (8.55, 10.45)),  # 10.45 takes the step of its own band (0.05)
        ("2330", 9.6, (8.64, 10.55)),  # 10.56 rounds down to 10.55, not up
        ("2330", 47.0, (42.3, 51.7)),
        ("2330", 95.3, (85.8, 104.5)),  # 85.77 rounds up to 85.8; 104.83 down to 104.5
        ("2330", 930, (837, 1020)),  # 1023 rounds down onto the 5-point grid
        ("0050", 131.05, (117.95, 144.15)),
        ("TXFR1", 17_901, (16_111, 19_691)),
        ("CDFR1", 580, (522, 638)),
    ],
)
def test_limits_round_inward(code, reference, limits):
    assert market.limit_prices(code, reference) == pytest.approx(limits)


@pytest.mark.parametrize(
    "reference, limits",
    [
        (0.05, (0.04, 0.06)),  # 10 % is less than a step: one step each way
        (0.01, (0.01, 0.02)),  # and never below the lowest price
    ],
)
def test_limits_stay_a_step_away_and_above_zero(reference, limits):
    assert market.limit_prices("2330", reference) == pytest.approx(limits)


def test_limits_lie_on_the_step():
    for reference in (8.65, 18.15, 25.75, 48.9, 75.4, 104.0, 170.0, 590.0, 1010.0):
        lower, upper = market.limit_prices("2330", reference)
        assert market.is_on_step("2330", lower) and market.is_on_step("2330", upper)
        assert lower >= reference * 0.9 - 1e-9 and upper <= reference * 1.1 + 1e-9


def test_a_replaced_fraction_applies():
    seven = replace(TAIWAN.stock.limit, fraction=0.07)
    rules = replace(TAIWAN, stock=replace(TAIWAN.stock, limit=seven))
    assert rules.limit_prices("2330", 580) == (540.0, 620.0)  # 539.4 up, 620.6 down
