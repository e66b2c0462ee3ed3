"""An import that cannot be done says why in one line: a code that could reach out of the data
directory is refused before any file is written, a data directory that cannot take the files is
named, and a file whose ticks fail a day's checks is refused naming the day and the first bad
row."""

import polars as pl
import pytest

from data_support import HEADER

from quorvel.data import DataImportError, import_taifex, import_ticks
from quorvel.data.command import main


@pytest.fixture
def tick_file(tmp_path):
    path = tmp_path / "ticks.csv"
    pl.DataFrame({"ts": [1_704_704_400 * 10**9], "close": [580.0], "volume": [1]}).write_csv(path)
    return path


@pytest.mark.parametrize("code", ["../../escaped", "..", "a/b", "a\\b", "new\nline", ""])
def test_a_code_that_could_leave_the_data_directory_writes_nothing(code, tick_file, tmp_path):
    data_dir = tmp_path / "one" / "two" / "data"
    with pytest.raises(DataImportError, match="code"):
        import_ticks([str(tick_file)], str(data_dir), code)
    assert [path for path in tmp_path.rglob("*") if path.is_file()] == [tick_file]


@pytest.mark.parametrize("file_at", ["data", "data/sino/ticks"])
def test_a_file_where_the_cache_goes_is_one_line(file_at, tick_file, tmp_path, capsys):
    (tmp_path / file_at).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / file_at).write_text("")
    argv = ["ticks", str(tick_file), "--code", "2330", "--data-dir", str(tmp_path / "data")]
    assert main(argv) == 1
    out, err = capsys.readouterr()
    assert not out.strip()
    [line] = [line for line in err.splitlines() if line.strip()]
    assert line.startswith("import failed: [Errno ") and str(tmp_path / "data") in line


# A good day of the daily file of 2024-08-20: the night session from the 19th, then the day's.
GOOD_ROWS = [
    "20240819,TX     ,202408     ,150000,21910,2,-,-,",
    "20240820,TX     ,202408     ,090000,21920,2,-,-,",
    "20240820,TX     ,202408     ,090001,21930,4,-,-,",
]


@pytest.mark.parametrize(
    "rows, refusal",
    [
        (
            GOOD_ROWS + ["20240719,TX     ,202408     ,200000,21950,2,-,-,"],
            "TXFR1 2024-08-20: 1 tick outside the day's sessions, the first at row 5 "
            "(2024-07-19 20:00:00)",
        ),
        (GOOD_ROWS + ["20240820,TX     ,202408"], "row 5 holds 3 of the 6 values of a trade"),
        (
            GOOD_ROWS + ["20240820,TX     ,202408     ,090002,21940,0,-,-,"],
            "TXFR1 2024-08-20: 1 tick without volume, the first at row 5 (2024-08-20 09:00:02)",
        ),
        (
            GOOD_ROWS * 2,
            "TXFR1 2024-08-20: 3 ticks given twice, the first at row 5 (2024-08-19 15:00:00)",
        ),
    ],
    ids=["a trade of July", "a short row", "no quantity", "every row twice"],
)
def test_a_daily_file_with_a_bad_row_is_refused_naming_day_and_row(rows, refusal, tmp_path):
    path = tmp_path / "Daily_2024_08_20.csv"
    path.write_bytes("\r\n".join([HEADER, *rows, ""]).encode("cp950"))
    with pytest.raises(DataImportError) as refused:
        import_taifex([str(path)], str(tmp_path / "data"))
    assert str(refused.value) == f"{path}: {refusal}"
    assert not (tmp_path / "data").exists()


def test_equal_lines_of_a_daily_file_are_different_trades(tmp_path):
    path = tmp_path / "Daily_2024_08_20.csv"
    path.write_bytes("\r\n".join([HEADER, *GOOD_ROWS, GOOD_ROWS[-1], ""]).encode("cp950"))
    days = import_taifex([str(path)], str(tmp_path / "data"))
    assert {(day.code, day.ticks) for day in days} >= {("TXFR1", 4)}


MONDAY, SATURDAY = "2024-01-08 09:00:0", "2024-01-13 10:00:0"


@pytest.mark.parametrize(
    "times, prices, code, refusal",
    [
        ([MONDAY + "0", MONDAY + "1", MONDAY + "2"], (580.0, 1e308, 581.0), "2330",
         "2330 2024-01-08: 1 price far beyond the day's limits (1e+308), the first at row 3"),
        (["1970-01-01 09:00:00", MONDAY + "1"], (580.0, 581.0), "2330",
         "2330 1970-01-01: 1970-01-01 lies outside the XTAI calendar"),
        ([MONDAY + "0", "2053-01-08 09:00:01"], (580.0, 581.0), "TXFR1",
         "TXFR1 2053-01-08: 2053-01-08 lies outside the XTAI calendar"),
        ([SATURDAY + "0", SATURDAY + "1"], (580.0, 581.0), "2330",
         "2330 2024-01-13: 2 ticks on a day without trading, the first at row 2"),
        ([MONDAY + "0"] * 2, (580.0, 580.0), "2330",
         "2330 2024-01-08: 1 tick given twice, the first at row 3"),
        ([MONDAY + "0", MONDAY + "1"], (580.0, 581.0), "<script>", "not an instrument"),
        ([], (), "2330", "no rows of ticks"),
    ],
    ids=["a huge price", "1970", "2053", "a Saturday", "a row twice", "a code", "no rows"],
)
def test_a_tick_file_with_a_bad_row_is_refused(times, prices, code, refusal, tmp_path, capsys):
    path = tmp_path / "ticks.csv"
    schema = {"ts": pl.String, "close": pl.Float64, "volume": pl.Int64}
    pl.DataFrame([times, list(prices), [1] * len(times)], schema=schema).write_csv(path)
    argv = ["ticks", str(path), "--code", code, "--data-dir", str(tmp_path / "data")]
    assert main(argv) == 1
    [line] = [line for line in capsys.readouterr().err.splitlines() if line.strip()]
    assert line.startswith("import failed") and refusal in line, line
    assert not (tmp_path / "data").exists()
