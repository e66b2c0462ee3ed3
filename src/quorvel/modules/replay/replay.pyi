"""The replay loop: the rows of a combined tick frame walked natively on the caller's thread."""

from typing import Any, Callable, Dict, List, Optional, Protocol, Sized

import polars as pl

class _Hooks(Protocol):
    """What the loop calls and reads for one phase of a run (backfill or live)."""

    market_map: Dict[str, str]  # code -> market, the feed's code_market_map
    format_timestamp: Callable[[int, int], Any]  # the feed's timestamp formatter
    is_backfilling: bool
    set_current_tick: Callable[[Dict[str, Any]], object]  # the matcher's bound methods
    match_deal: Callable[[str, float, int, Any], object]
    responses: Sized  # the report queue's deque: reports are taken while it is not empty
    take_reports: Callable[[], object]
    react: Optional[Callable[[Dict[str, Any]], object]]  # the strategy's warm_up or on_tick
    owed: Sized  # reports not yet given to the strategy
    deliver: Callable[[], object]
    current: List[Any]  # [the tick being replayed]
    sample_rows: List[int]  # rows after which sample() is called, strictly ascending
    sample: Optional[Callable[[], object]]
    checkpoint: Callable[[int], object]  # ticks done, every 4096 ticks and at the end

def replay_ticks(frame: pl.DataFrame, hooks: _Hooks) -> None:
    """Replay the rows of `frame` (code, ts, close, volume, tick_type) through the matcher and
    the strategy named by `hooks`."""
