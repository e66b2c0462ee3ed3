"""Futures contract months: when a month's last trading day is, which month a code trades on a
day, and the broker's codes of a month.

A futures code names a month in one of two ways, as the broker's contracts do: explicitly, the
product, the month's letter (A for January to L for December) and the year's last digit
(``TXFH4``: TAIEX futures of August 2024), or continuously, the product and ``R1`` or ``R2``
(the nearest month still trading and the one after it, ``TXFR1``).  Months are "YYYYMM" texts.
"""

from __future__ import annotations

import datetime as dt
import re
from dataclasses import dataclass
from typing import Callable, Optional

__all__ = [
    "MONTH_LETTERS",
    "ContractMonths",
    "continuous_rank",
    "is_explicit_month",
    "month_after",
    "month_code",
]

MONTH_LETTERS = "ABCDEFGHIJKL"
_EXPLICIT = re.compile(r"^([A-Z]{3})([A-L])(\d)$")
_CONTINUOUS = re.compile(r"^([A-Z]{3})R([12])$")


def month_code(product: str, month: str) -> str:
    """The broker's code of one month's contract: the product, the month's letter, the year's
    last digit (``month_code("TXF", "202408")`` is ``TXFH4``)."""
    return f"{product}{MONTH_LETTERS[int(month[4:]) - 1]}{month[3]}"


def continuous_rank(code: str) -> Optional[int]:
    """1 for an R1 code, 2 for an R2 code, None for any other."""
    found = _CONTINUOUS.match(code)
    return int(found.group(2)) if found else None


def is_explicit_month(code: str) -> bool:
    return _EXPLICIT.match(code) is not None


def month_after(month: str, months: int = 1) -> str:
    count = int(month[:4]) * 12 + int(month[4:]) - 1 + months
    return f"{count // 12}{count % 12 + 1:02d}"


@dataclass(frozen=True)
class ContractMonths:
    """When the months of the futures end, as data.

    A month's last trading day is the `expiry_week`-th `expiry_weekday` (Monday 0) of the month,
    or the first trading day after it when the market is closed then; on it the day session
    closes at `last_day_close`.  With `continuous_rolls_on_last_day` the continuous codes follow
    the next month already on the last trading day (R1 is then the nearest month whose last
    trading day lies after the day), as the broker's history answers for them.
    """

    expiry_weekday: int = 2
    expiry_week: int = 3
    last_day_close: dt.time = dt.time(13, 30)
    continuous_rolls_on_last_day: bool = True
    source: str = (
        "TAIFEX TAIEX Futures Contract Specifications: last trading day the third Wednesday of "
        "the delivery month, trading on it until 13:30; the same for Mini and Micro TAIEX "
        "futures and for stock futures"
    )

    def last_trading_day(self, month: str, first_from: Callable[[dt.date], dt.date]) -> dt.date:
        """The last trading day of `month`; `first_from` gives the first trading day on or after
        a date (the calendar's)."""
        first = dt.date(int(month[:4]), int(month[4:]), 1)
        offset = (self.expiry_weekday - first.weekday()) % 7 + 7 * (self.expiry_week - 1)
        return first_from(first + dt.timedelta(days=offset))

    def continuous(
        self, rank: int, day: dt.date, first_from: Callable[[dt.date], dt.date]
    ) -> str:
        """The month that R`rank` follows on trading day `day`."""
        month = f"{day.year}{day.month:02d}"
        last = self.last_trading_day(month, first_from)
        if day > last or (day == last and self.continuous_rolls_on_last_day):
            month = month_after(month)
        return month_after(month, rank - 1)

    def explicit(self, code: str, day: dt.date, first_from: Callable[[dt.date], dt.date]) -> str:
        """The month an explicit code names, read near `day`: of the two years ending in its
        digit around `day`, the one whose month is still to end, unless that is more than two
        years off (then the earlier, ended one)."""
        letter, digit = code[3], int(code[4])
        month_number = MONTH_LETTERS.index(letter) + 1
        year = day.year - (day.year - digit) % 10
        month = f"{year}{month_number:02d}"
        later = f"{year + 10}{month_number:02d}"
        if self.last_trading_day(month, first_from) < day and year + 10 <= day.year + 2:
            return later
        return month

