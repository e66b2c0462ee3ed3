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

import datetime as dt
from typing import Dict, List, Mapping, Optional

from quorvel.backtest.account import Balances
from quorvel.backtest.metrics import Sample, exchange_day

TOTAL = ""  # the key of the sum of the codes' curves


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
    """Appends the samples that can tell something to `samples` (and their balances to
    `balances`), replacing the last one while it stands only for its day's end."""

    def __init__(self, samples: List[Sample], balances: List[Balances]) -> None:
        self.samples = samples
        self.balances = balances
        self._reports = -1  # reports at the previous sample
        self._stretches: Dict[str, _Stretch] = {}
        self._day: Optional[dt.date] = None  # the trading day of the last sample
        self._day_end_only = False  # whether the last sample is kept only as its day's end

    def add(self, sample: Sample, balances: Optional[Balances], held: Mapping[str, int]) -> None:
        """Offer `sample`, taken with the account's `balances` (None without an account) and
        `held`, each code's position in NTD per price point (short negative)."""
        telling = self._tells(sample, held)
        day = exchange_day(sample.timestamp)
        if self._day_end_only and day == self._day:
            self.samples[-1] = sample
            if balances is not None:
                self.balances[-1] = balances
        else:
            self.samples.append(sample)
            if balances is not None:
                self.balances.append(balances)
        self._day_end_only = not telling
        self._day = day

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
