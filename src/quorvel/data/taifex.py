"""The futures exchange's daily tick files: every trade of one trading day, as one CSV.

A file comes as the exchange publishes it, a zip holding the CSV, or as the CSV itself,
encoded in cp950 (Big5).  Its header is `HEADER`; values are padded with blanks ("TX     ",
"202401     "), the date is YYYYMMDD and the time HHMMSS.  The file of trading day D holds
the night session that began at 15:00 on the trading day before D (its rows dated by calendar
day, across midnight) and then the day session of D: the same ticks the broker returns for
date D, so all of them are stored as day D.

Rows whose month holds a "/" are spread trades and are left out, as are weekly contracts
("202401W2").  "成交數量(B+S)" counts both sides of a trade, so a tick's volume is half of it.
Products map to the broker's codes: TX to TXF, MTX to MXF, TMF to TMF.  Each day is stored
under the broker's continuous codes (TXFR1, TXFR2, ...) and under the code of each month that
traded (TXFH4 for August 2024, as the broker names them).
"""

from __future__ import annotations

import datetime as dt
import io
import zipfile
import zlib
from typing import Iterator, List, Optional, Sequence, Tuple, Type

import polars as pl

from quorvel.data.store import DataImportError, cache_frame, check_rows
from quorvel.market import TAIWAN
from quorvel.market.months import month_code

__all__ = ["HEADER", "MAX_UNZIPPED_BYTES", "PRODUCTS", "continuous_months", "read_taifex_file"]

HEADER = (
    "成交日期",
    "商品代號",
    "到期月份(週別)",
    "成交時間",
    "成交價格",
    "成交數量(B+S)",
    "近月價格",
    "遠月價格",
    "開盤集合競價",
)
# Older files name the first column 交易日期.
DATE_HEADERS = ("成交日期", "交易日期")
COLUMNS = ("date", "product", "month", "time", "price", "both_sides")

# The exchange's product code and the broker's.
PRODUCTS = {"TX": "TXF", "MTX": "MXF", "TMF": "TMF"}

# The day session runs from 08:45 to 13:45; a time from 08:00 to 14:59 can only be in it.
DAY_SESSION = ("080000", "145959")

ZIP_MAGIC = b"PK\x03\x04"
# The most a zip may unpack to: several times the busiest day's file (about 100 MB), so that a
# small zip that unpacks to gigabytes is refused instead of exhausting memory.
MAX_UNZIPPED_BYTES = 512 * 1024 * 1024
# What damage to a zip raises while it is read: a broken directory or CRC (BadZipFile), a
# broken deflate stream (zlib.error), a truncated one (EOFError), encryption, an unknown
# compression method or zip version (RuntimeError), an offset before the file's start
# (ValueError), a broken bzip2 or lzma stream (OSError).
UNZIP_ERRORS = (zipfile.BadZipFile, zlib.error, EOFError, RuntimeError, ValueError, OSError)


def continuous_months(day: dt.date) -> Tuple[str, str]:
    """The months ("YYYYMM") of R1 and R2 on trading day `day`, by Taiwan's rules
    (`quorvel.market.months`): R1 is the nearest month whose last trading day lies after
    `day`, as the broker's continuous contracts follow the next month on the expiry day
    already; R2 is the month after R1."""
    r1, r2 = (TAIWAN.contract_month(f"TXFR{rank}", day) for rank in (1, 2))
    assert r1 is not None and r2 is not None
    return r1, r2


def read_taifex_file(
    path: str, months: Optional[Sequence[str]] = None
) -> Iterator[Tuple[str, str, pl.DataFrame]]:
    """The days of one file as (code, trading day "YYYY-MM-DD", day frame).

    Every product of `PRODUCTS` found in the file gives its R1 and R2 days (a day without a
    trade of that month is stored empty) and one day per month it traded, under the month's
    own code: every month of the file, or those of `months`.  A file with a short row, or
    whose rows of a month fail the day's checks (`quorvel.data.store.check_rows`: a trade of
    another day, no quantity, every row twice...), is refused.
    """
    trades = _read_trades(path)
    _check_complete(trades, path)
    day = _trading_day(trades, path)
    monthly = trades.filter(
        pl.col("product").is_in(list(PRODUCTS)), pl.col("month").str.contains(r"^\d{6}$")
    ).with_columns(
        pl.concat_str("date", "time")
        .str.strptime(pl.Datetime("ns"), "%Y%m%d%H%M%S", strict=False)
        .dt.epoch("ns")
        .alias("ts"),
        _number(pl.col("price"), pl.Float64).alias("close"),
        ((_number(pl.col("both_sides"), pl.Int64) + 1) // 2).alias("volume"),
    )
    _check_values(monthly, path)
    r1, r2 = continuous_months(day)
    day_text = day.isoformat()
    for product in monthly.get_column("product").unique(maintain_order=True).to_list():
        ticks = monthly.filter(pl.col("product") == product)
        code = PRODUCTS[product]
        wanted: List[Tuple[str, str]] = [(f"{code}R1", r1), (f"{code}R2", r2)]
        traded = ticks.get_column("month").unique().sort().to_list() if months is None else months
        wanted += [(month_code(code, month), month) for month in traded]
        for name, month in wanted:
            rows = ticks.filter(pl.col("month") == month)
            if rows.height:
                values = rows.select("row", "ts", "close", "volume")
                check_rows(path, name, day_text, values, repeats=True)
            if rows.height or name.endswith(("R1", "R2")):
                yield name, day_text, cache_frame(rows.select("ts", "close", "volume"))


def _number(column: pl.Expr, dtype: Type[pl.DataType]) -> pl.Expr:
    return column.cast(dtype, strict=False)


def _read_trades(path: str) -> pl.DataFrame:
    """The file's first six columns as blank-stripped text, the time as six digits, and each
    row's "row" in the file (the header is row 1)."""
    content = _utf8_csv(_file_bytes(path), path)
    try:
        raw = pl.read_csv(
            content,
            columns=list(range(len(COLUMNS))),
            infer_schema=False,
            truncate_ragged_lines=True,
        )
    except pl.exceptions.PolarsError as error:
        raise DataImportError(f"{path}: not a CSV file: {str(error).splitlines()[0]}") from None
    return raw.rename(dict(zip(raw.columns, COLUMNS))).select(
        pl.int_range(2, pl.len() + 2).alias("row"),
        *(
            pl.col(name).str.strip_chars().str.zfill(6)
            if name == "time"
            else pl.col(name).str.strip_chars()
            for name in COLUMNS
        ),
    )


def _check_complete(trades: pl.DataFrame, path: str) -> None:
    """Raises for the first row that lacks one of the six values a trade has."""
    short = trades.filter(pl.any_horizontal(pl.col(COLUMNS).is_null() | (pl.col(COLUMNS) == "")))
    if short.height:
        row = short.row(0, named=True)
        given = sum(row[name] not in (None, "") for name in COLUMNS)
        raise DataImportError(
            f"{path}: row {row['row']:,} holds {given} of the {len(COLUMNS)} values of a trade"
        )


def _file_bytes(path: str) -> bytes:
    """The CSV's bytes: the file itself, or the one file a zip holds."""
    try:
        with open(path, "rb") as file:
            content = file.read()
    except OSError as error:
        raise DataImportError(f"{path}: cannot read: {error.strerror or error}") from None
    if not content.startswith(ZIP_MAGIC):
        return content
    try:
        with zipfile.ZipFile(io.BytesIO(content)) as archive:
            members = [info for info in archive.infolist() if not info.is_dir()]
            if len(members) != 1:
                raise DataImportError(
                    f"{path}: a daily tick zip holds one CSV file, this one holds {len(members)}"
                )
            (member,) = members
            # zipfile never unpacks more than the size a member declares, and a member whose
            # header understates its size fails its CRC check, so the declared size bounds
            # what the import holds in memory.
            if member.file_size > MAX_UNZIPPED_BYTES:
                raise DataImportError(
                    f"{path}: the zip unpacks to {member.file_size} bytes, more than the "
                    f"{MAX_UNZIPPED_BYTES} a daily tick file can hold"
                )
            return archive.read(member)
    except UNZIP_ERRORS as error:
        raise DataImportError(f"{path}: damaged zip file: {error}") from None


def _utf8_csv(content: bytes, path: str) -> bytes:
    """The CSV as UTF-8, its header checked.

    Only the header holds Chinese text; a body of plain ASCII reads the same in cp950 and
    UTF-8, so only the header is decoded then.
    """
    header_line, newline, body = content.partition(b"\n")
    header = _decode(header_line, path).lstrip("\ufeff").rstrip("\r")
    names = [name.strip() for name in header.split(",")]
    while names and not names[-1]:
        names.pop()
    if len(names) != len(HEADER) or names[0] not in DATE_HEADERS or tuple(names[1:]) != HEADER[1:]:
        raise DataImportError(
            f"{path}: not a daily tick file of the futures exchange: its header is {header!r}"
        )
    if not body.isascii():
        body = _decode(body, path).encode("utf-8")
    return header.encode("utf-8") + newline + body


def _decode(content: bytes, path: str) -> str:
    for encoding in ("cp950", "utf-8"):
        try:
            return content.decode(encoding)
        except UnicodeDecodeError:
            continue
    raise DataImportError(f"{path}: neither cp950 (Big5) nor UTF-8 text")


def _trading_day(trades: pl.DataFrame, path: str) -> dt.date:
    """The file's trading day: the date of its day session, after which no trade may lie."""
    start, end = DAY_SESSION
    in_day_session = pl.col("time").is_between(pl.lit(start), pl.lit(end))
    dates = trades.filter(in_day_session).get_column("date").unique().sort().to_list()
    if not dates:
        raise DataImportError(
            f"{path}: no trade of a day session (08:45 to 13:45); a file published before "
            "the day session holds the night session alone: import the complete file"
        )
    if len(dates) > 1:
        raise DataImportError(
            f"{path}: day sessions of {len(dates)} days ({', '.join(dates)}); "
            "give one file per trading day"
        )
    try:
        day = dt.datetime.strptime(dates[0], "%Y%m%d").date()
    except ValueError:
        raise DataImportError(f"{path}: {dates[0]!r} is not a date of the form YYYYMMDD") from None
    later = trades.filter(pl.col("date") > dates[0])
    if later.height:
        raise DataImportError(
            f"{path}: a trade dated {later.item(0, 'date')}, after the trading day {dates[0]}"
        )
    return day


def _check_values(monthly: pl.DataFrame, path: str) -> None:
    """Raises for the first row whose time, price or volume does not read as one."""
    for column, source in (("ts", "time"), ("close", "price"), ("volume", "both_sides")):
        bad = monthly.filter(pl.col(column).is_null())
        if bad.height:
            row = bad.row(0, named=True)
            raise DataImportError(
                f"{path}: {row['product']} {row['month']} at {row['date']} {row['time']}: "
                f"unreadable {source} {row[source]!r}"
            )
