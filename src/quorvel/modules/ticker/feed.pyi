"""The tick feed's door for the backtest engines: watched loads, and observed runs of a Ticker."""

from typing import Callable, Dict, List, Optional, Tuple

import polars as pl

from quorvel.modules.ticker.ticker import Ticker

# on_day(code, date, rows): called after each day of an instrument is loaded; a true result
# ends the load, which then gives the empty merged frame.
OnDay = Callable[[str, str, int], Optional[bool]]

def load(
    ticker: Ticker,
    codes: List[Dict[str, str]],
    start_from: str,
    end_to: str,
    on_day: Optional[OnDay],
) -> pl.DataFrame:
    """The instruments' ticks over the period, merged by "ts" and "code" as the feed merges them,
    rows equal in both in the order of their day file; a day's load gives that day's rows of the
    period's load."""

def observe(ticker: Ticker, on_day: Optional[OnDay]) -> None:
    """Watch every load of the ticker and record its feed threads, until stop(ticker)."""

def take_loads(ticker: Ticker) -> List[Tuple[str, str, pl.DataFrame]]:
    """The loads of the ticker's observed run ended since the last call, in the order they ended:
    (start_from, end_to, frame), the frame the one its sending run replays."""

def stop(ticker: Ticker, timeout: float) -> List[str]:
    """End the ticker's observed run and join its threads; the names of those still running."""
