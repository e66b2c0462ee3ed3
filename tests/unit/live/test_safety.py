"""The risk caps as settings and as checks: bad values refused in one line, the order rate
counted over a sliding minute, a position cap that never refuses an order that reduces, and
the back-off's doubling waits."""

import pytest

from quorvel.backtest import OrderError, RiskCaps
from quorvel.live.safety import Backoff, Caps


@pytest.mark.parametrize("caps, message", [
    ({"max_order": 0}, "max_order must be a whole number from 1 to 1,000,000, or None, not 0"),
    ({"orders_per_minute": 251},
     "orders_per_minute must be a whole number from 1 to 250, not 251"),
    ({"max_daily_loss": -1.0}, "max_daily_loss must be a number of at least 0, or None, not -1.0"),
    ({"max_position": True},
     "max_position must be a whole number from 1 to 1,000,000, or None, not True"),
])
def test_a_cap_that_cannot_be_is_refused_in_one_line(caps, message):
    with pytest.raises(ValueError) as refused:
        RiskCaps(**caps)
    assert str(refused.value) == message


def test_the_caps_count_a_sliding_minute_and_let_a_position_shrink():
    now = [0.0]
    caps = Caps(RiskCaps(max_position=2, orders_per_minute=2), clock=lambda: now[0])
    caps.check_rate()
    now[0] = 30.0
    caps.check_rate()
    with pytest.raises(OrderError):
        caps.check_rate()
    now[0] = 60.5  # the first has left the minute
    caps.check_rate()
    caps.check_order("2330", -1, 4)  # long 5 (taken over), selling 1: allowed
    with pytest.raises(OrderError, match=r"could reach \+3"):
        caps.check_order("2330", 1, 3)
    caps.check_order("2330", 1, -4)  # short 5 (taken over), buying 1: allowed
    with pytest.raises(OrderError, match=r"could reach -5"):
        caps.check_order("2330", -10, -5)  # long 5, selling 10: turned over beyond the cap
    assert caps.refused == 3
    losing = Caps(RiskCaps(max_daily_loss=1000))
    assert losing.loss_breached(-999.0) is None
    assert losing.loss_breached(-1000.0) == (
        "the day's loss 1,000 NTD reached the daily loss cap of 1,000 NTD")
    backoff = Backoff(3, 0.5)
    assert [backoff.next_wait() for _ in range(4)] == [0.5, 1.0, 2.0, None]
