"""The checked-in daily tick files of the import tests.

files/ holds three daily tick files of the futures exchange, written in its format (cp950,
CRLF, padded values) for the trading days of Monday 19 to Wednesday 21 August 2024:
- Daily_2024_08_19.zip (a zip holding the CSV): its night session began on Friday the 16th at
  15:00 and ran past midnight into Saturday the 17th;
- Daily_2024_08_20.csv: three trades in the same second at 09:00:00, in the order 22031,
  22032, 22029;
- Daily_2024_08_21.csv: the August contracts' expiry day, on which R1 is September.
Each day has TX, MTX and TMF trades of August (22,0xx) and September (21,9xx), one spread
trade, one weekly-contract trade and one trade of a product that is not imported (TE).
"""

from pathlib import Path

import polars as pl

from quorvel.cache import day_files

FILES = Path(__file__).parent / "files"
DAYS = ("2024-08-19", "2024-08-20", "2024-08-21")
TAIFEX_FILES = [
    str(FILES / name)
    for name in ("Daily_2024_08_19.zip", "Daily_2024_08_20.csv", "Daily_2024_08_21.csv")
]


def cached(cache_dir: Path, code: str, day: str) -> pl.DataFrame:
    """The day of `code` as the tick cache holds it."""
    return day_files.read_day(
        str(cache_dir / f"{code} {day} - ticks.csv"), day_files.TICK_SCHEMA
    )


HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價"


def write_daily_file(path: Path, trades) -> str:
    """A daily tick file in the exchange's layout (cp950, CRLF, padded values) of `trades`, each
    (date YYYYMMDD, product, month, time HHMMSS, price); a trade counts 1 contract."""
    rows = [
        f"{date},{product:<7},{month:<11},{time},{price},2,-,-,"
        for date, product, month, time, price in trades
    ]
    path.write_bytes("\r\n".join([HEADER, *rows, ""]).encode("cp950"))
    return str(path)
