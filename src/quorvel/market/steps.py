"""Price steps: the ladder of valid prices of an instrument, and arithmetic on it.

A ladder is a list of bands; from each band's lowest price up to the next band's, prices move
by the band's step.  Prices are compared as decimals of twelve significant digits, so a float
that is a step price up to rounding noise (``10.0 + 3 * 0.05`` is 10.149999999999999) counts as
that price, while one written with more digits than its step (628.0000001) does not.
"""

from __future__ import annotations

import bisect
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Optional, Tuple

__all__ = ["MAX_PRICE", "PriceSteps", "as_price", "format_price"]

# A price's significant digits: a float holds 15 to 17, the last few of them rounding noise.
PRICE_DIGITS = 12
# Prices are counted in steps by the decimal context's 28 digits: below this price even a step
# of a millionth leaves them room.  No instrument comes near it.
MAX_PRICE = 1e15


def as_price(price: float) -> Decimal:
    """`price` as a decimal of twelve significant digits; ValueError unless it is a number above
    0 and below `MAX_PRICE`."""
    value = float(price)
    if not 0 < value < MAX_PRICE:  # nan too
        raise ValueError(
            f"a price must be a finite number above 0 and below {MAX_PRICE:g}, got {price!r}"
        )
    return Decimal(f"{value:.{PRICE_DIGITS}g}")


def format_price(price: Decimal) -> str:
    """The shortest plain writing of a price: 568, 10.15, 0.05."""
    return f"{price.normalize():f}"


@dataclass(frozen=True)
class PriceSteps:
    """A price ladder and where it comes from.

    `bands` holds (lowest price of the band, step) pairs in ascending order, the first band
    starting at 0: ``((0, 0.01), (10, 0.05))`` means steps of 0.01 under 10 and of 0.05 from
    10 on.  Every band starts on its own step's grid and ends on it (the next band's lowest
    price is a multiple of the step), so rounding within a band never leaves the ladder.
    `as_of` is the date the source states the ladder in force; `source` names the document.
    """

    bands: Tuple[Tuple[float, float], ...]
    as_of: str = ""
    source: str = ""
    _lowest: Tuple[Decimal, ...] = field(init=False, repr=False, compare=False)
    _steps: Tuple[Decimal, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        lowest = tuple(Decimal(str(low)) for low, _ in self.bands)
        steps = tuple(Decimal(str(step)) for _, step in self.bands)
        if not lowest or lowest[0] != 0:
            raise ValueError(f"a price ladder starts with a band at 0, got {self.bands!r}")
        for index, (low, step) in enumerate(zip(lowest, steps)):
            upper = lowest[index + 1] if index + 1 < len(lowest) else None
            if step <= 0:
                raise ValueError(f"the step of the band from {low} must be above 0, got {step}")
            if upper is not None and upper <= low:
                raise ValueError(f"the bands must rise: {upper} follows {low}")
            if low % step or (upper is not None and upper % step):
                raise ValueError(f"the band from {low} must start and end on its step {step}")
        object.__setattr__(self, "_lowest", lowest)
        object.__setattr__(self, "_steps", steps)

    def step_at(self, price: Decimal) -> Decimal:
        """The step of the band holding `price` (a band holds its lowest price)."""
        return self._steps[bisect.bisect_right(self._lowest, price) - 1]

    def step_below(self, price: Decimal) -> Decimal:
        """The step of the band holding the prices just below `price`."""
        return self._steps[max(bisect.bisect_left(self._lowest, price) - 1, 0)]

    def floor(self, price: Decimal) -> Decimal:
        """The highest price on the ladder at or below `price` (0 below the first step)."""
        step = self.step_at(price)
        return price // step * step

    def ceil(self, price: Decimal) -> Decimal:
        """The lowest price on the ladder at or above `price`."""
        below = self.floor(price)
        return below if below == price else below + self.step_at(price)

    def next_below(self, price: Decimal) -> Optional[Decimal]:
        """The highest price on the ladder strictly below `price`, None when there is none."""
        below = self.floor(price)
        if below == price:
            below = price - self.step_below(price)
        return below if below > 0 else None

    def next_above(self, price: Decimal) -> Decimal:
        """The lowest price on the ladder strictly above `price`."""
        above = self.ceil(price)
        return above if above != price else price + self.step_at(price)
