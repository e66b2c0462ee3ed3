"""The risk caps a live session holds the strategy's orders to (`RiskCaps`), and the way back
from a lost broker session.

Each cap refuses the order that would breach it with `OrderError` and a one-line reason, before
anything reaches the broker; the daily loss cap stops the strategy instead (the engine cancels
its working orders and refuses every order after).
"""

from __future__ import annotations

import collections
import time
from typing import Callable, Deque, Optional

from quorvel.backtest.errors import OrderError
from quorvel.backtest.settings.caps import RiskCaps

# The window `RiskCaps.orders_per_minute` counts over, in seconds.
MINUTE = 60.0


class Caps:
    """`RiskCaps` applied: each check raises `OrderError` on a breach; `clock` tells the
    seconds the order rate is counted on (the session's clock)."""

    def __init__(self, caps: RiskCaps, clock: Callable[[], float] = time.monotonic) -> None:
        self.caps = caps
        self.clock = clock
        self.sent: Deque[float] = collections.deque()  # when each operation of the last minute went
        self.refused = 0

    def check_order(self, code: str, signed_qty: int, reach: int) -> None:
        """An order of `signed_qty` (a sale negative) of `code`, whose position could reach
        `reach` once the order and the working orders on its side fill."""
        most = self.caps.max_order
        if most is not None and abs(signed_qty) > most:
            self._refuse(f"{abs(signed_qty)} lots of {code} is more than the largest order, {most}")
        most = self.caps.max_position
        # Only an order on the side the position would end beyond the cap is refused: one that
        # reduces never is, and one that turns the position over is when the new side is too big.
        if most is not None and abs(reach) > most and (reach > 0) == (signed_qty > 0):
            self._refuse(
                f"{code}'s position could reach {reach:+d}, beyond the largest position, {most}"
            )

    def check_rate(self) -> None:
        """One more order operation now, unless the last minute had its cap of them."""
        now = self.clock()
        while self.sent and self.sent[0] <= now - MINUTE:
            self.sent.popleft()
        if len(self.sent) >= self.caps.orders_per_minute:
            self._refuse(
                f"{self.caps.orders_per_minute} order operations in the last minute already, "
                "the cap on orders per minute"
            )
        self.sent.append(now)

    def loss_breached(self, net: float) -> Optional[str]:
        """Why the strategy stops, when the day's net P&L `net` (NTD) has reached the daily
        loss cap; None while it has not."""
        most = self.caps.max_daily_loss
        if most is None or net > -most:
            return None
        return f"the day's loss {-net:,.0f} NTD reached the daily loss cap of {most:,.0f} NTD"

    def _refuse(self, message: str) -> None:
        self.refused += 1
        raise OrderError(message)


class Backoff:
    """The waits between attempts to get a lost session back: `first` seconds, twice as long
    each time after, `attempts` in all (`RunSettings.broker_attempts`, `broker_wait`)."""

    def __init__(self, attempts: int, first: float) -> None:
        self.attempts = attempts
        self.first = first
        self.tried = 0

    def next_wait(self) -> Optional[float]:
        """The wait before the next attempt, None once every attempt is spent."""
        if self.tried >= self.attempts:
            return None
        self.tried += 1
        return self.first * 2 ** (self.tried - 1)

    def reset(self) -> None:
        self.tried = 0
