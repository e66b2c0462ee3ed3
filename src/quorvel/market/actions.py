"""Corporate actions of listed stocks and ETFs: cash and stock dividends and capital reductions,
each on its ex-date, and the reference price the exchange sets for that day.

An action's figures are per share held at the close of the trading day before its ex-date:
`cash_dividend` NTD (paid on `payment_date`), `stock_dividend` new shares, and
`capital_reduction` shares cancelled.  The ex-date's reference price is the last close less
the cash, over the shares a share becomes:

    reference = (close - cash_dividend) / ((1 + stock_dividend) x (1 - capital_reduction))

to the cent (`ex_reference`; TWSE Operating Rules, Articles 67 and 67-1, and its TAIEX
methodology of 2016-07-22 for the formula; the exchange publishes the reference to the cent,
its opening auction basis on the price step), and the day's limits are counted from it,
rounded inward onto the price step.  Whether the cent is rounded or cut is not stated; one
published reduction (2013, 14.838 published as 14.83) shows it cut, so it is cut here.
"""

from __future__ import annotations

import datetime as dt
import math
import re
from dataclasses import dataclass
from decimal import ROUND_DOWN, Decimal
from typing import Callable, Dict, Iterable, List, Tuple

__all__ = ["CorporateAction", "actions_by_code", "by_trading_day", "merged"]

_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


@dataclass(frozen=True)
class CorporateAction:
    """One corporate action of `code` on its `ex_date` ("YYYY-MM-DD"); `payment_date` empty
    is the ex-date."""

    code: str
    ex_date: str
    cash_dividend: float = 0.0
    stock_dividend: float = 0.0
    payment_date: str = ""
    capital_reduction: float = 0.0
    source: str = ""

    def __post_init__(self) -> None:
        what = f"corporate action of {self.code!r} on {self.ex_date!r}"
        for name in ("ex_date", *(("payment_date",) if self.payment_date else ())):
            value = getattr(self, name)
            try:
                dt.date.fromisoformat(value)
                well_formed = _ISO_DATE.fullmatch(value) is not None
            except (TypeError, ValueError):
                well_formed = False
            if not well_formed:
                raise ValueError(f"{what}: {name} is not a date of the form YYYY-MM-DD")
        if self.payment_date and self.payment_date < self.ex_date:
            raise ValueError(f"{what}: paid on {self.payment_date}, before its ex-date")
        for name, most in (("cash_dividend", math.inf), ("stock_dividend", 10.0), ("capital_reduction", 1.0)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < most:
                raise ValueError(f"{what}: {name} must be from 0 to below {most:g}, not {value!r}")
        if not (self.cash_dividend or self.stock_dividend or self.capital_reduction):
            raise ValueError(f"{what}: no dividend and no reduction")

    @property
    def paid_on(self) -> str:
        return self.payment_date or self.ex_date

    @property
    def share_factor(self) -> float:
        """The shares one share held at the eve becomes."""
        return (1 + self.stock_dividend) * (1 - self.capital_reduction)

    def ex_reference(self, close: float) -> float:
        """The ex-date's reference price after a last close of `close`: the formula above,
        cut to the cent (at least a cent)."""
        exact = (Decimal(str(close)) - Decimal(str(self.cash_dividend))) / Decimal(
            str(self.share_factor)
        )
        return max(float(exact.quantize(Decimal("0.01"), rounding=ROUND_DOWN)), 0.01)

    def as_dict(self) -> Dict[str, object]:
        return {
            "code": self.code,
            "ex_date": self.ex_date,
            "cash_dividend": self.cash_dividend,
            "stock_dividend": self.stock_dividend,
            "payment_date": self.paid_on,
            "capital_reduction": self.capital_reduction,
        }


def actions_by_code(actions: Iterable[CorporateAction]) -> Dict[Tuple[str, str], CorporateAction]:
    """The actions by (code, ex-date); two of one code on one day are one error."""
    found: Dict[Tuple[str, str], CorporateAction] = {}
    for action in actions:
        key = (action.code, action.ex_date)
        if key in found and found[key] != action:
            raise ValueError(f"{action.code} has two corporate actions on {action.ex_date}")
        found[key] = action
    return found


def by_trading_day(
    actions: Iterable[CorporateAction], first_from: Callable[[str], dt.date]
) -> Dict[Tuple[str, dt.date], CorporateAction]:
    """The actions by code and the trading day they take effect on: the ex-date, or where that
    is no trading day the first one after it (`first_from`, the calendar's first trading day on
    or after a date, raising `ValueError` beyond it: such an action is left out)."""
    found: Dict[Tuple[str, dt.date], CorporateAction] = {}
    for action in actions:
        try:
            key = (action.code, first_from(action.ex_date))
        except ValueError:
            continue
        if key in found and found[key] != action:
            raise ValueError(f"{action.code} has two corporate actions taking effect on {key[1]}")
        found[key] = action
    return found


def merged(*tables: Iterable[CorporateAction]) -> List[CorporateAction]:
    """The actions of `tables`, an earlier table's action of a code and ex-date going before a
    later one's."""
    found: Dict[Tuple[str, str], CorporateAction] = {}
    for table in tables:
        for action in table:
            found.setdefault((action.code, action.ex_date), action)
    return sorted(found.values(), key=lambda action: (action.ex_date, action.code))
