"""The run's watch over the days it loads: each is checked (`quorvel.data.checks`) before its
first tick is replayed.

A fault stops the run with `DataFaultError`, one line naming the code, the day and the first
bad row; under `RunSettings.accept_data_faults` the day is replayed and each fault kept as a
warning (`BacktestResult.data_faults`, also among `warnings`).  Days follow each other in time
when each lies within its own sessions, so time going backwards from one day to the next is
caught by the day's own checks.
"""

from __future__ import annotations

from typing import List, Optional, Sequence, Tuple

import polars as pl

from quorvel.backtest.errors import DataFaultError
from quorvel.backtest.results.result import BacktestResult
from quorvel.data.checks import DataFault, faults_text, frame_faults
from quorvel.market import MarketRules

__all__ = ["DataWatch"]

ADVICE = "the run was stopped before replaying it (--accept-data-faults replays it with a warning)"


class DataWatch:
    """The checks of a run's days, and what becomes of their faults."""

    def __init__(self, result: BacktestResult, codes: Sequence[str]) -> None:
        self.result = result
        self.codes = list(codes)
        self.rules: MarketRules = result.settings.market
        self.accept = result.settings.accept_data_faults

    def faults(
        self,
        frame: pl.DataFrame,
        *,
        day: Optional[str] = None,
        span: Optional[Tuple[str, str]] = None,
    ) -> List[DataFault]:
        """The faults of a frame the feed loaded, for one `day` or a `span` (see
        `frame_faults`); safe to call from a loading thread."""
        return frame_faults(frame, self.codes, self.rules, day=day, span=span)

    def settle(self, faults: Sequence[DataFault]) -> None:
        """Stop the run for `faults`, or keep them as warnings where they are accepted."""
        if not faults:
            return
        if not self.accept:
            raise DataFaultError(f"{faults_text(faults)}; {ADVICE}", faults)
        texts = [f"data fault: {fault}" for fault in faults]
        self.result.data_faults += [str(fault) for fault in faults]
        self.result.warnings += texts

    def check(self, frame: pl.DataFrame, span: Tuple[str, str]) -> None:
        """Check a frame of `span` and settle its faults at once."""
        self.settle(self.faults(frame, span=span))
