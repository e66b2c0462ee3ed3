"""A tick's "timestamp": the utilities' conversion, whether computed natively or called.

The sending loop runs in the test's thread (the internal method called directly) over a frame
stand-in that can hold any integer, so every value reaches the conversion as it is.
"""

import operator

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvel.utils
from quorvel.modules.ticker import ticker as ticker_module
from quorvel.utils import format_nano_ts_to_second_ts

from profiling import WATCHERS, watched_calls
from ticker_support import NOW, sent_ticks


class Rows:
    """Stands in for a frame: its row count and its rows as dicts."""

    def __init__(self, timestamps):
        self.rows = [{"code": "2330", "ts": ts, "close": 1.0, "volume": 1, "tick_type": 1} for ts in timestamps]
        self.shape = (len(self.rows), 5)

    def iter_rows(self, named):
        return iter(self.rows)


def sent_timestamps(timestamps):
    """The "timestamp" of each tick sent for rows with the given "ts" values."""
    return [tick["timestamp"] for tick in sent_ticks(Rows(timestamps))]


def expected(ts):
    try:
        return format_nano_ts_to_second_ts(ts, 8)
    except Exception as error:  # the comparison is the point
        return type(error), str(error)


def same(got, wanted):
    return type(got) is type(wanted) and got == wanted


EDGES = [
    0, 5, -5, 15, -15, 25, 4, 6, -4, -6, 1, -1, 9, -9, 10, -10,
    NOW, NOW + 5, NOW + 15, NOW - 5, NOW + 4, NOW + 6, -NOW - 5, -NOW - 15,
    2**53, 2**53 + 5, 2**63 - 1, -(2**63), 2**63 - 5, -(2**63) + 5,
    2**63, -(2**63) - 1, 2**80 + 5, -(2**80) - 15,
    10 * 2**53 - 5, 10 * 2**53 + 5, -10 * 2**53 - 5, 2**18 * 10**9 - 5, 2**18 * 10**9 + 5,
    1_704_700_800_123_456_785, 1_704_700_800_123_456_795, 1_704_700_800_999_999_995,
]


class TestConversion:
    def test_edge_values_match_the_function(self):
        got = sent_timestamps(EDGES)
        assert all(same(a, expected(ts)) for a, ts in zip(got, EDGES)), list(zip(EDGES, got))
        assert len(got) == len(EDGES)

    def test_values_that_are_not_exact_ints_go_to_the_function(self):
        class Nanoseconds(int):
            pass

        values = [True, Nanoseconds(NOW + 5)]
        got = sent_timestamps(values)
        assert all(same(a, expected(ts)) for a, ts in zip(got, values)) and len(got) == 2

    def test_a_value_the_function_refuses_ends_the_run(self):
        with pytest.raises(TypeError):
            sent_timestamps([12.5])

    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(st.lists(st.one_of(st.integers(), st.integers(-(2**63), 2**63 - 1),
                              st.integers(0, 10**6).map(lambda k: NOW + 10 * k + 5)), max_size=8))
    def test_any_int_matches_the_function(self, timestamps):
        got = sent_timestamps(timestamps)
        assert all(same(a, expected(ts)) for a, ts in zip(got, timestamps))
        assert len(got) == len(timestamps)


class TestRebindingIsObeyed:
    def test_a_rebound_formatter(self, monkeypatch):
        monkeypatch.setattr(ticker_module, "format_nano_ts_to_second_ts", lambda ts, digits: (ts, digits))
        assert sent_timestamps([NOW]) == [(NOW, 8)]

    def test_a_changed_index_of_the_utilities(self, monkeypatch):
        monkeypatch.setattr(operator, "index", lambda value: 0)
        assert sent_timestamps([NOW]) == [0.0]

    def test_a_rebound_operator_module_of_the_utilities(self, monkeypatch):
        class Indexing:
            @staticmethod
            def index(value):
                return 10**9

        monkeypatch.setattr(quorvel.utils, "operator", Indexing)
        assert sent_timestamps([NOW]) == [1.0]

    def test_changed_code_of_the_formatter(self, monkeypatch):
        monkeypatch.setattr(format_nano_ts_to_second_ts, "__code__", (lambda ts, digits: "code").__code__)
        assert sent_timestamps([NOW]) == ["code"]

    @pytest.mark.parametrize("watcher", WATCHERS)
    def test_a_watching_tool_sees_every_call(self, watcher):
        called = watched_calls(watcher, lambda: sent_timestamps([NOW, NOW + 5]), [format_nano_ts_to_second_ts])
        assert called.count("format_nano_ts_to_second_ts") == 2
