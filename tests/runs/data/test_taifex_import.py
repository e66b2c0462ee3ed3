"""Importing the futures exchange's daily tick files: which trades go to which code and day."""

import datetime as dt
import io
import json
import zipfile

import polars as pl
import pytest
from data_support import DAYS, FILES, TAIFEX_FILES, cached

from quorvel.cache import day_files
from quorvel.data import DataImportError, continuous_months, import_taifex
from quorvel.market.months import month_code

HOLED = "damaged zip file: Error -3 while decompressing data: invalid code -- missing end-of-block"
HUGE = "the zip unpacks to 536872027 bytes, more than the 536870912 a daily tick file can hold"


def wall_clock(frame):
    """The ticks' times as the exchange's wall clock, the broker's convention undone."""
    return (
        frame.select(pl.from_epoch("ts", "ns").dt.strftime("%Y-%m-%d %H:%M:%S"))
        .to_series()
        .to_list()
    )


@pytest.fixture
def imported(data_dir, cache_dir):
    import_taifex(TAIFEX_FILES, data_dir, months=["202408"])
    return cache_dir


class TestDating:
    def test_a_days_file_holds_the_night_session_from_the_trading_day_before(self, imported):
        times = wall_clock(cached(imported, "TXFR1", "2024-08-19"))
        # Friday's night session, across midnight into Saturday, then Monday's day session.
        assert times[:4] == [
            "2024-08-16 15:00:00",
            "2024-08-16 23:59:59",
            "2024-08-17 00:00:05",
            "2024-08-17 04:59:58",
        ]
        assert times[4] == "2024-08-19 08:45:00"
        assert times[-1] == "2024-08-19 13:44:59"

    def test_times_are_the_exchanges_wall_clock_written_as_utc(self, imported):
        first = cached(imported, "TXFR1", "2024-08-20").item(0, "ts")
        assert (
            first == int(dt.datetime(2024, 8, 19, 15, tzinfo=dt.timezone.utc).timestamp()) * 10**9
        )

    def test_trades_of_one_second_keep_the_files_order_nanoseconds_apart(self, imported):
        day = cached(imported, "TXFR1", "2024-08-20")
        same_second = day.filter(pl.from_epoch("ts", "ns").dt.strftime("%H:%M:%S") == "09:00:00")
        assert same_second["close"].to_list() == [22031.0, 22032.0, 22029.0]
        assert same_second["ts"].diff().drop_nulls().to_list() == [1, 1]


class TestContinuousContracts:
    @pytest.mark.parametrize(
        "day, months",
        [
            ("2024-08-20", ("202408", "202409")),
            ("2024-08-21", ("202409", "202410")),  # expiry day: rolled already
            ("2024-08-22", ("202409", "202410")),
            ("2024-12-18", ("202501", "202502")),
            ("2024-12-02", ("202412", "202501")),
            ("2025-01-14", ("202501", "202502")),
        ],
    )
    def test_r1_is_the_nearest_month_not_expired_rolling_on_the_third_wednesday(self, day, months):
        assert continuous_months(dt.date.fromisoformat(day)) == months

    @pytest.mark.parametrize(
        "code, day, prices",
        [
            ("TXFR1", "2024-08-20", 22000),
            ("TXFR1", "2024-08-21", 21900),
            ("TXFR2", "2024-08-21", 21800),
        ],
    )
    def test_each_code_holds_the_month_it_stands_for_on_that_day(self, imported, code, day, prices):
        closes = cached(imported, code, day)["close"]
        assert closes.len() > 0
        assert ((closes >= prices) & (closes < prices + 100)).all()

    @pytest.mark.parametrize(
        "product, month, code",
        [("TXF", "202408", "TXFH4"), ("MXF", "202312", "MXFL3"), ("TMF", "203001", "TMFA0")],
    )
    def test_explicit_months_take_the_brokers_code(self, product, month, code):
        assert month_code(product, month) == code

    def test_an_explicit_month_keeps_every_trade_of_it_on_its_expiry_day(self, imported):
        august = cached(imported, "TXFH4", "2024-08-21")
        assert august.height == 9
        assert (august["close"] >= 22000).all()

    def test_each_product_gets_both_continuous_codes_even_without_trades(self, imported):
        assert cached(imported, "TMFR2", "2024-08-19").height == 0
        assert {path.name.split()[0] for path in imported.glob("*.csv")} == {
            "TXFR1",
            "TXFR2",
            "MXFR1",
            "MXFR2",
            "TMFR1",
            "TMFR2",
            "TXFH4",
            "MXFH4",
            "TMFH4",
        }


class TestRows:
    def test_spreads_weeklies_and_other_products_are_left_out_and_volumes_halved(self, imported):
        day = cached(imported, "TXFR1", "2024-08-19")
        # Seven August trades of TX and two more at 09:00:00; not the spread (100, 99) or the
        # weekly contract (22033).
        assert day.height == 9
        assert not day["close"].is_in([100.0, 99.0, 22033.0]).any()
        assert day.filter(pl.col("close") == 22030.0)["volume"].to_list() == [20]  # 40 both sides

    def test_quotes_and_tick_type_get_the_neutral_values(self, imported):
        day = cached(imported, "MXFR1", "2024-08-20")
        assert day.select("bid_price", "ask_price").unique().rows() == [(0.0, 0.0)]
        assert day.select("bid_volume", "ask_volume", "tick_type").unique().rows() == [(0, 0, 0)]


class TestCacheFiles:
    def test_days_are_recorded_in_the_manifest(self, imported):
        files = json.loads((imported / "manifest.json").read_text())["files"]
        assert files["TXFR1 2024-08-19 - ticks.csv"]["rows"] == 9
        assert len(files) == 9 * len(DAYS)

    def test_the_file_schema_is_the_feeds(self, ticker_built):
        assert ticker_built.Ticker(None).tick_df_schema == dict(day_files.TICK_SCHEMA)

    def test_importing_a_day_again_replaces_it(self, data_dir, cache_dir, taifex_copy, tmp_path):
        import_taifex(TAIFEX_FILES, data_dir)
        changed = taifex_copy("Daily_2024_08_20.csv")
        text = open(changed, encoding="cp950").read().replace(",22031,", ",22061,")
        open(changed, "w", encoding="cp950", newline="").write(text)
        import_taifex([changed], data_dir)
        assert 22061.0 in cached(cache_dir, "TXFR1", "2024-08-20")["close"].to_list()


class TestBadFiles:
    def test_a_day_in_two_files_is_an_error_naming_both_and_writes_nothing(
        self, data_dir, cache_dir, taifex_copy
    ):
        twin = taifex_copy("Daily_2024_08_20.csv", "copy of 20 August.csv")
        with pytest.raises(DataImportError) as error:
            import_taifex(TAIFEX_FILES + [twin], data_dir)
        assert str(error.value) == f"TXFR1 2024-08-20 is in two files: {TAIFEX_FILES[1]} and {twin}"
        assert not cache_dir.exists()

    def test_a_bad_file_after_good_ones_writes_nothing(self, data_dir, cache_dir, tmp_path):
        bad = tmp_path / "bad.csv"
        bad.write_text("date,code\n1,2\n")
        with pytest.raises(DataImportError, match="not a daily tick file of the futures exchange"):
            import_taifex(TAIFEX_FILES + [str(bad)], data_dir)
        assert not cache_dir.exists()

    @pytest.mark.parametrize(
        "change, message",
        [
            (
                lambda text: text.replace(",22040,", ",22O40,"),
                "TX 202408 at 20240820 134459: unreadable price '22O40'",
            ),
            (
                lambda text: "\r\n".join(
                    line
                    for line in text.split("\r\n")
                    if "20240820,TX     ,202408     ,13" not in line
                    and ",09" not in line
                    and ",08" not in line
                ),
                "no trade of a day session",
            ),
            (
                lambda text: text.replace(
                    "20240820,MTX    ,202409     ,090005", "20240821,MTX    ,202409     ,090005"
                ),
                "day sessions of 2 days (20240820, 20240821)",
            ),
        ],
        ids=["unreadable price", "night session only", "two days"],
    )
    def test_a_malformed_file_is_a_one_line_error(self, data_dir, taifex_copy, change, message):
        path = taifex_copy("Daily_2024_08_20.csv")
        text = open(path, encoding="cp950", newline="").read()
        open(path, "w", encoding="cp950", newline="").write(change(text))
        with pytest.raises(DataImportError) as error:
            import_taifex([path], data_dir)
        assert message in str(error.value)
        assert "\n" not in str(error.value)

    def test_a_zip_must_hold_one_file(self, data_dir, tmp_path):
        archive = tmp_path / "two.zip"
        with zipfile.ZipFile(archive, "w") as two:
            two.write(FILES / "Daily_2024_08_20.csv", "a.csv")
            two.write(FILES / "Daily_2024_08_21.csv", "b.csv")
        with pytest.raises(DataImportError, match="holds one CSV file, this one holds 2"):
            import_taifex([str(archive)], data_dir)

    @pytest.mark.parametrize("megabytes, hole, message", [(0, 100, HOLED), (512, 0, HUGE)])
    def test_a_damaged_or_huge_zip_is_one_line(self, data_dir, tmp_path, megabytes, hole, message):
        packed = io.BytesIO()  # 512 MiB of zeros, 1 MiB at a time, pack into about 2 MB
        with zipfile.ZipFile(packed, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
            with archive.open("Daily_2024_08_20.csv", "w", force_zip64=True) as member:
                member.write((FILES / "Daily_2024_08_20.csv").read_bytes())
                for _ in range(megabytes):
                    member.write(bytes(1 << 20))
        path, data = tmp_path / "bad.zip", bytearray(packed.getvalue())
        data[80 : 80 + hole] = bytes(hole)  # a hole in the packed data
        path.write_bytes(data)
        with pytest.raises(DataImportError) as error:
            import_taifex([str(path)], data_dir)
        assert str(error.value) == f"{path}: {message}"

    def test_months_must_be_yyyymm(self, data_dir):
        with pytest.raises(
            DataImportError, match="not a contract month of the form YYYYMM: '2024-08'"
        ):
            import_taifex(TAIFEX_FILES, data_dir, months=["2024-08"])
