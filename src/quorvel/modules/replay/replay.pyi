"""The replay loop: the rows of a combined tick frame walked natively on the caller's thread."""

from typing import Any, Callable, Dict, List, Optional, Protocol, Sized, Tuple

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
    # Optional; absent or None: none.
    cursor: Any  # a one-item writable buffer of 64-bit ints: the row of the tick replayed
    bars: Optional[_BarBuilder]  # the bars built of the ticks, given to on_bar
    on_bar: Callable[[Dict[str, Any]], object]  # read when there are bars
    session_span: Callable[[str, float], Tuple[float, float]]  # (origin, due) of a code's span

class _BarBuilder:
    """Bars of one run's ticks: a capsule made by `bar_builder`, opaque."""

def replay_ticks(frame: pl.DataFrame, hooks: _Hooks) -> None:
    """Replay the rows of `frame` (code, ts, close, volume, tick_type) through the matcher and
    the strategy named by `hooks`."""

def bar_builder(seconds: float) -> _BarBuilder:
    """A builder of bars `seconds` long, for hooks.bars: replay_ticks then gives each bar that a
    tick makes due to hooks.on_bar before the tick's react, and adds the tick to its code's bar."""

def close_bars(hooks: _Hooks) -> None:
    """Give every bar still open in hooks.bars to hooks.on_bar (the end of a phase); the bars of
    later ticks start anew."""
