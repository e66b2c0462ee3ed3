"""Your own history in the tick cache: the futures exchange's daily tick files, or ticks of any
source as CSV or parquet, stored as the tick feed stores the days it fetches; and runs that read
the cache alone.

`import_taifex`, `import_ticks`, `import_settlements` and `import_actions` are the functions
behind the command `quorvel-import`;
`CacheOnlyBroker` and `check_cached` are what `quorvel-backtest --offline` runs with.
"""

from __future__ import annotations

import os
from typing import Callable, Iterable, Iterator, List, Optional, Sequence, Tuple

import polars as pl

from quorvel.cache import day_files
from quorvel.data.offline import CacheOnlyBroker, MissingCachedDay, check_cached, missing_days
from quorvel.data.actions import import_actions, read_actions
from quorvel.data.checks import code_problem
from quorvel.data.settlements import import_settlements, read_settlements
from quorvel.data.store import NEUTRAL_VALUES, DataImportError, ImportedDay, Staging
from quorvel.data.taifex import continuous_months, read_taifex_file
from quorvel.data.tick_files import EXCHANGE_TIME_ZONE, TickColumns, market_of, read_tick_file

__all__ = [
    "NEUTRAL_VALUES",
    "CacheOnlyBroker",
    "DataImportError",
    "ImportedDay",
    "MissingCachedDay",
    "TickColumns",
    "check_cached",
    "check_month",
    "continuous_months",
    "import_actions",
    "import_settlements",
    "import_taifex",
    "import_ticks",
    "market_of",
    "missing_days",
    "read_actions",
    "read_settlements",
]

# Called with each file's path once it has been read.
FileDone = Callable[[str], None]
DayReader = Callable[[str], Iterable[Tuple[str, str, pl.DataFrame]]]


def import_taifex(
    paths: Sequence[str],
    data_dir: str,
    *,
    months: Optional[Sequence[str]] = None,
    file_done: Optional[FileDone] = None,
) -> List[ImportedDay]:
    """Import the futures exchange's daily tick files (zip or CSV) into the tick cache.

    Each file's trading day is stored under TXFR1, TXFR2, MXFR1, MXFR2, TMFR1 and TMFR2 (for
    the products the file holds) and under the broker's code of each month that traded that
    day ("YYYYMM": 202408 gives TXFH4, MXFH4, TMFH4): every month, or those of `months`.
    """
    for month in months or ():
        try:
            check_month(month)
        except ValueError as error:
            raise DataImportError(str(error)) from None
    return _import(paths, data_dir, lambda path: read_taifex_file(path, months), file_done)


def check_month(month: str) -> str:
    """`month` if it is a contract month of the form YYYYMM; ValueError with one line if not."""
    if not (len(month) == 6 and month.isdigit() and 1 <= int(month[4:]) <= 12):
        raise ValueError(f"not a contract month of the form YYYYMM: {month!r}")
    return month


def import_ticks(
    paths: Sequence[str],
    data_dir: str,
    code: str,
    *,
    columns: TickColumns = TickColumns(),
    time_zone: str = EXCHANGE_TIME_ZONE,
    epoch_unit: str = "ns",
    file_done: Optional[FileDone] = None,
) -> List[ImportedDay]:
    """Import one code's ticks from CSV or parquet files into the tick cache (see `TickColumns`
    for the columns and `quorvel.data.tick_files` for the times and trading days).  A code that
    cannot name a cache file (see `day_files.check_code`), or that is not an instrument code
    (`quorvel.data.checks.code_problem`), is refused before any file is read."""
    try:
        day_files.check_code(code)
    except ValueError as error:
        raise DataImportError(str(error)) from None
    problem = code_problem(code)
    if problem is not None:
        raise DataImportError(problem)
    return _import(
        paths,
        data_dir,
        lambda path: read_tick_file(path, code, columns, time_zone, epoch_unit),
        file_done,
    )


def _import(
    paths: Sequence[str], data_dir: str, read: DayReader, file_done: Optional[FileDone]
) -> List[ImportedDay]:
    """Read every file, then write every day: a bad file or a day in two files writes nothing."""
    with Staging() as staging:
        for path in _distinct(paths):
            for code, day, frame in read(path):
                staging.add(path, code, day, frame)
            if file_done is not None:
                file_done(path)
        return staging.write(os.path.expanduser(data_dir))


def _distinct(paths: Sequence[str]) -> Iterator[str]:
    """The paths, a file named twice read once."""
    seen = set()
    for path in paths:
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            yield path
