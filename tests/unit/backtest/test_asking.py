"""A day's ticks asked of the broker again after doubling waits, and given up in one line."""

import types

import pytest

from quorvel.backtest import BacktestError
from quorvel.backtest.engine.asking import AskedBroker, DayNotHeld
from quorvel.data import CacheOnlyBroker

CONTRACT = types.SimpleNamespace(code="TXFR1")
DAY = "2024-08-20"  # a trading day


class Flaky:
    """A broker whose first `failures` answers raise `error`; `asked` counts its answers."""

    def __init__(self, failures, error=None):
        self.failures, self.error, self.asked = failures, error or OSError("reset"), 0

    def ticks(self, contract, date):
        self.asked += 1
        if self.asked <= self.failures:
            raise self.error
        return {"close": [1.0]}


def asking(broker):
    """The broker asked up to three times, 0.5 s before the second attempt; the waits taken."""
    waits = []
    return AskedBroker(broker, 3, 0.5, waits.append), waits


def test_a_failed_answer_is_asked_again_after_doubling_waits():
    broker = Flaky(2)
    asked, waits = asking(broker)
    assert asked.ticks(CONTRACT, DAY) == {"close": [1.0]}
    assert (broker.asked, waits) == (3, [0.5, 1.0])


def test_a_day_that_fails_every_attempt_is_given_up_once_and_then_at_once():
    broker = Flaky(99)
    asked, waits = asking(broker)
    for _ in range(2):
        with pytest.raises(BacktestError) as error:
            asked.ticks(CONTRACT, DAY)
        assert str(error.value) == (
            "the broker's ticks of TXFR1 2024-08-20 failed 3 times, the last with OSError: reset"
        )
        assert not isinstance(error.value, LookupError)
    assert (broker.asked, waits) == (3, [0.5, 1.0])


@pytest.mark.parametrize(
    "broker, message",
    [
        (
            Flaky(99, KeyError("TXFR1")),
            "the broker has no ticks of TXFR1 2024-08-20: KeyError: 'TXFR1'",
        ),
        (
            CacheOnlyBroker(),
            "TXFR1 2024-08-20 is not in the tick cache; an offline run reads the cache only: "
            "import the day with quorvel-import, or run without --offline",
        ),
    ],
    ids=["lookup error", "offline broker"],
)
def test_a_day_the_broker_does_not_have_is_asked_once(broker, message):
    asked, waits = asking(broker)
    for _ in range(2):
        with pytest.raises(DayNotHeld) as error:
            asked.ticks(CONTRACT, DAY)
        assert str(error.value) == message and isinstance(error.value, LookupError)
    assert waits == [] and getattr(broker, "asked", 1) == 1
