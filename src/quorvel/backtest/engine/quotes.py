"""The bid and ask as they stood at each code's latest tick, for `Strategy.quote`.

A tick dict carries no bid or ask (its keys stay the feed's), but the frame of ticks an engine
replays has them.  So the engine points a cursor at the frame's row of the tick being replayed
(the replay loop writes it natively, one store per tick; the paced engine counts the ticks it
is handed, which come in the frame's order), and a quote is read only when the strategy asks:
the code's last row at or before the cursor, found by a binary search over the code's rows.
"""

from __future__ import annotations

import array
from typing import Any, Collection, Dict, Optional, Sequence

import polars as pl

from quorvel.backtest.messages import Quote

__all__ = ["QUOTE_COLUMNS", "Quotes"]

QUOTE_COLUMNS = ("bid_price", "bid_volume", "ask_price", "ask_volume")


# The last rows of a replayed frame read first when looking for each code's latest quote; the
# tail read doubles until every code is found or the frame is read whole.
_FIRST_TAIL = 256


class Quotes:
    """The quotes of the frames replayed one after another, as far as the cursor has come, for
    the run's `codes`."""

    def __init__(self, codes: Collection[str]) -> None:
        self.codes = frozenset(codes)
        # The row of the tick being replayed in the frame being replayed; -1 before its first.
        self.cursor = array.array("q", [-1])
        self._frame: Optional[pl.DataFrame] = None
        self._rows: Dict[str, pl.DataFrame] = {}  # code -> its rows of the frame and their quotes
        self._earlier: Dict[str, Quote] = {}  # code -> its latest quote in the frames before

    def replaying(self, frame: pl.DataFrame) -> None:
        """`frame` is replayed next, from its first row; the frame before it was replayed up
        to the cursor."""
        if self._frame is not None:
            self._earlier.update(self._last_quotes(self._frame.head(self.cursor[0] + 1)))
        self._frame, self._rows = frame, {}
        self.cursor[0] = -1

    def latest(self, code: str) -> Optional[Quote]:
        """The quote of `code`'s latest tick up to the cursor, None before its first."""
        row = self.cursor[0]
        if self._frame is not None and row >= 0:
            rows = self._rows.get(code)
            if rows is None:
                rows = self._rows[code] = (
                    self._frame.with_row_index("row")
                    .filter(pl.col("code") == code)
                    .select("row", *QUOTE_COLUMNS)
                )
            found = rows["row"].search_sorted(row, side="right")
            if found:
                return _quote(rows.row(found - 1)[1:])
        earlier = self._earlier.get(code)
        return None if earlier is None else earlier.copy()

    def _last_quotes(self, done: pl.DataFrame) -> Dict[str, Quote]:
        """The quote of each code at its last row of `done`.  The rows are read backwards, a
        tail at a time: every code of a run usually ticks near the end of a frame, so this
        reads a few hundred codes where grouping the whole frame would read every row."""
        codes = done.get_column("code")
        missing, found = set(self.codes), {}
        end, tail = done.height, _FIRST_TAIL
        while missing and end > 0:
            start = max(0, end - tail)
            for offset, code in enumerate(reversed(codes.slice(start, end - start).to_list())):
                if code in missing:
                    missing.discard(code)
                    row = done.row(end - 1 - offset, named=True)
                    found[code] = _quote([row[column] for column in QUOTE_COLUMNS])
                    if not missing:
                        break
            end, tail = start, tail * 2
        return found


def _quote(values: Sequence[Any]) -> Quote:
    bid_price, bid_volume, ask_price, ask_volume = values
    return {
        "bid_price": bid_price,
        "bid_volume": bid_volume,
        "ask_price": ask_price,
        "ask_volume": ask_volume,
    }
