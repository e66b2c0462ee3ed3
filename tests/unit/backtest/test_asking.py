"""A day's ticks asked of the broker again after doubling waits, and given up in one line."""

from unittest import mock

import pytest

from quorvel.backtest.engine.asking import AskedBroker, DayNotFetched, DayNotHeld

GIVEN_UP = "the broker's ticks of 2330 2024-01-10 failed 3 times, the last with OSError: reset"


def test_an_answer_is_asked_again_after_doubling_waits_and_a_day_given_up_once():
    broker, slept = mock.Mock(), []
    broker.ticks.side_effect = [OSError("reset")] * 5 + [{}, KeyError(0)]
    asked = AskedBroker(broker, 3, 0.5, slept.append)
    for _ in range(2):  # the second time at once, as the feed asks a failed day again
        with pytest.raises(DayNotFetched, match=f"^{GIVEN_UP}$") as raised:
            asked.ticks("2330", "2024-01-10")
        assert isinstance(raised.value.__cause__, OSError)
    assert asked.ticks("2330", "2024-01-11") == {}
    with pytest.raises(DayNotHeld, match="^the broker has no ticks of 2330 2024-01-12: KeyError"):
        asked.ticks("2330", "2024-01-12")  # asked once: the broker has no such day
    assert (broker.ticks.call_count, slept) == (7, [0.5, 1.0, 0.5, 1.0])
