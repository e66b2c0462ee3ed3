"""The broker as a run asks it for a day's ticks: a failed answer is asked again a few times,
waiting longer each time, and a day given up fails the run with one line naming it.

The tick feed asks the broker object's `ticks(contract=..., date=...)` for each day the cache
lacks and stores the day only once its answer passes the cache's checks, so a failed answer is
never cached.  The feed also tries a failing day again at once, a few times; a day given up
here is remembered, so those attempts fail at once instead of asking the broker again.

A `LookupError` (the broker, or the offline broker's `MissingCachedDay`, has no such day) is
final: asking again would give the same answer.  It becomes `DayNotHeld`, a `LookupError`
still, which the loads of reference prices take as a day the source does not hold.
"""

from __future__ import annotations

import threading
import time
from typing import Any, Callable, Dict, Tuple

from quorvel.backtest.errors import BacktestError
from quorvel.data.offline import MissingCachedDay

__all__ = ["AskedBroker", "DayNotFetched", "DayNotHeld"]


class DayNotFetched(BacktestError):
    """A day whose ticks the broker did not give; `code` and `day` name it."""

    def __init__(self, code: str, day: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.day = day


class DayNotHeld(DayNotFetched, LookupError):
    """A day the broker answered it does not have."""


class AskedBroker:
    """Stands in for the broker object `api` in the tick feed, which uses its `Contracts` and
    `ticks` only: `ticks` is asked up to `attempts` times, `first_wait` seconds before the
    second attempt and twice as long before each one after it (`sleep` waits, the tests pass
    their own)."""

    def __init__(
        self,
        api: Any,
        attempts: int,
        first_wait: float,
        sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        self._api = api
        self._attempts = attempts
        self._first_wait = first_wait
        self._sleep = sleep
        # The days given up, by (code, day), with their failure.
        self._given_up: Dict[Tuple[str, str], DayNotFetched] = {}
        self._lock = threading.Lock()

    @property
    def Contracts(self) -> Any:
        """The broker object's contract registry, under its own name."""
        return self._api.Contracts

    def ticks(self, contract: Any, date: str) -> Any:
        """The broker's answer for the day, or `DayNotFetched` once it is given up."""
        key = (str(getattr(contract, "code", contract)), date)
        with self._lock:
            given_up = self._given_up.get(key)
        if given_up is not None:  # a new exception, so that tracebacks do not pile up on one
            raise type(given_up)(*key, str(given_up)) from given_up.__cause__
        wait, attempt = self._first_wait, 1
        while True:
            try:
                return self._api.ticks(contract=contract, date=date)
            except LookupError as error:
                raise self._given_up_with(key, _missing(key, error)) from error
            except Exception as error:
                if attempt == self._attempts:
                    raise self._given_up_with(key, _failed(key, error, attempt)) from error
            self._sleep(wait)
            wait, attempt = wait * 2, attempt + 1

    def _given_up_with(self, key: Tuple[str, str], failure: DayNotFetched) -> DayNotFetched:
        """`failure`, remembered as the end of the day `key`."""
        with self._lock:
            self._given_up[key] = failure
        return failure


def _missing(key: Tuple[str, str], error: LookupError) -> DayNotHeld:
    """The failure of a day the broker does not have; the offline broker's own line names the
    code and the day already."""
    code, day = key
    if isinstance(error, MissingCachedDay):
        return DayNotHeld(code, day, str(error))
    return DayNotHeld(
        code, day, f"the broker has no ticks of {code} {day}: {type(error).__name__}: {error}"
    )


def _failed(key: Tuple[str, str], error: Exception, attempts: int) -> DayNotFetched:
    code, day = key
    return DayNotFetched(
        code,
        day,
        f"the broker's ticks of {code} {day} failed {attempts} times, "
        f"the last with {type(error).__name__}: {error}",
    )
