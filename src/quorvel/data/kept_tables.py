"""Tables kept whole in the data directory (final settlement prices, corporate actions): rows
added by key, a key given again taking its new row, the table replaced in one step."""

from __future__ import annotations

import os
from typing import Optional, Sequence

import polars as pl

from quorvel.atomic_files import temporary_beside

__all__ = ["add_rows", "read_kept"]


def read_kept(data_dir: str, file_name: str) -> Optional[pl.DataFrame]:
    """The table `file_name` kept in `data_dir`; None when there is none."""
    path = os.path.join(os.path.expanduser(data_dir), file_name)
    return pl.read_parquet(path) if os.path.exists(path) else None


def add_rows(
    rows: pl.DataFrame, data_dir: str, file_name: str, keys: Sequence[str], order: Sequence[str]
) -> int:
    """Add `rows` to the table `file_name` of `data_dir` (made when missing), a row whose
    `keys` it holds already replacing that one, the table sorted by `order`.  Returns the rows
    the table holds."""
    kept = read_kept(data_dir, file_name)
    if kept is not None:
        rows = pl.concat([kept.select(rows.columns), rows])
    table = rows.unique(list(keys), keep="last", maintain_order=True).sort(list(order))
    folder = os.path.expanduser(data_dir)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, file_name)
    with temporary_beside(path) as temporary:
        table.write_parquet(temporary)
        os.replace(temporary, path)
    return table.height
