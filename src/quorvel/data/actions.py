"""Corporate actions (`quorvel.market.actions`): imported from CSV or parquet, kept in the data
directory, read by the runs over it.

A table has one row per code and ex-date: `code`, `ex_date` ("YYYY-MM-DD"), `cash_dividend`
(NTD a share), `stock_dividend` (new shares a share), and optionally `payment_date` (the
ex-date when absent or empty) and `capital_reduction` (shares cancelled a share).  The data
directory keeps one table, `ACTIONS_FILE`; an import adds its rows to it, an action of a code
and ex-date imported again taking the new figures.
"""

from __future__ import annotations

from typing import List, Optional, Sequence

import polars as pl

from quorvel.data.kept_tables import add_rows, read_kept
from quorvel.data.store import DataImportError, read_user_file
from quorvel.market.actions import CorporateAction

__all__ = ["ACTIONS_FILE", "COLUMNS", "import_actions", "read_actions"]

ACTIONS_FILE = "corporate_actions.parquet"
COLUMNS = {
    "code": pl.String,
    "ex_date": pl.String,
    "cash_dividend": pl.Float64,
    "stock_dividend": pl.Float64,
    "payment_date": pl.String,
    "capital_reduction": pl.Float64,
}
OPTIONAL = {"payment_date": "", "capital_reduction": 0.0}


def read_actions(data_dir: str) -> List[CorporateAction]:
    """The corporate actions kept in `data_dir`; none when it keeps no table."""
    table = read_kept(data_dir, ACTIONS_FILE)
    return [] if table is None else _actions(table, ACTIONS_FILE)


def import_actions(paths: Sequence[str], data_dir: str) -> int:
    """Add the rows of the CSV or parquet files to the table of `data_dir`; every file is read
    and checked before the table changes.  Returns the actions the table holds."""
    rows = pl.concat([_read(path) for path in paths])
    return add_rows(rows, data_dir, ACTIONS_FILE, ("code", "ex_date"), ("ex_date", "code"))


def _read(path: str) -> pl.DataFrame:
    """One file's rows, checked, in the table's columns."""
    frame = read_user_file(path, infer_schema=False)
    missing = [name for name in COLUMNS if name not in frame.columns and name not in OPTIONAL]
    if missing:
        raise DataImportError(
            f"{path}: no column {', '.join(missing)}; a corporate action table has "
            f"{', '.join(COLUMNS)} (the last two optional)"
        )
    frame = frame.with_columns(
        pl.lit(value).alias(name) for name, value in OPTIONAL.items() if name not in frame.columns
    )
    text = frame.select(pl.col(name).cast(pl.String).str.strip_chars() for name in COLUMNS)
    numbers = [name for name, kind in COLUMNS.items() if kind == pl.Float64]
    table = text.with_columns(
        pl.col("payment_date").fill_null(""),
        *(
            pl.col(name).replace("", None).fill_null("0").cast(pl.Float64, strict=False)
            for name in numbers
        ),
    )
    _actions(table, path, text)
    return table


def _actions(
    table: pl.DataFrame, path: str, text: Optional[pl.DataFrame] = None
) -> List[CorporateAction]:
    """The table's rows as actions; a bad row is one `DataImportError` naming it."""
    actions = []
    for number, row in enumerate(table.iter_rows(named=True), start=2):
        try:
            if any(row[name] is None for name in COLUMNS):
                raise ValueError("a figure that is not a number")
            actions.append(CorporateAction(**row))
        except (TypeError, ValueError) as error:
            shown = (text if text is not None else table).row(number - 2, named=True)
            raise DataImportError(f"{path}: row {number} {shown}: {error}") from None
    return actions
