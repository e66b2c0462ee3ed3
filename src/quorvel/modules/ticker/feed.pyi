"""The tick feed's door for the backtest engines."""

from typing import Any, List, Tuple

import polars as pl

def load(ticker: Any, codes: Any, start_from: Any, end_to: Any, on_day: Any) -> Any:
    """The ticks of the instruments `codes` over the period, merged into one frame sorted by"""

def observe(ticker: Any, on_day: Any) -> Any:
    """Observe the ticker's feed for a run, until the ObservedRun returned is stopped: every load"""

class ObservedRun:
    """A Ticker's run observed through the feed's door, as observe() returns it."""

    def __init__(self, ticker: Any) -> None: ...
    def take_loads(self) -> List[Tuple[str, str, pl.DataFrame]]:
        """The loads of the run ended since the last call, in the order they ended: a list of"""
    def stop(self, timeout: float) -> List[str]:
        """End the run and join its feed threads, `timeout` seconds at most in all: loads under way"""
