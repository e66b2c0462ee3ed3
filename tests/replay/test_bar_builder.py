"""The replay loop's bars and quote cursor: bars given out before the react of the tick that
makes them due, at a session's close, at the end of a phase; built as the paced engine's
`BarBuilder` builds them; the row cursor written for every tick."""

import array
import math

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_replay_module import Hooks

from quorvel.backtest.engine.bars import BarBuilder
from quorvel.utils import format_nano_ts_to_second_ts

replay = pytest.importorskip("quorvel.modules.replay.replay")

OPEN = 1_704_186_000.0  # 2024-01-02 09:00 on the broker's clock
SESSION = 600.0  # sessions of 10 minutes, both ends included ...
EVERY = 1_000.0  # ... opening every 1,000 seconds


def session_span(code, moment):
    """A session from each multiple of EVERY after OPEN, the gap after it up to the next."""
    opens = OPEN + math.floor((moment - OPEN) / EVERY) * EVERY
    if moment <= opens + SESSION:
        return opens, math.nextafter(opens + SESSION, math.inf)
    return opens + SESSION, opens + EVERY


def ticks_frame(rows):
    """A frame of (code, seconds after OPEN, price, volume) rows, in time order."""
    return pl.DataFrame(
        {
            "code": [code for code, *_ in rows],
            "ts": [round((OPEN + offset) * 1e9) for _, offset, _, _ in rows],
            "close": [float(price) for _, _, price, _ in rows],
            "volume": [volume for *_, volume in rows],
            "tick_type": [1] * len(rows),
        },
        schema={
            "code": pl.String, "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "tick_type": pl.Int64
        },
    )


class BarHooks(Hooks):
    """Records the ticks and bars in the order the loop gives them, and every span asked."""

    def __init__(self, seconds, span=session_span):
        super().__init__()
        self.market_map = {"A": "Stock", "B": "Stock"}
        self.events = []
        self.react = lambda tick: self.events.append(("tick", tick["code"], tick["timestamp"]))
        self.bars = replay.bar_builder(seconds)
        self.on_bar = lambda bar: self.events.append(("bar", bar))
        self.spans_asked = []

        def asked(code, moment):
            self.spans_asked.append((code, moment - OPEN))
            return span(code, moment)

        self.session_span = asked

    def replay(self, rows):
        replay.replay_ticks(ticks_frame(rows), self)
        return self

    def close(self):
        replay.close_bars(self)
        return self

    def summary(self):
        """The events, each bar as (code, start, end, OHLC, volume, ticks) after OPEN."""
        return [
            ("tick", event[1], round(event[2] - OPEN, 3)) if event[0] == "tick" else (
                "bar", event[1]["code"], event[1]["start"] - OPEN, event[1]["end"] - OPEN,
                *(event[1][key] for key in ("open", "high", "low", "close", "volume", "ticks")),
            )
            for event in self.events
        ]


class TestDelivery:
    def test_a_bar_comes_before_the_react_of_the_first_tick_of_any_code_past_its_end(self):
        hooks = BarHooks(60).replay(
            [("A", 1, 10, 1), ("A", 30, 12, 2), ("B", 59, 5, 4), ("B", 60.5, 6, 1), ("A", 130, 9, 1)]
        )
        assert hooks.summary() == [
            ("tick", "A", 1), ("tick", "A", 30), ("tick", "B", 59),
            ("bar", "A", 0, 60, 10.0, 12.0, 10.0, 12.0, 3, 2),
            ("bar", "B", 0, 60, 5.0, 5.0, 5.0, 5.0, 4, 1),
            ("tick", "B", 60.5),
            ("bar", "B", 60, 120, 6.0, 6.0, 6.0, 6.0, 1, 1),
            ("tick", "A", 130),
        ]

    def test_the_bar_of_a_sessions_close_is_given_at_the_first_tick_after_the_close(self):
        # The session holds 0 to 600, both included; the bar from 560 to 630 holds its close.
        hooks = BarHooks(70).replay([("A", 590, 10, 1), ("A", 600, 11, 1), ("B", 600.5, 7, 1)])
        assert hooks.summary() == [
            ("tick", "A", 590), ("tick", "A", 600),
            ("bar", "A", 560, 630, 10.0, 11.0, 10.0, 11.0, 2, 2),
            ("tick", "B", 600.5),
        ]
        hooks.close()
        # A tick between sessions is counted from the close before it.
        assert hooks.summary()[-1] == ("bar", "B", 600, 670, 7.0, 7.0, 7.0, 7.0, 1, 1)

    def test_bars_given_together_come_by_start_then_by_code(self):
        hooks = BarHooks(60).replay(
            [("B", 1, 1, 1), ("A", 61, 2, 1), ("B", 62, 3, 1), ("A", 200, 4, 1)]
        )
        bars = [event[1:4] for event in hooks.summary() if event[0] == "bar"]
        assert bars == [("B", 0, 60), ("A", 60, 120), ("B", 60, 120)]

    def test_close_bars_gives_every_open_bar_and_a_later_phase_starts_anew(self):
        hooks = BarHooks(60).replay([("A", 1, 1, 1), ("B", 2, 2, 1)]).close()
        assert [event[1:3] for event in hooks.summary() if event[0] == "bar"] == [("A", 0), ("B", 0)]
        hooks.close()  # nothing open: nothing given
        hooks.replay([("A", 3, 3, 1)]).close()
        assert len([event for event in hooks.events if event[0] == "bar"]) == 3
        assert hooks.spans_asked == [("A", 1), ("B", 2), ("A", 3)]

    def test_the_span_is_asked_once_per_code_and_span(self):
        hooks = BarHooks(60).replay(
            [("A", 1, 1, 1), ("A", 400, 1, 1), ("A", 700, 1, 1), ("A", 900, 1, 1), ("A", 1000, 1, 1)]
        )
        assert hooks.spans_asked == [("A", 1), ("A", 700), ("A", 1000)]

    def test_the_bars_orders_reports_are_delivered_after_each_bar(self):
        hooks = BarHooks(60)
        log = []
        hooks.owed = []
        hooks.on_bar = lambda bar: (log.append(("bar", bar["code"])), hooks.owed.append("report"))
        hooks.deliver = lambda: (log.append(("deliver", len(hooks.owed))), hooks.owed.clear())
        hooks.react = lambda tick: log.append(("tick", tick["code"]))
        hooks.replay([("A", 1, 1, 1), ("B", 2, 1, 1), ("A", 61, 1, 1)])
        assert log == [
            ("tick", "A"), ("tick", "B"),
            ("bar", "A"), ("deliver", 1), ("bar", "B"), ("deliver", 1),
            ("tick", "A"),
        ]

    def test_without_bars_no_span_is_asked(self):
        hooks = BarHooks(60)
        hooks.bars = None
        hooks.replay([("A", 1, 1, 1)])
        assert hooks.spans_asked == [] and [event[0] for event in hooks.events] == ["tick"]


@settings(max_examples=60, deadline=None)
@given(
    seconds=st.sampled_from([60.0, 7.0, 0.25, 420.0]),
    steps=st.lists(
        st.tuples(
            st.sampled_from("AB"),
            st.floats(min_value=0, max_value=500, allow_nan=False),
            st.integers(min_value=1, max_value=50),
            st.integers(min_value=1, max_value=9),
        ),
        min_size=1,
        max_size=40,
    ),
)
def test_the_native_bars_are_those_of_the_python_builder(seconds, steps):
    rows, offset = [], 0.0
    for code, gap, price, volume in steps:
        offset += round(gap, 3)
        rows.append((code, offset, price, volume))
    hooks = BarHooks(seconds).replay(rows).close()

    builder, expected = BarBuilder(seconds, session_span), []
    for code, offset, price, volume in rows:
        moment = format_nano_ts_to_second_ts(ticks_frame([(code, offset, price, volume)])["ts"][0], 8)
        if moment >= builder.next_due:
            expected += [("bar", bar) for bar in builder.take_due(moment)]
        builder.add(code, moment, float(price), volume, False)
        expected.append(("tick", code, moment))
    expected += [("bar", bar) for bar in builder.take_all()]
    assert hooks.events == expected


class TestRefusals:
    @pytest.mark.parametrize("seconds", [0, -60, math.inf, math.nan])
    def test_a_bar_lasts_a_positive_finite_time(self, seconds):
        with pytest.raises(ValueError, match="^a bar lasts a positive, finite number of seconds$"):
            replay.bar_builder(seconds)

    def test_bars_must_come_from_bar_builder(self):
        hooks = BarHooks(60)
        hooks.bars = object()
        with pytest.raises(TypeError, match=r"^hooks.bars must be None or a bar_builder\(\)$"):
            hooks.replay([("A", 1, 1, 1)])
        assert hooks.events == []

    @pytest.mark.parametrize(
        "span, error, message",
        [
            ([OPEN, OPEN + 60], TypeError,
             r"^session_span\(code, moment\) must give a tuple \(origin, due\)$"),
            ((OPEN + 5, OPEN + 60), ValueError,
             r"^session_span\('A', 1704186001.0\) gave \(1704186005.0, 1704186060.0\), a span that "
             "does not hold the moment$"),
            ((OPEN, OPEN + 1), ValueError, "a span that does not hold the moment"),
        ],
    )
    def test_a_span_that_does_not_hold_the_moment_is_refused(self, span, error, message):
        hooks = BarHooks(60, span=lambda code, moment: span)
        with pytest.raises(error, match=message):
            hooks.replay([("A", 1, 1, 1)])
        assert hooks.events == []

    def test_the_python_builder_refuses_the_same_spans(self):
        builder = BarBuilder(60.0, lambda code, moment: (OPEN + 5, OPEN + 60))
        with pytest.raises(ValueError) as refused:
            builder.add("A", OPEN + 1, 1.0, 1, False)
        assert str(refused.value) == (
            "session_span('A', 1704186001.0) gave (1704186005.0, 1704186060.0), a span that does "
            "not hold the moment"
        )

    def test_ticks_out_of_time_order_are_refused(self):
        hooks = BarHooks(60)
        with pytest.raises(RuntimeError, match="a tick came out of time order"):
            hooks.replay([("A", 70, 1, 1), ("A", 10, 1, 1)])


class TestCursor:
    def test_the_cursor_holds_the_row_of_the_tick_being_replayed(self):
        hooks = BarHooks(60)
        hooks.bars = None
        hooks.cursor = array.array("q", [-1])
        rows = []
        hooks.set_current_tick = lambda tick: rows.append(hooks.cursor[0])
        hooks.replay([("A", 1, 1, 1), ("B", 2, 1, 1), ("A", 3, 1, 1)])
        assert rows == [0, 1, 2] and hooks.cursor[0] == 2

    @pytest.mark.parametrize(
        "cursor", [array.array("i", [0, 0]), array.array("q"), b"\0" * 8, [0]], ids=repr
    )
    def test_a_cursor_is_a_writable_buffer_of_64_bit_ints(self, cursor):
        hooks = BarHooks(60)
        hooks.cursor = cursor
        with pytest.raises(TypeError) as refused:
            hooks.replay([("A", 1, 1, 1)])
        assert str(refused.value) == (
            "hooks.cursor must be None or a writable buffer of 64-bit ints, such as array('q', [-1])"
        )
        assert hooks.events == []
        if isinstance(cursor, array.array):
            cursor.append(0)  # the loop let go of its buffer
