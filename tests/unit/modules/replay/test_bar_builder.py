"""The road's bars: given out before the react of the tick that makes them due, at a session's
close, at the end of a phase, each followed by the reports it owes; the spans asked once."""

import math

import polars as pl
import pytest
from test_replay_module import OPEN, SCHEMA, RecordedRoad

replay = pytest.importorskip("quorvel.modules.replay.replay")

VALUES = ("open", "high", "low", "close", "volume", "ticks")


def ticks(rows):
    """A frame of (code, seconds after OPEN, price, volume) rows, in time order."""
    return pl.DataFrame(
        {"code": [code for code, *_ in rows], "ts": [round((OPEN + row[1]) * 1e9) for row in rows],
         "close": [float(row[2]) for row in rows], "volume": [row[3] for row in rows],
         "tick_type": [1] * len(rows)},
        schema=SCHEMA,
    )


def replayed(seconds, rows, **hooks):
    """A road of bars `seconds` long that replayed `rows` (as `ticks` takes them)."""
    return RecordedRoad(seconds=seconds, **hooks).replay(ticks(rows))


def given(road):
    """What the strategy was given: ("tick", code, time) and ("bar", code, start, end, open, high,
    low, close, volume, ticks), times in seconds after OPEN."""
    return [
        ("tick", item["code"], round(item["timestamp"] - OPEN, 3)) if hook == "on_tick" else
        ("bar", item["code"], item["start"] - OPEN, item["end"] - OPEN, *map(item.get, VALUES))
        for hook, item in road.of("on_tick", "on_bar")
    ]


def spans_asked(road):
    """The (code, seconds after OPEN) of each span the builder asked for."""
    return [(code, moment - OPEN) for _, code, moment in road.of("session_span")]


class TestDelivery:
    def test_a_bar_comes_before_the_react_of_the_first_tick_of_any_code_past_its_end(self):
        road = replayed(60, [("A", 1, 10, 1), ("A", 30, 12, 2), ("B", 59, 5, 4), ("B", 60.5, 6, 1),
                             ("A", 130, 9, 1)])
        assert given(road) == [
            ("tick", "A", 1), ("tick", "A", 30), ("tick", "B", 59),
            ("bar", "A", 0, 60, 10.0, 12.0, 10.0, 12.0, 3, 2),
            ("bar", "B", 0, 60, 5.0, 5.0, 5.0, 5.0, 4, 1),
            ("tick", "B", 60.5),
            ("bar", "B", 60, 120, 6.0, 6.0, 6.0, 6.0, 1, 1),
            ("tick", "A", 130),
        ]

    def test_the_bar_of_a_sessions_close_is_given_at_the_first_tick_after_the_close(self):
        # The session holds 0 to 600, both included; the bar from 560 to 630 holds its close.
        road = replayed(70, [("A", 590, 10, 1), ("A", 600, 11, 1), ("B", 600.5, 7, 1)])
        assert given(road) == [
            ("tick", "A", 590), ("tick", "A", 600),
            ("bar", "A", 560, 630, 10.0, 11.0, 10.0, 11.0, 2, 2),
            ("tick", "B", 600.5),
        ]
        road.road.close_bars()
        # A tick between sessions is counted from the close before it.
        assert given(road)[-1] == ("bar", "B", 600, 670, 7.0, 7.0, 7.0, 7.0, 1, 1)

    def test_bars_given_together_come_by_start_then_by_code(self):
        road = replayed(60, [("B", 1, 1, 1), ("A", 61, 2, 1), ("B", 62, 3, 1), ("A", 200, 4, 1)])
        bars = [event[1:4] for event in given(road) if event[0] == "bar"]
        assert bars == [("B", 0, 60), ("A", 60, 120), ("B", 60, 120)]

    def test_close_bars_gives_every_open_bar_and_a_later_phase_starts_anew(self):
        road = replayed(60, [("A", 1, 1, 1), ("B", 2, 2, 1)])
        road.road.close_bars()
        assert [event[1:3] for event in given(road) if event[0] == "bar"] == [("A", 0), ("B", 0)]
        road.road.close_bars()  # nothing open: nothing given
        road.replay(ticks([("A", 3, 3, 1)]))
        road.road.close_bars()
        assert len(road.of("on_bar")) == 3
        assert spans_asked(road) == [("A", 1), ("B", 2), ("A", 3)]

    def test_the_span_is_asked_once_per_code_and_span(self):
        road = replayed(60, [("A", offset, 1, 1) for offset in (1, 400, 700, 900, 1000)])
        assert spans_asked(road) == [("A", 1), ("A", 700), ("A", 1000)]

    def test_each_bar_is_followed_by_the_reports_it_owes(self):
        owed = []
        road = replayed(60, [("A", 1, 1, 1), ("B", 2, 1, 1), ("A", 61, 1, 1)], owed=owed, answers={
            "on_bar": lambda bar: owed.append("report"), "deliver": owed.clear})
        assert [call[0] for call in road.of("on_bar", "deliver", "on_tick")] == [
            "on_tick", "on_tick", "on_bar", "deliver", "on_bar", "deliver", "on_tick"]


class TestRefusals:
    @pytest.mark.parametrize("seconds, span, error, message", [
        *((seconds, print, ValueError, "a bar lasts a positive, finite number of seconds")
          for seconds in (0, -60, math.inf, math.nan)),
        (60, None, TypeError, "session_span must be callable, not NoneType"),
    ])
    def test_a_builder_lasts_a_positive_finite_time_in_spans_told(self, seconds, span, error,
                                                                   message):
        with pytest.raises(error) as refused:
            replay.BarBuilder(seconds, span)
        assert str(refused.value) == message

    @pytest.mark.parametrize("span, error, message", [
        ([OPEN, OPEN + 60], TypeError,
         "session_span(code, moment) must give a tuple (origin, due)"),
        ((OPEN + 5, OPEN + 60), ValueError,
         ("session_span('A', 1704186001.0) gave (1704186005.0, 1704186060.0), a span that does "
          "not hold the moment")),
        ((OPEN, OPEN + 1), ValueError,
         ("session_span('A', 1704186001.0) gave (1704186000.0, 1704186001.0), a span that does "
          "not hold the moment")),
    ])
    def test_a_span_that_does_not_hold_the_moment_is_refused(self, span, error, message):
        road = RecordedRoad(seconds=60, answers={"session_span": lambda code, moment: span})
        with pytest.raises(error) as refused:
            road.replay(ticks([("A", 1, 1, 1)]))
        assert str(refused.value) == message and road.of("on_tick") == []

    def test_ticks_out_of_time_order_are_refused(self):
        with pytest.raises(RuntimeError, match="a tick came out of time order"):
            replayed(60, [("A", 70, 1, 1), ("A", 10, 1, 1)])
