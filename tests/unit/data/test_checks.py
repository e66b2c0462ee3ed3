"""The day checks on what the tick feed gives a run: time order, the far months, and a period's
frame split by the trading day its ticks count for."""

import datetime as dt

import polars as pl

from quorvel.data.checks import day_faults, frame_faults
from quorvel.market import TAIWAN


def ticks(*times, code="TXFR1"):
    """Ticks at `times` (wall-clock texts), one contract at 20,000 each."""
    stamps = [int(dt.datetime.fromisoformat(t).replace(tzinfo=dt.timezone.utc).timestamp()) * 10**9
              for t in times]
    return pl.DataFrame({"ts": stamps, "close": 20_000.0, "volume": 1, "code": code})


def test_time_going_backwards_and_empty_far_months():
    day = dt.date(2024, 1, 9)
    backwards = ticks("2024-01-09 09:00:01", "2024-01-09 09:00:00", "2024-01-08 15:00:00")
    [fault] = day_faults("TXFR1", day, backwards, TAIWAN)
    assert fault.text == ("TXFR1 2024-01-09: 2 ticks earlier than the one before, the first at "
                          "row 2 (2024-01-09 09:00:00)")
    assert day_faults("TXFR1", day, backwards, TAIWAN, ordered=False) == []
    empty = ticks().clear()
    assert [day_faults(code, day, empty, TAIWAN) != [] for code in ("TXFR1", "TXFR2")] == [
        True, False]


def test_a_period_is_split_by_the_trading_day_its_ticks_count_for():
    # Friday night's session belongs to Monday; Tuesday has no ticks; a Saturday noon is outside.
    frame = ticks("2024-01-05 15:00:00", "2024-01-06 12:00:00", "2024-01-08 09:00:00")
    faults = frame_faults(frame, ["TXFR1"], TAIWAN, span=("2024-01-08", "2024-01-09"))
    assert [(fault.day, fault.kind, fault.row) for fault in faults] == [
        ("2024-01-08", "outside sessions", 2), ("2024-01-09", "no ticks", None)]
