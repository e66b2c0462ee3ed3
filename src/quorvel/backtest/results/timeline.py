"""The run's timeline, kept in proportion to what the strategy does, not to the ticks.

The engines offer a sample every `equity_every` live ticks and at each trading day's last
tick.  Most of them tell nothing the figures need: with nothing held, the equity curve is flat
from one report to the next.  A sample is kept when it can tell something:

* it is the last of its trading day (the daily returns and the Sharpe ratio read each day's
  last point);
* a report came since the sample before it (a fill moves cash, costs and positions); or
* between two reports, where only prices move the curve, it is a new high of a curve since
  the last report, or a new low since that high.  The curves are each code's and, with two
  codes or more held, their sum: with the positions fixed, a code's curve moves with its
  position times its price.

Every point of the curve that is dropped therefore lies between an earlier high and a later
low kept in the same stretch, so the largest fall from a peak, the last prices and the
end-of-day values come out as from every sample.  A code's curve comes out exact to the bit;
the sum's comparisons use position times price, so a near tie of two codes' moves may be
judged differently from the figures' own sum by the float rounding of its last digit.
A strategy that holds nothing keeps one point a day.
"""

from __future__ import annotations

import collections.abc
import datetime as dt
import math
from array import array
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Union

from quorvel.backtest.account.account import Balances
from quorvel.backtest.results.evaluation import Sample

TOTAL = ""  # the key of the sum of the codes' curves


class _Columns:
    """Rows of numbers kept in one array of doubles a column: 8 bytes a value, where a tuple of
    Python objects would cost some 300."""

    def __init__(self, names: Iterable[str]) -> None:
        self.columns: Dict[str, array] = {name: array("d") for name in names}
        self.count = 0

    def append(self, values: Mapping[str, float]) -> None:
        for name in values.keys() - self.columns.keys():  # a code met late: no price before
            self.columns[name] = array("d", [math.nan]) * self.count
        for name, column in self.columns.items():
            column.append(values.get(name, math.nan))
        self.count += 1

    def replace_last(self, values: Mapping[str, float]) -> None:
        self.count -= 1
        for column in self.columns.values():
            column.pop()
        self.append(values)

    def row(self, index: int) -> Dict[str, float]:
        return {name: column[index] for name, column in self.columns.items()}


class _Rows(collections.abc.Sequence):
    """The rows of `_Columns`, each read back as the value it was made of."""

    def __init__(self, columns: _Columns) -> None:
        self._columns = columns

    def __len__(self) -> int:
        return self._columns.count

    def __getitem__(self, index: Union[int, slice]) -> Any:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        if not -len(self) <= index < len(self):
            raise IndexError("timeline index out of range")
        return self._made(self._columns.row(index % len(self)))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, collections.abc.Sequence):
            return NotImplemented
        return len(self) == len(other) and all(mine == theirs for mine, theirs in zip(self, other))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({list(self)!r})"

    def _made(self, row: Dict[str, float]) -> Any:
        raise NotImplementedError


class Points(_Rows):
    """The timeline's points as `Sample`s: the time, the report count, and each code's last
    price (a code without a price yet is left out)."""

    def _made(self, row: Dict[str, float]) -> Sample:
        timestamp, reports = row.pop(_TIME), row.pop(_REPORTS)
        prices = {code: price for code, price in row.items() if not math.isnan(price)}
        return Sample(timestamp, prices, int(reports))


class BalancesAt(_Rows):
    """The account's `Balances` at each point of the timeline."""

    def _made(self, row: Dict[str, float]) -> Balances:
        return Balances(**row)


# The columns of the points besides each code's price: names no code can have.
_TIME, _REPORTS = " time", " reports"


class _Stretch:
    """One curve's marks since the last report: the highest, and the lowest since it."""

    def __init__(self, mark: float) -> None:
        self.high = self.low = mark

    def tells(self, mark: float) -> bool:
        """Whether `mark` is a new high, or a new low since the high; taken in if so."""
        if mark > self.high:
            self.high = self.low = mark
            return True
        if mark < self.low:
            self.low = mark
            return True
        return False


class Timeline:
    """Keeps the samples that can tell something (and the account's balances and each code's
    net P&L with them) in `points` (and `balances`, `net_pnl`), replacing the last one while it
    stands only for its day's end; `day_of` tells the trading day of a moment."""

    def __init__(self, codes: Sequence[str], day_of: Callable[[float], dt.date]) -> None:
        self.day_of = day_of
        self._points = _Columns([_TIME, _REPORTS, *codes])
        self._balances = _Columns(Balances._fields)
        self._net_pnl = _Columns(codes)
        self.points = Points(self._points)
        self.balances = BalancesAt(self._balances)
        self._reports = -1  # reports at the previous sample
        self._stretches: Dict[str, _Stretch] = {}
        self._day: Optional[dt.date] = None  # the trading day of the last sample
        self._day_end_only = False  # whether the last sample is kept only as its day's end

    def add(
        self,
        sample: Sample,
        balances: Balances,
        held: Mapping[str, int],
        net_pnl: Mapping[str, float],
    ) -> None:
        """Offer `sample`, taken with the account's `balances`, `held` (each code's position in
        NTD per price point, short negative) and each code's `net_pnl` in NTD."""
        telling = self._tells(sample, held)
        day = self.day_of(sample.timestamp)
        point = {_TIME: sample.timestamp, _REPORTS: sample.reports, **sample.prices}
        replace = self._day_end_only and day == self._day
        for columns, values in (
            (self._points, point),
            (self._balances, balances._asdict()),
            (self._net_pnl, net_pnl),
        ):
            (columns.replace_last if replace else columns.append)(values)
        self._day_end_only = not telling
        self._day = day

    def net_pnl(self) -> Dict[str, List[float]]:
        """Each code's net P&L in NTD at every point."""
        return {code: column.tolist() for code, column in self._net_pnl.columns.items()}

    def idle(self, reports: int) -> bool:
        """Whether a sample now could tell nothing but its day's end: no report came since the
        last sample (`reports` is the count now), and nothing was held then (positions change
        only with reports)."""
        return reports == self._reports and not self._stretches

    def _tells(self, sample: Sample, held: Mapping[str, int]) -> bool:
        marks = _marks(sample.prices, held)
        if sample.reports != self._reports or marks.keys() != self._stretches.keys():
            self._reports = sample.reports
            self._stretches = {name: _Stretch(mark) for name, mark in marks.items()}
            return True
        # Every stretch is asked, so that each takes the mark in.
        return sum(self._stretches[name].tells(mark) for name, mark in marks.items()) > 0


def _marks(prices: Mapping[str, float], held: Mapping[str, int]) -> Dict[str, float]:
    """Position times price of each code held, and of their sum when two or more are held."""
    marks = {code: quantity * prices.get(code, 0.0) for code, quantity in held.items() if quantity}
    if len(marks) > 1:
        marks[TOTAL] = sum(marks.values())
    return marks
