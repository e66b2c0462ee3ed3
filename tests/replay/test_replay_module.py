"""The native replay loop on its own: the ticks it builds, the frames it refuses, the counts it
reports however it ends, Ctrl-C."""

import gc
import operator
import signal
import sys

import polars as pl
import pytest

from quorvel.utils import format_nano_ts_to_second_ts

from profiling import WATCHERS, watched_calls

replay = pytest.importorskip("quorvel.modules.replay.replay")

NOW = 1_704_186_000_000_000_000


class Hooks:
    """Callbacks in C only, so that the loop is the only place that looks at signals."""

    def __init__(self, format_timestamp=format_nano_ts_to_second_ts):
        self.market_map = {"2330": "Stock"}
        self.format_timestamp = format_timestamp
        self.is_backfilling = False
        self.matched = []
        self.set_current_tick = self.matched.append
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
        self.watched = set()
        self.before_match = None
        self.after_match = None


def frame(stamps, code="2330"):
    count = len(stamps)
    return pl.DataFrame(
        {"code": [code] * count, "ts": list(stamps), "close": [600.0] * count, "volume": [1] * count,
         "tick_type": [1] * count},
        schema={"code": pl.String, "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "tick_type": pl.Int64},
    )


def replayed(stamps, hooks):
    replay.replay_ticks(frame(stamps), hooks)
    return hooks


class TestTicks:
    def test_the_tick_is_the_feeds_dict_and_becomes_the_current_tick(self):
        hooks = replayed([NOW + 5], Hooks())
        [tick] = hooks.ticks
        assert list(tick.items()) == [
            ("market_type", "Stock"),
            ("timestamp", format_nano_ts_to_second_ts(NOW + 5, 8)),
            ("code", "2330"),
            ("close", 600.0),
            ("qty", 1),
            ("tick_type", 1),
            ("is_simulate", False),
            ("is_backfilling", False),
        ]
        assert hooks.current == [tick]

    def test_the_timestamps_are_the_formatters_to_the_bit(self):
        stamps = [-(2**63), -15, -5, 0, 5, 15, 10 * 2**53 - 5, 10 * 2**53 + 5, NOW + 5, 2**63 - 1]
        got = [tick["timestamp"] for tick in replayed(stamps, Hooks()).ticks]
        assert [float.hex(value) for value in got] == [
            float.hex(format_nano_ts_to_second_ts(ts, 8)) for ts in stamps
        ]

    def test_a_rebound_formatter_is_called_for_every_tick(self):
        calls = []

        def formatter(ts, digits):
            calls.append((ts, digits))
            return "formatted"

        hooks = replayed([NOW + 1, NOW + 2], Hooks(formatter))
        assert [tick["timestamp"] for tick in hooks.ticks] == ["formatted", "formatted"]
        assert calls == [(NOW + 1, 8), (NOW + 2, 8)]

    def test_a_name_the_formatter_reads_rebound_after_ticks_is_obeyed(self, monkeypatch):
        import quorvel.utils as utils

        replayed([NOW], Hooks())  # what the formatter's names resolve to is remembered
        calls = []
        monkeypatch.setattr(utils, "operator", type("Operator", (), {"index": staticmethod(calls.append)}))
        with pytest.raises(TypeError):  # index() gave None, which the formatter cannot divide
            replayed([NOW + 1], Hooks())
        assert calls == [NOW + 1]

    @pytest.mark.parametrize("watcher", WATCHERS)
    def test_a_watching_tool_sees_every_formatter_call(self, watcher):
        called = watched_calls(watcher, lambda: replayed([NOW, NOW + 5], Hooks()), [format_nano_ts_to_second_ts])
        assert called.count("format_nano_ts_to_second_ts") == 2

    def test_samples_follow_their_rows(self):
        hooks = Hooks()
        sampled = []
        hooks.sample = lambda: sampled.append(hooks.current[0]["timestamp"])
        hooks.sample_rows = [0, 2]
        replayed([NOW, NOW + 10**9, NOW + 2 * 10**9], hooks)
        assert sampled == [format_nano_ts_to_second_ts(NOW, 8), format_nano_ts_to_second_ts(NOW + 2 * 10**9, 8)]


class TestWatchedCodes:
    """The account's codes see each tick before matching and after its reports; others do not."""

    def test_watched_ticks_go_to_the_hooks_around_matching(self):
        hooks, log = Hooks(), []
        hooks.market_map["2317"] = "Stock"
        hooks.match_deal = lambda code, *rest: log.append(("match", code))
        hooks.responses = [None]  # reports to take after every match
        hooks.take_reports = lambda: log.append(("reports",))
        hooks.watched = {"2330"}
        hooks.before_match = lambda tick: log.append(("before", tick["code"]))

        def after_match(tick):
            log.append(("after", tick["code"]))
            hooks.watched.clear()  # from the next lookup on, nothing is watched

        hooks.after_match = after_match
        ticks = pl.concat([frame([NOW]), frame([NOW + 1], code="2317"), frame([NOW + 2])])
        replay.replay_ticks(ticks, hooks)
        assert log == [
            ("before", "2330"), ("match", "2330"), ("reports",), ("after", "2330"),
            ("match", "2317"), ("reports",),
            ("match", "2330"), ("reports",),
        ]

    def test_a_code_watched_during_matching_goes_to_after_match_at_once(self):
        hooks, log = Hooks(), []
        hooks.match_deal = lambda code, *rest: hooks.watched.add(code)
        hooks.after_match = lambda tick: log.append(tick["code"])
        replayed([NOW], hooks)
        assert log == ["2330"]

    def test_watched_must_be_a_set(self):
        hooks = Hooks()
        hooks.watched = ["2330"]
        with pytest.raises(TypeError, match="hooks.watched must be a set"):
            replayed([NOW], hooks)


class TestRefusals:
    @pytest.mark.parametrize(
        "make_frame, error, message",
        [
            (lambda: frame([NOW]).to_dict(as_series=False), TypeError, "the frame must be a polars DataFrame"),
            (lambda: frame([NOW]).drop("tick_type"), TypeError, "the frame must be a polars DataFrame"),
            (lambda: frame([NOW]).with_columns(pl.col("ts").cast(pl.Float64)), TypeError,
             r"ts \(Int64\)"),
            (lambda: frame([NOW], code="9999"), KeyError, "9999"),
        ],
    )
    def test_bad_frames_raise_and_replay_nothing(self, make_frame, error, message):
        hooks = Hooks()
        with pytest.raises(error, match=message):
            replay.replay_ticks(make_frame(), hooks)
        assert hooks.ticks == []

    def test_the_argument_count_is_checked(self):
        with pytest.raises(TypeError) as raised:
            replay.replay_ticks(frame([NOW]))
        assert str(raised.value) == "replay_ticks() takes exactly 2 positional arguments (1 given)"

    @pytest.mark.parametrize("rows", [[1, 1], [2, 1], [-1]])
    def test_sample_rows_must_ascend_strictly(self, rows):
        hooks = Hooks()
        hooks.sample_rows = rows
        with pytest.raises(ValueError, match="strictly ascending"):
            replayed([NOW] * 3, hooks)
        assert hooks.ticks == []


class TestCounts:
    def test_checkpoints_every_4096_ticks_and_at_the_end(self):
        hooks = replayed([NOW] * 9000, Hooks())
        assert hooks.checkpoints == [4096, 8192, 9000]
        assert len(hooks.ticks) == 9000

    def test_a_strategy_error_counts_the_tick_in_progress(self):
        hooks = Hooks()

        def react(tick):
            hooks.ticks.append(tick)
            if len(hooks.ticks) == 5000:
                raise ValueError("strategy failed")

        hooks.react = react
        with pytest.raises(ValueError, match="strategy failed"):
            replayed([NOW] * 9000, hooks)
        assert hooks.checkpoints == [4096, 5000]  # the matcher had the 5000th tick, as paced counts it

    def test_a_matcher_error_leaves_the_tick_uncounted(self):
        hooks = Hooks()

        def match_deal(*args):
            if len(hooks.matched) == 4100:
                raise RuntimeError("matcher failed")

        hooks.match_deal = match_deal
        with pytest.raises(RuntimeError, match="matcher failed"):
            replayed([NOW] * 9000, hooks)
        assert hooks.checkpoints == [4096, 4099]

    def test_an_error_of_the_last_report_has_the_loops_error_as_context(self):
        hooks = Hooks()

        def react(tick):
            raise ValueError("strategy failed")

        def checkpoint(number):
            raise OSError("progress failed")

        hooks.react, hooks.checkpoint = react, checkpoint
        with pytest.raises(OSError, match="progress failed") as raised:
            replayed([NOW], hooks)
        assert isinstance(raised.value.__context__, ValueError)
        assert str(raised.value.__context__) == "strategy failed"

    @pytest.mark.skipif(sys.platform == "win32", reason="interval timers are POSIX")
    def test_a_signal_stops_the_loop_between_ticks_with_an_exact_count(self):
        hooks = Hooks()
        hooks.react = None
        ticks = frame([NOW] * 2_000_000)

        def interrupt(signum, frame):
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGALRM, interrupt)
        gc.disable()  # a collection's Python callbacks would take the signal, and lose the raise
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            with pytest.raises(KeyboardInterrupt):
                replay.replay_ticks(ticks, hooks)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            gc.enable()
        assert hooks.checkpoints[-1] == len(hooks.matched) < ticks.height
        assert all(number % 4096 == 0 for number in hooks.checkpoints[:-1])
