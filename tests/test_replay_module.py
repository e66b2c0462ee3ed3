"""The native replay loop on its own: tick timestamps, the formatter it stands in for, Ctrl-C."""

import operator
import signal
import sys

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from quorvel.utils import format_nano_ts_to_second_ts

replay = pytest.importorskip("quorvel.modules.replay.replay")

NATIVE_FROM = 2**18 * 10**9  # nanoseconds from which the loop computes the timestamp itself


class Hooks:
    """Callbacks in C only, so that the loop is the only place that looks at signals."""

    def __init__(self, format_timestamp=format_nano_ts_to_second_ts):
        self.market_map = {"2330": "Stock"}
        self.format_timestamp = format_timestamp
        self.is_backfilling = False
        self.set_current_tick = id
        self.match_deal = operator.itemgetter
        self.responses = []
        self.take_reports = None
        self.ticks = []
        self.react = self.ticks.append
        self.owed = []
        self.deliver = None
        self.current = [None]
        self.sample_rows = []
        self.sample = None
        self.checkpoints = []
        self.checkpoint = self.checkpoints.append


def columns(stamps, code="2330"):
    count = len(stamps)
    return ([code] * count, list(stamps), [600.0] * count, [1] * count, [1] * count)


def replayed_timestamps(stamps, hooks=None):
    hooks = hooks or Hooks()
    replay.replay_ticks(tuple(columns(stamps)), hooks, 0)
    return [tick["timestamp"] for tick in hooks.ticks]


@given(st.lists(st.integers(min_value=0, max_value=2**63 - 1), max_size=50))
@example([NATIVE_FROM - 5, NATIVE_FROM, NATIVE_FROM + 5, NATIVE_FROM + 15, 2**63 - 1])
@example([1_704_700_800_123_456_785, 1_704_700_800_123_456_795, 1_704_700_800_999_999_995])
def test_timestamps_are_the_formatters_to_the_bit(stamps):
    expected = [format_nano_ts_to_second_ts(ts, 8) for ts in stamps]
    assert [float.hex(value) for value in replayed_timestamps(stamps)] == [
        float.hex(value) for value in expected
    ]


def test_values_outside_the_native_range_go_to_the_formatter():
    stamps = [-(10**18), 2**64, NATIVE_FROM - 1]
    assert replayed_timestamps(stamps) == [format_nano_ts_to_second_ts(ts, 8) for ts in stamps]


def test_a_rebound_formatter_is_called_for_every_tick():
    calls = []

    def formatter(ts, digits):
        calls.append((ts, digits))
        return "formatted"

    stamps = [NATIVE_FROM + 1, NATIVE_FROM + 2]
    assert replayed_timestamps(stamps, Hooks(formatter)) == ["formatted", "formatted"]
    assert calls == [(NATIVE_FROM + 1, 8), (NATIVE_FROM + 2, 8)]


def test_the_tick_is_the_feeds_dict_and_becomes_the_current_tick():
    hooks = Hooks()
    replay.replay_ticks(tuple(columns([NATIVE_FROM])), hooks, 0)
    [tick] = hooks.ticks
    assert list(tick.items()) == [
        ("market_type", "Stock"),
        ("timestamp", format_nano_ts_to_second_ts(NATIVE_FROM, 8)),
        ("code", "2330"),
        ("close", 600.0),
        ("qty", 1),
        ("tick_type", 1),
        ("is_simulate", False),
        ("is_backfilling", False),
    ]
    assert hooks.current == [tick]


@pytest.mark.parametrize(
    "frame, error, message",
    [
        (columns([1])[:4], TypeError, "columns must be a tuple of five lists"),
        (([], [], [], [], ()), TypeError, "columns must be lists"),
        ((["2330"], [], [], [], []), ValueError, "columns differ in length"),
        (columns([1], code="9999"), KeyError, "9999"),
    ],
)
def test_bad_frames_raise_and_replay_nothing(frame, error, message):
    hooks = Hooks()
    with pytest.raises(error, match=message):
        replay.replay_ticks(tuple(frame), hooks, 0)
    assert hooks.ticks == []


@pytest.mark.skipif(sys.platform == "win32", reason="interval timers are POSIX")
def test_a_signal_stops_the_loop_between_ticks():
    stamps = [NATIVE_FROM] * 2_000_000
    hooks = Hooks()
    hooks.react = None
    frame = tuple(columns(stamps))

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(KeyboardInterrupt):
            replay.replay_ticks(frame, hooks, 0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert hooks.checkpoints and hooks.checkpoints[-1] < len(stamps)
    assert all(number % 4096 == 0 for number in hooks.checkpoints)


def test_first_numbers_the_checkpoints_across_calls():
    hooks = Hooks()
    replay.replay_ticks(tuple(columns([NATIVE_FROM] * 5000)), hooks, 4000)
    assert hooks.checkpoints == [4096, 8192]  # ticks 4001 to 9000 of the phase
    assert len(hooks.ticks) == 5000
