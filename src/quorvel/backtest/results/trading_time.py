"""Trading time: the stretches in which any of a run's codes trades, and where a moment lies
along them, so that a chart can space its time axis by the hours traded rather than by the
calendar's (nights, weekends and holidays take no room) or by its number of points.
"""

from __future__ import annotations

import bisect
from array import array
from typing import Iterable, List, Tuple

# Two sessions this close (in seconds) are one stretch: one ends at a second the next opens
# right after, and no chart could show the gap.
_JOINED = 2.0


class TradingTime:
    """The run's sessions (`(opens, closes)` in broker seconds, both ends included) merged
    into stretches, and each moment's position along them: its trading seconds since the
    first opening.  A moment between two stretches (a night, a weekend) sits at the next
    opening, one before the first at 0 and one after the last at `total`."""

    def __init__(self, sessions: Iterable[Tuple[float, float]]) -> None:
        self.opens, self.closes = array("d"), array("d")
        for opens, closes in sorted(sessions):
            if self.closes and opens - self.closes[-1] <= _JOINED:
                self.closes[-1] = max(self.closes[-1], closes)
            else:
                self.opens.append(opens)
                self.closes.append(closes)
        # Each stretch's position: the trading seconds of the stretches before it.
        self.starts = array("d", [0.0])
        for opens, closes in zip(self.opens, self.closes):
            self.starts.append(self.starts[-1] + closes - opens)
        self.total = self.starts.pop()

    def position(self, timestamp: float) -> float:
        """Trading seconds from the first opening to `timestamp`."""
        index = bisect.bisect_right(self.opens, timestamp) - 1
        if index < 0:
            return 0.0
        return self.starts[index] + min(timestamp - self.opens[index], self._length(index))

    def moment(self, position: float) -> float:
        """The moment (broker seconds) at `position`, the inverse of `position`: the position
        where one stretch ends and the next begins is the next opening, as a moment between
        them is."""
        if not self.opens:
            return 0.0
        index = max(bisect.bisect_right(self.starts, position) - 1, 0)
        return self.opens[index] + min(max(position - self.starts[index], 0.0), self._length(index))

    def gaps(self) -> List[Tuple[float, float]]:
        """The stretches between two of the run's: from a close to the next opening."""
        return list(zip(self.closes[:-1], self.opens[1:]))

    def _length(self, index: int) -> float:
        return self.closes[index] - self.opens[index]
