"""The rows of a tick frame: read from column lists or through iter_rows, the ticks are the same.

The sending loop runs in the test's thread (the internal method called directly), every permit
granted beforehand.
"""

import polars as pl
import pytest

from quorvel.utils import format_nano_ts_to_second_ts

from profiling import WATCHERS, watched_calls
from ticker_support import NOW, sent_ticks

ROWS = 1_300  # more than two of the slices the column lists are converted in


def frame(count, **dtypes):
    columns = {
        "ts": [NOW + i * 1_500_000_005 for i in range(count)],
        "close": [580.0 + i / 4 for i in range(count)],
        "volume": [i + 1 for i in range(count)],
        "bid_price": [1.5] * count,
        "tick_type": [i % 3 for i in range(count)],
        "code": ["2330" if i % 2 else "TXFR1" for i in range(count)],
    }
    df = pl.DataFrame(columns)
    return df.with_columns([pl.col(name).cast(dtype) for name, dtype in dtypes.items()])


def expected_ticks(df):
    markets = {"2330": "Stock", "TXFR1": "Future"}
    return [{"market_type": markets[row["code"]], "timestamp": format_nano_ts_to_second_ts(row["ts"], 8),
             "code": row["code"], "close": row["close"], "qty": row["volume"], "tick_type": row["tick_type"],
             "is_simulate": False, "is_backfilling": False} for row in df.iter_rows(named=True)]


def same_ticks(got, wanted):
    return got == wanted and all(type(a[key]) is type(b[key]) for a, b in zip(got, wanted) for key in a)


class TestSameTicks:
    def test_a_frame_of_several_slices(self):
        df = frame(ROWS)
        assert same_ticks(sent_ticks(df), expected_ticks(df))

    @pytest.mark.parametrize("dtypes", [{"tick_type": pl.Int32}, {"close": pl.Float32}, {"ts": pl.UInt64},
                                        {"volume": pl.Float64}])
    def test_other_column_types(self, dtypes):
        df = frame(600, **dtypes)
        assert same_ticks(sent_ticks(df), expected_ticks(df))

    def test_one_row_and_a_slice_exactly(self):
        for count in (1, 512, 513):
            df = frame(count)
            assert same_ticks(sent_ticks(df), expected_ticks(df))


class TestIterRowsIsObeyed:
    def test_a_frame_subclass_with_its_own_rows(self):
        class Frame(pl.DataFrame):
            def iter_rows(self, *, named=False, buffer_size=512):
                for row in super().iter_rows(named=named, buffer_size=buffer_size):
                    yield {**row, "close": -1.0}

        ticks = sent_ticks(Frame(frame(3)))
        assert [tick["close"] for tick in ticks] == [-1.0] * 3

    def test_a_replaced_iter_rows_of_the_class(self, monkeypatch):
        original = pl.DataFrame.iter_rows

        def iter_rows(self, *, named=False, buffer_size=512):
            for row in original(self, named=named, buffer_size=buffer_size):
                yield {**row, "volume": 0}

        monkeypatch.setattr(pl.DataFrame, "iter_rows", iter_rows)
        assert [tick["qty"] for tick in sent_ticks(frame(3))] == [0, 0, 0]

    def test_an_iter_rows_of_the_instance(self):
        df = frame(2)
        df.iter_rows = lambda named: iter([{"code": "2330", "ts": 0, "close": 2.0, "volume": 7, "tick_type": 1}])
        assert [tick["qty"] for tick in sent_ticks(df)] == [7]

    @pytest.mark.parametrize("watcher", WATCHERS)
    def test_a_watching_tool_sees_iter_rows(self, watcher):
        assert "iter_rows" in watched_calls(watcher, lambda: sent_ticks(frame(3)), [pl.DataFrame.iter_rows])
