"""The native road of a tick on its own: the ticks it builds, the order of its calls, the trading
days' ends it samples, the closes it passes, its counts, the frames and hooks it refuses, Ctrl-C."""

import array
import gc
import inspect
import itertools
import math
import operator
import signal
import sys
import weakref

import polars as pl
import pytest

from quorvel.utils import format_nano_ts_to_second_ts

from profiling import WATCHERS, watched_calls

replay = pytest.importorskip("quorvel.modules.replay.replay")

NOW = 1_704_186_000_000_000_000  # 2024-01-02 09:00 on the broker's clock, in nanoseconds
OPEN = NOW / 1e9
DAY = 86_400.0
MARKETS = dict.fromkeys(["2330", "2317", "A", "B"], "Stock")
SCHEMA = {"code": pl.String, "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64,
          "tick_type": pl.Int64}
SESSION, EVERY = 600.0, 1_000.0  # sessions of 10 minutes, both ends included, every 1,000 seconds


def session_span(code, moment):
    """A session from each multiple of EVERY after OPEN, the gap after it up to the next."""
    opens = OPEN + math.floor((moment - OPEN) / EVERY) * EVERY
    if moment <= opens + SESSION:
        return opens, math.nextafter(opens + SESSION, math.inf)
    return opens + SESSION, opens + EVERY


# What the callable hooks answer unless a test says otherwise (the others answer None).
ANSWERS = {
    "sample": lambda timestamp, day_end: False,
    "trading_day_of": lambda seconds: seconds // DAY,
    "pass_closes": lambda timestamp: math.inf,
    "session_span": session_span,
}
CALLABLES = ("set_current_tick", "match_deal", "take_reports", "deliver", "before_match",
             "after_match", "warm_up", "on_tick", "on_bar", "progress", *ANSWERS)


class RecordedRoad:
    """A TickRoad whose callable hooks record each call in `calls`, in order, as (hook,
    *arguments), and answer as ANSWERS and `answers` say; `given` replaces any hook, and with
    `seconds` the road builds bars that long (session_span is the builder's)."""

    def __init__(self, answers=None, seconds=None, **given):
        self.calls = []
        answers = {**ANSWERS, **(answers or {})}
        hooks = {name: self._recording(name, answers.get(name)) for name in CALLABLES}
        span = hooks.pop("session_span")
        hooks.update(reports=[], owed=[], current=[None], watched=set(), equity_every=sys.maxsize,
                     day_rollover=0.0, bars=replay.BarBuilder(seconds, span) if seconds else None)
        self.hooks = {**hooks, **given}
        self.road = replay.TickRoad(**self.hooks)

    def _recording(self, name, answer):
        def hook(*arguments):
            self.calls.append((name, *arguments))
            return None if answer is None else answer(*arguments)

        return hook

    def replay(self, frame, is_backfilling=False, format_timestamp=format_nano_ts_to_second_ts):
        self.road.replay(frame, MARKETS, format_timestamp, is_backfilling)
        return self

    def of(self, *names):
        """The calls of the hooks `names`."""
        return [call for call in self.calls if call[0] in names]

    def trail(self, *names):
        """The calls of the hooks `names`, each tick given as its timestamp."""
        return [tuple(value["timestamp"] if isinstance(value, dict) and "timestamp" in value
                      else value for value in call) for call in self.of(*names)]

    @property
    def ticks(self):
        """The ticks given to the strategy."""
        return [tick for _, tick in self.of("warm_up", "on_tick")]


def frame(stamps, codes=("2330",)):
    """Ticks at the nanosecond `stamps`, their codes taken from `codes` in turn."""
    count = len(stamps)
    return pl.DataFrame(
        {"code": [codes[i % len(codes)] for i in range(count)], "ts": list(stamps),
         "close": [600.0] * count, "volume": [1] * count, "tick_type": [1] * count},
        schema=SCHEMA,
    )


def at_seconds(*moments, codes=("2330",)):
    """Ticks at the whole-second `moments` (seconds on the broker's clock)."""
    return frame([int(moment) * 10**9 for moment in moments], codes)


class TestTicks:
    @pytest.mark.parametrize("is_backfilling", [False, True])
    def test_the_tick_is_the_feeds_dict_of_its_phase_and_the_current_tick(self, is_backfilling):
        road = RecordedRoad().replay(frame([NOW + 5]), is_backfilling)
        [tick] = road.ticks
        assert list(tick.items()) == [
            ("market_type", "Stock"), ("timestamp", format_nano_ts_to_second_ts(NOW + 5, 8)),
            ("code", "2330"), ("close", 600.0), ("qty", 1), ("tick_type", 1),
            ("is_simulate", False), ("is_backfilling", is_backfilling)]
        assert list(map(type, tick.values())) == [str, float, str, float, int, int, bool, bool]
        assert road.hooks["current"] == [tick]
        hook = "warm_up" if is_backfilling else "on_tick"
        assert road.of(hook) == [(hook, tick)]
        counts = (road.road.backfill_ticks, road.road.live_ticks)
        assert counts == (is_backfilling, not is_backfilling)

    def test_the_timestamps_are_the_formatters_to_the_bit(self):
        stamps = [-(2**63), -15, -5, 0, 5, 15, 10 * 2**53 - 5, 10 * 2**53 + 5, NOW + 5, 2**63 - 1]
        got = [tick["timestamp"] for tick in RecordedRoad().replay(frame(stamps)).ticks]
        expected = [format_nano_ts_to_second_ts(ts, 8) for ts in stamps]
        assert list(map(float.hex, got)) == list(map(float.hex, expected))

    def test_a_rebound_formatter_is_called_for_every_tick(self):
        calls = []

        def formatter(ts, digits):
            calls.append((ts, digits))
            return 1.5

        road = RecordedRoad().replay(frame([NOW + 1, NOW + 2]), format_timestamp=formatter)
        assert [tick["timestamp"] for tick in road.ticks] == [1.5, 1.5]
        assert calls == [(NOW + 1, 8), (NOW + 2, 8)]

    def test_a_name_the_formatter_reads_rebound_after_ticks_is_obeyed(self, monkeypatch):
        import quorvel.utils as utils

        RecordedRoad().replay(frame([NOW]))  # what the formatter's names resolve to is remembered
        calls = []
        operator_class = type("Operator", (), {"index": staticmethod(calls.append)})
        monkeypatch.setattr(utils, "operator", operator_class)
        with pytest.raises(TypeError):  # index() gave None, which the formatter cannot divide
            RecordedRoad().replay(frame([NOW + 1]))
        assert calls == [NOW + 1]

    @pytest.mark.parametrize("watcher", WATCHERS)
    def test_a_watching_tool_sees_every_formatter_call(self, watcher):
        called = watched_calls(watcher, lambda: RecordedRoad().replay(frame([NOW, NOW + 5])),
                               [format_nano_ts_to_second_ts])
        assert called.count("format_nano_ts_to_second_ts") == 2


class TestRoad:
    def test_a_tick_takes_the_road_in_order(self):
        road = RecordedRoad(seconds=60, reports=[None], owed=[None], watched={"2330"},
                            equity_every=1, answers={"pass_closes": lambda ts: ts + 30})
        first, second = OPEN, OPEN + 60
        road.replay(at_seconds(first, second))
        prices = dict.fromkeys(["open", "high", "low", "close"], 600.0)
        bar = {"code": "2330", "start": first, "end": second, **prices, "volume": 1, "ticks": 1,
               "is_backfilling": False}

        def matched(moment):
            return [("pass_closes", moment), ("set_current_tick", moment), ("before_match", moment),
                    ("match_deal", "2330", 600.0, 1, moment), ("take_reports",),
                    ("after_match", moment)]

        assert road.trail(*CALLABLES) == [
            *matched(first), ("session_span", "2330", first), ("on_tick", first), ("deliver",),
            ("sample", first, False),
            *matched(second), ("on_bar", bar), ("deliver",), ("on_tick", second), ("deliver",),
            ("sample", second, False),
        ]
        assert list(road.of("on_bar")[0][1]) == list(bar)

    def test_a_code_goes_around_matching_while_it_is_watched(self):
        watched = {"2330"}
        road = RecordedRoad(reports=[None], watched=watched, answers={
            "match_deal": lambda code, *rest: code == "2317" and watched.add(code),  # filled
            "after_match": lambda tick: watched.clear(),
        })
        road.replay(at_seconds(OPEN, OPEN + 1, OPEN + 2, codes=("2330", "2317")))
        assert road.trail("before_match", "match_deal", "take_reports", "after_match") == [
            ("before_match", OPEN), ("match_deal", "2330", 600.0, 1, OPEN), ("take_reports",),
            ("after_match", OPEN),
            ("match_deal", "2317", 600.0, 1, OPEN + 1), ("take_reports",),
            ("after_match", OPEN + 1),
            ("match_deal", "2330", 600.0, 1, OPEN + 2), ("take_reports",),
        ]

    def test_a_trading_days_last_live_tick_is_sampled_as_its_end_then_or_by_settle(self):
        def at(day, hour):  # on 2024-01-<day>
            return OPEN + (day - 2) * DAY + (hour - 9) * 3600

        rollover = 15 * 3600.0  # the night session counts for the next trading day

        def trading_day(seconds):  # the day number, Saturday's and Sunday's the Monday's after
            day = (seconds + DAY - rollover) // DAY
            weekday = (day + 3) % 7
            return day + 7 - weekday if weekday >= 5 else day

        fri10, fri11, fri14, fri16, mon9, mon16 = (
            at(5, 10), at(5, 11), at(5, 14), at(5, 16), at(8, 9), at(8, 16))
        road = RecordedRoad(equity_every=2, day_rollover=rollover, answers={
            "sample": lambda timestamp, day_end: timestamp == fri11,
            "trading_day_of": trading_day,
        })
        road.replay(at_seconds(at(4, 10)), is_backfilling=True)
        road.replay(at_seconds(fri10, fri11, fri14, fri16, mon9, mon16))
        road.road.settle()
        road.road.settle()  # sampled already
        assert road.trail("set_current_tick", "sample") == [
            ("set_current_tick", at(4, 10)),
            ("set_current_tick", fri10), ("set_current_tick", fri11), ("sample", fri11, False),
            ("set_current_tick", fri14), ("sample", fri14, True),
            ("set_current_tick", fri16), ("sample", fri16, False),
            ("set_current_tick", mon9),  # the trading day of the night session before
            ("sample", mon9, True), ("set_current_tick", mon16), ("sample", mon16, False),
            ("sample", mon16, True),
        ]
        days_asked = [("trading_day_of", day) for day in (fri14, fri16, mon9, mon16)]
        assert road.of("trading_day_of") == days_asked

    def test_closes_pass_before_the_cursor_moves_to_a_tick_past_the_last_close(self):
        cursor, closes, seen = array.array("q", [-1]), iter([OPEN + 5, OPEN + 9, math.inf]), []
        road = RecordedRoad(cursor=cursor, answers={
            "pass_closes": lambda timestamp: seen.append(("closes", cursor[0])) or next(closes),
            "set_current_tick": lambda tick: seen.append(("tick", cursor[0])),
        })
        road.replay(at_seconds(*(OPEN + offset for offset in (0, 1, 5, 6, 9, 20))))
        assert road.of("pass_closes") == [("pass_closes", OPEN + offset) for offset in (0, 6, 20)]
        assert seen == [("closes", -1), ("tick", 0), ("tick", 1), ("tick", 2), ("closes", 2),
                        ("tick", 3), ("tick", 4), ("closes", 4), ("tick", 5)]
        cursor[0] = -1  # the engine's new frame
        road.replay(at_seconds(OPEN + 30))
        assert seen[-1] == ("tick", 0) and cursor[0] == 0
        with pytest.raises(BufferError):
            cursor.append(0)  # the road holds the buffer ...
        road.road = None
        cursor.append(0)  # ... and lets it go with itself

    def test_take_gives_a_tick_the_road_replay_gives_its_row(self):
        def run(feed):
            road = RecordedRoad(seconds=60, reports=[None], owed=[None], watched={"2317"},
                                equity_every=3, answers={"pass_closes": lambda ts: ts + 100})
            feed(road)
            road.road.close_bars()
            road.road.settle()
            return road.calls, road.road.backfill_ticks, road.road.live_ticks

        live = at_seconds(OPEN + 200, OPEN + 230, OPEN + 1_000, OPEN + DAY, codes=("2330", "2317"))
        phases = [(at_seconds(OPEN, OPEN + 40, OPEN + 90), True), (live, False)]
        replayed = run(lambda road: [road.replay(ticks, backfill) for ticks, backfill in phases])
        ticks = [dict(call[1]) for call in replayed[0] if call[0] in ("warm_up", "on_tick")]
        assert run(lambda road: [road.road.take(dict(tick)) for tick in ticks]) == replayed
        assert replayed[1:] == (3, 4)
        assert {call[0] for call in replayed[0]} == set(CALLABLES) - {"progress"}

    def test_a_road_in_reference_cycles_is_collected(self):
        # Its hooks, its bars' span and the tick it holds each lead back to it.
        road = RecordedRoad(seconds=60).replay(frame([NOW]))
        road.ticks[0]["road"] = road.road
        gone = weakref.ref(road)
        del road
        gc.collect()
        assert gone() is None


class TestCounts:
    def test_progress_is_told_every_4096_ticks_of_both_phases(self):
        road = RecordedRoad().replay(frame([NOW] * 5000), is_backfilling=True)
        road.replay(frame([NOW] * 4000))
        assert road.of("progress") == [("progress", 4096), ("progress", 8192)]
        assert (road.road.backfill_ticks, road.road.live_ticks) == (5000, 4000)

    @pytest.mark.parametrize("hook, counted", [("match_deal", 4099), ("on_tick", 4100)])
    def test_a_tick_counts_once_matched_whatever_fails(self, hook, counted):
        calls = itertools.count(1)

        def failing(*arguments):
            if next(calls) == 4100:
                raise LookupError("hook failed")

        road = RecordedRoad(answers={hook: failing})
        with pytest.raises(LookupError, match="hook failed"):
            road.replay(frame([NOW] * 9000))
        assert road.road.live_ticks == counted and road.of("progress") == [("progress", 4096)]

    @pytest.mark.skipif(sys.platform == "win32", reason="interval timers are POSIX")
    def test_a_signal_stops_the_road_between_ticks_with_an_exact_count(self):
        # Hooks in C only, so that the road is the only place that looks at signals.
        matched, progress = [], []
        road = RecordedRoad(set_current_tick=matched.append, match_deal=operator.itemgetter,
                            on_tick=None, pass_closes=float, progress=progress.append)
        ticks = frame([NOW] * 2_000_000)

        def interrupt(signum, frame):
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGALRM, interrupt)
        gc.disable()  # a collection's Python callbacks would take the signal, and lose the raise
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            with pytest.raises(KeyboardInterrupt):
                road.replay(ticks, format_timestamp=operator.truediv)  # C, called either way
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            gc.enable()
        assert progress[-1] == len(matched) == road.road.live_ticks < ticks.height
        assert all(number % 4096 == 0 for number in progress)


def wrong(hooks, message, error=TypeError):
    """A case of hooks TickRoad refuses, named by what it says."""
    return pytest.param(hooks, error, message, id=message)


WRONG_HOOKS = [
    *(wrong({name: 5}, f"{name} must be callable, not int") for name in (
        "set_current_tick", "match_deal", "take_reports", "deliver", "before_match", "after_match",
        "sample", "trading_day_of", "pass_closes")),
    *(wrong({name: 5}, f"{name} must be callable or None, not int")
      for name in ("warm_up", "on_tick", "progress")),
    *(wrong({name: 5}, f"{name} must have a length (a deque), not int")
      for name in ("reports", "owed")),
    wrong({"current": (None,)}, "Argument 'current' has incorrect type (expected list, got tuple)"),
    wrong({"current": []}, "current must be a list of one item", ValueError),
    wrong({"watched": ["2330"]}, "watched must be a set"),
    wrong({"equity_every": 0}, "equity_every must be at least 1", ValueError),
    wrong({"equity_every": 1.0},
          "Argument 'equity_every' has incorrect type (expected int, got float)"),
    wrong({"day_rollover": "0"}, "must be real number, not str"),
    wrong({"bars": object()}, "expected a BarBuilder or None for bars, got object"),
    wrong({"bars": replay.BarBuilder(60, session_span), "on_bar": None},
          "on_bar must be callable, not NoneType"),
    *(wrong({"cursor": cursor}, "cursor must be None or a writable buffer of 64-bit ints, such "
            "as array('q', [-1])") for cursor in (array.array("i", [0, 0]), array.array("q"),
                                                  b"\0" * 8, [0])),
]


class TestRefusals:
    @pytest.mark.parametrize("step, argument, error, message", [
        ("replay", frame([NOW]).to_dict(as_series=False), TypeError, "must be a polars"),
        ("replay", frame([NOW]).drop("tick_type"), TypeError, "must be a polars"),
        ("replay", frame([NOW]).with_columns(pl.col("ts").cast(float)), TypeError, "ts .Int64"),
        ("replay", frame([NOW], ["9999"]), KeyError, "9999"),
        ("take", [("timestamp", OPEN)], TypeError, "^Argument 'tick' has incorrect type"),
        ("take", {"timestamp": OPEN, "is_backfilling": False, "code": "A", "close": 1}, KeyError,
         "qty"),
    ])
    def test_bad_frames_and_ticks_are_refused_before_any_step(self, step, argument, error, message):
        road = RecordedRoad()
        with pytest.raises(error, match=message):
            road.replay(argument) if step == "replay" else road.road.take(argument)
        assert road.calls == [] and road.road.live_ticks == 0

    def test_a_taken_tick_a_hook_empties_is_matched_with_the_values_read_before(self):
        road = RecordedRoad(answers={"set_current_tick": lambda tick: tick.clear()})
        # The code, close and qty made here are held by the tick alone.
        road.road.take({"timestamp": 1.0, "is_backfilling": False, "code": "".join(["23", "30"]),
                        "close": float("600.5"), "qty": 10**20 + 0})
        assert road.of("match_deal") == [("match_deal", "2330", 600.5, 10**20, 1.0)]

    def test_a_current_list_a_hook_emptied_is_refused(self):
        road = RecordedRoad(answers={"on_tick": lambda tick: road.hooks["current"].clear()})
        with pytest.raises(ValueError, match="^current must be a list of one item$"):
            road.replay(frame([NOW, NOW + 1]))
        assert road.road.live_ticks == 1

    def test_every_hook_without_a_default_is_required(self):
        given = RecordedRoad().hooks
        hooks = [given[name] for name in list(inspect.signature(replay.TickRoad).parameters)[:17]]
        with pytest.raises(TypeError) as refused:
            replay.TickRoad(*hooks[:16])
        assert str(refused.value) == "TickRoad() takes at least 17 positional arguments (16 given)"
        assert replay.TickRoad(*hooks).live_ticks == 0

    @pytest.mark.parametrize("hooks, error, message", WRONG_HOOKS)
    def test_a_wrong_hook_is_refused(self, hooks, error, message):
        with pytest.raises(error) as refused:
            RecordedRoad(**hooks)
        assert str(refused.value) == message
        if isinstance(hooks.get("cursor"), array.array):
            hooks["cursor"].append(0)  # the refusal let go of its buffer
