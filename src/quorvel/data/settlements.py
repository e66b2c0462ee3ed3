"""Final settlement prices of futures months: imported from CSV or parquet, kept in the data
directory, read by the runs over it.

A table has one row per product and month: `product` (the broker's TXF, MXF, TMF or a stock
future's three letters; the exchange's TX, MTX and TMF are taken too), `month` ("YYYYMM") and
`settlement_price`.  The futures exchange publishes the prices of every month it settled
(TAIFEX, "Final Settlement Price", https://www.taifex.com.tw/cht/5/futIndxFSP).  The data
directory keeps one table, `SETTLEMENTS_FILE`; an import adds its rows to it, a month imported
again taking the new price.
"""

from __future__ import annotations

import math
import re
from typing import Dict, Optional, Sequence

import polars as pl

from quorvel.data.kept_tables import add_rows, read_kept
from quorvel.data.store import DataImportError, read_user_file
from quorvel.data.taifex import PRODUCTS

__all__ = ["COLUMNS", "SETTLEMENTS_FILE", "import_settlements", "read_settlements"]

SETTLEMENTS_FILE = "settlements.parquet"
COLUMNS = {"product": pl.String, "month": pl.String, "settlement_price": pl.Float64}
_PRODUCT = re.compile(r"^[A-Z]{3}$")
_MONTH = re.compile(r"^\d{4}(0[1-9]|1[0-2])$")


def read_settlements(data_dir: str) -> Dict[str, float]:
    """The final settlement prices kept in `data_dir`, by product and month ("TXF202408");
    none when it keeps no table."""
    table = read_kept(data_dir, SETTLEMENTS_FILE)
    if table is None:
        return {}
    return {
        f"{product}{month}": price
        for product, month, price in table.select(list(COLUMNS)).iter_rows()
    }


def import_settlements(paths: Sequence[str], data_dir: str) -> int:
    """Add the rows of the CSV or parquet files to the table of `data_dir`; every file is read
    and checked before the table changes.  Returns the months the table holds."""
    rows = pl.concat([_read(path) for path in paths])
    return add_rows(rows, data_dir, SETTLEMENTS_FILE, ("product", "month"), ("product", "month"))


def _read(path: str) -> pl.DataFrame:
    """One file's rows, checked, the products as the broker names them."""
    frame = read_user_file(path, infer_schema=False)
    missing = [name for name in COLUMNS if name not in frame.columns]
    if missing:
        raise DataImportError(
            f"{path}: no column {', '.join(missing)}; a settlement table has "
            f"{', '.join(COLUMNS)}"
        )
    frame = frame.select(pl.col(name).cast(pl.String).str.strip_chars() for name in COLUMNS)
    prices = []  # as read here: the price column keeps the file's texts
    for number, (product, month, price) in enumerate(frame.iter_rows(), start=2):
        product = PRODUCTS.get(product or "", product or "")
        value = _price(price)
        if not _PRODUCT.match(product) or not _MONTH.match(month or "") or value is None:
            raise DataImportError(
                f"{path}: row {number}: expected a product (TXF), a month (YYYYMM) and a "
                f"positive price, not {product!r}, {month!r}, {price!r}"
            )
        prices.append(value)
    return frame.select(
        pl.col("product").replace(PRODUCTS),
        pl.col("month"),
        pl.Series("settlement_price", prices, dtype=pl.Float64),
    )


def _price(text: object) -> Optional[float]:
    try:
        value = float(str(text))
    except ValueError:
        return None
    return value if 0 < value < math.inf else None
