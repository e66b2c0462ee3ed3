"""Importing ticks of other sources: time zones, trading days and the columns a file gives."""

import datetime as dt

import polars as pl
import pytest
from data_support import cached

from quorvel.cache import day_files
from quorvel.data import DataImportError, TickColumns, import_ticks
from quorvel.sim import SimContract, SimulatedBroker


def broker_ns(text):
    """A wall-clock time of the exchange in the broker's convention."""
    return int(dt.datetime.fromisoformat(text).replace(tzinfo=dt.timezone.utc).timestamp()) * 10**9


def write(tmp_path, frame, name="ticks.csv"):
    path = tmp_path / name
    if name.endswith(".parquet"):
        frame.write_parquet(path)
    else:
        frame.write_csv(path)
    return str(path)


class TestTimes:
    def test_a_file_in_the_caches_layout_imports_unchanged(self, tmp_path, data_dir, cache_dir):
        broker = SimulatedBroker(
            3,
            ticks_per_day=50,
            contracts=[SimContract("2330", "台積電", "STK", "TSE", "24", 580.0, 1000)],
        )
        day = pl.DataFrame(
            dict(broker.ticks(broker.Contracts.Stocks["2330"], "2024-01-08")),
            schema=day_files.TICK_SCHEMA,
        )
        import_ticks([write(tmp_path, day, "day.parquet")], data_dir, "2330")
        assert cached(cache_dir, "2330", "2024-01-08").equals(day)

    @pytest.mark.parametrize(
        "values, options, expected",
        [
            # Unix time is UTC: 01:00 UTC is 09:00 in Taipei.
            (
                [int(dt.datetime(2024, 1, 8, 1, tzinfo=dt.timezone.utc).timestamp())],
                dict(time_zone="UTC", epoch_unit="s"),
                "2024-01-08 09:00:00",
            ),
            (["2024-01-08 09:00:00"], {}, "2024-01-08 09:00:00"),
            (["2024-01-08T10:00:00+09:00"], {}, "2024-01-08 09:00:00"),
            (["2024-01-08 01:00:00"], dict(time_zone="UTC"), "2024-01-08 09:00:00"),
        ],
        ids=["unix seconds", "naive text", "text with its own zone", "naive text in UTC"],
    )
    def test_times_become_the_exchanges_wall_clock(
        self, tmp_path, data_dir, cache_dir, values, options, expected
    ):
        frame = pl.DataFrame({"ts": values, "close": [580.0], "volume": [1]})
        import_ticks([write(tmp_path, frame)], data_dir, "2330", **options)
        assert cached(cache_dir, "2330", "2024-01-08")["ts"].to_list() == [broker_ns(expected)]


class TestTradingDays:
    @pytest.mark.parametrize(
        "time, day",
        [
            ("2024-08-16 15:00:00", "2024-08-19"),  # Friday night: Monday
            ("2024-08-17 04:59:00", "2024-08-19"),  # past midnight into Saturday
            ("2024-08-19 13:44:00", "2024-08-19"),
            ("2024-02-05 21:00:00", "2024-02-15"),  # before the Lunar New Year holidays
        ],
    )
    def test_a_futures_night_session_belongs_to_the_next_trading_day(
        self, tmp_path, data_dir, cache_dir, time, day
    ):
        frame = pl.DataFrame({"ts": [time], "close": [22000.0], "volume": [1]})
        [imported] = import_ticks([write(tmp_path, frame)], data_dir, "TXFR1")
        assert (imported.day, imported.ticks) == (day, 1)
        assert cached(cache_dir, "TXFR1", day)["ts"].to_list() == [broker_ns(time)]

    def test_a_stocks_ticks_stay_on_their_calendar_day(self, tmp_path, data_dir):
        frame = pl.DataFrame(
            {
                "ts": ["2024-08-16 13:30:00", "2024-08-19 09:00:00"],
                "close": [580.0, 581.0],
                "volume": [5, 1],
            }
        )
        assert [day.day for day in import_ticks([write(tmp_path, frame)], data_dir, "2330")] == [
            "2024-08-16",
            "2024-08-19",
        ]


class TestColumns:
    def test_named_columns_are_taken_and_the_others_neutral(self, tmp_path, data_dir, cache_dir):
        frame = pl.DataFrame(
            {
                "when": ["2024-01-08 09:00:00"],
                "px": [580.0],
                "qty": [3],
                "bid": [579.0],
                "side": [1],
            }
        )
        columns = TickColumns(
            time="when", price="px", volume="qty", bid_price="bid", tick_type="side"
        )
        import_ticks([write(tmp_path, frame)], data_dir, "2330", columns=columns)
        row = cached(cache_dir, "2330", "2024-01-08").row(0, named=True)
        assert (row["close"], row["volume"], row["bid_price"], row["tick_type"]) == (
            580.0,
            3,
            579.0,
            1,
        )
        assert (row["ask_price"], row["bid_volume"], row["ask_volume"]) == (0.0, 0, 0)

    @pytest.mark.parametrize(
        "frame, columns, message",
        [
            (
                pl.DataFrame({"ts": ["2024-01-08 09:00:00"], "close": [1.0]}),
                TickColumns(),
                "no column 'volume' (columns: ts, close)",
            ),
            (
                pl.DataFrame({"ts": ["2024-01-08 09:00:00"], "close": [1.0], "volume": [1]}),
                TickColumns(ask_price="ask"),
                "no column 'ask'",
            ),
            (
                pl.DataFrame({"ts": [1.5], "close": [1.0], "volume": [1]}),
                TickColumns(),
                "column 'ts' holds Float64, not times",
            ),
            (
                pl.DataFrame({"ts": ["2024-01-08 09:00:00"], "close": [-1.0], "volume": [1]}),
                TickColumns(),
                "2330 2024-01-08: 1 price not above 0 (-1.0), the first at row 2",
            ),
        ],
        ids=["missing volume", "missing named column", "float times", "negative price"],
    )
    def test_a_file_that_does_not_fit_is_a_one_line_error(
        self, tmp_path, data_dir, cache_dir, frame, columns, message
    ):
        with pytest.raises(DataImportError) as error:
            import_ticks([write(tmp_path, frame)], data_dir, "2330", columns=columns)
        assert message in str(error.value)
        assert not cache_dir.exists()
