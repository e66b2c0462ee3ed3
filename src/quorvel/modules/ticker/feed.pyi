"""The tick feed's door for the backtest engines."""

from typing import Callable, Dict, List, Optional, Tuple

import polars as pl

from quorvel.modules.ticker.ticker import Ticker

def load(
    ticker: Ticker,
    codes: List[Dict[str, str]],
    start_from: str,
    end_to: str,
    on_day: Optional[Callable[[str, str, int], Optional[bool]]],
) -> pl.DataFrame:
    """The ticks of the instruments `codes` over the period, merged into one frame sorted by
    "ts", then "code": the frame the ticker's sending run replays, through the same cache
    and checks; rows equal in both keep the order of their day file (the feed's own merge
    leaves their order open). A period of one day (start_from == end_to) gives that trading
    day of every listed instrument, merged as the whole period's load orders it, so the days
    of a period loaded one by one follow each other as the period's rows do. `on_day` watches
    each day loaded (see the module's docstring), or is None."""

def observe(
    ticker: Ticker, on_day: Optional[Callable[[str, str, int], Optional[bool]]]
) -> ObservedRun:
    """Observe the ticker's feed for a run, until the ObservedRun returned is stopped: every load
    the ticker makes (send_ticks' own and the backfill thread's) is watched by `on_day` (or None)
    and its frame kept for take_loads(), and every feed thread it starts is recorded for stop().
    Ticks and statuses are delivered as without it. RuntimeError if the ticker is observed already."""

class ObservedRun:
    """A Ticker's run observed through the feed's door, as observe() returns it."""

    def __init__(self, ticker: Ticker) -> None: ...
    def take_loads(self) -> List[Tuple[str, str, pl.DataFrame]]:
        """The loads of the run ended since the last call, in the order they ended: a list of
        (start_from, end_to, frame), the frame being the very one the load gave to its sending run
        (send_ticks' own or the backfill thread's)."""
    def stop(self, timeout: float) -> List[str]:
        """End the run and join its feed threads, `timeout` seconds at most in all: loads under way
        end before their next day, the sending run is stopped (stop_send_ticks), and permits are
        granted, the ticks they release dropped, until the threads end. The ticker is no longer
        observed afterwards. Returns the names of the threads still running, empty when all ended."""
