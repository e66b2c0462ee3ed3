"""Files of the history tick cache: checked on every read, written atomically, recorded in a manifest.

A cached day is a CSV file whose header is the tick schema's column names, in order.  Other
programs read these files, so their format stays plain; what a CSV cannot show about itself
(a file cut off at a row boundary) is kept beside the files in the manifest (see
`quorvel.cache.manifest`): each file's row count and the SHA-256 of its bytes.

A file that fails a check is set aside (renamed, never deleted) and `CorruptCacheFile` raised,
so that the caller fetches the day again.  The decision is taken, and the file moved, under the
manifest's lock, after judging the file once more: runs sharing a cache heal a corrupt day
once, and never set aside the good file another run has just written in its place.
"""

from __future__ import annotations

import hashlib
import math
import os
import unicodedata
from concurrent.futures import ThreadPoolExecutor
from contextlib import suppress
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

import polars as pl

from quorvel.atomic_files import temporary_path
from quorvel.cache import manifest as cache_manifest

__all__ = [
    "TICK_SCHEMA",
    "CorruptCacheFile",
    "cache_directory",
    "check_code",
    "day_file_path",
    "frame_from_answer",
    "read_day",
    "store_day",
]

# Prices a tick must hold above 0; the bid and ask may be 0 when that side of the book is empty
# (a stock at its price limit has no ask).
TRADE_PRICE_COLUMNS = ("close",)
QUOTE_PRICE_COLUMNS = ("bid_price", "ask_price")
VOLUME_COLUMNS = ("volume", "bid_volume", "ask_volume")

Schema = Mapping[str, Any]

# A day file's columns, in order: what the tick feed's `tick_df_schema` holds.
TICK_SCHEMA: Schema = {
    "ts": pl.Int64,
    "close": pl.Float64,
    "volume": pl.Int64,
    "bid_price": pl.Float64,
    "bid_volume": pl.Int64,
    "ask_price": pl.Float64,
    "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
}


def cache_directory(data_dir: str) -> str:
    """The tick cache under a data directory: its sino/ticks folder."""
    return os.path.join(data_dir, "sino", "ticks")


def day_file_path(data_dir: str, code: str, day: str) -> str:
    """The file of one code and day ("YYYY-MM-DD"), named as the tick feed names it."""
    check_code(code)
    return os.path.join(cache_directory(data_dir), f"{code} {day} - ticks.csv")


def check_code(code: object) -> None:
    """Raise ValueError unless `code` may become part of a cache file's name.

    A code names files under the data directory, so one that could reach out
    of it, or that no file system shows plainly, is refused: it must be a
    non-empty text without a path separator, "..", or a control character.
    """
    if not isinstance(code, str) or not code:
        raise ValueError(f"a code is a non-empty text, not {code!r}")
    if "/" in code or "\\" in code or ".." in code:
        raise ValueError(f"{code!r} is not a code: it holds a path separator or '..'")
    if any(unicodedata.category(character) == "Cc" for character in code):
        raise ValueError(f"{code!r} is not a code: it holds a control character")


class CorruptCacheFile(Exception):
    """A cache file that fails its checks; the message says why, `moved_to` where the file was
    set aside."""

    moved_to: Optional[str] = None


def frame_from_answer(answer: Any, schema: Schema, code: str, day: str) -> pl.DataFrame:
    """The broker's answer for one day as a frame in the schema's column order and types.

    The answer must be a mapping holding a list for every column of the schema, all of one
    length, with values of the column's type: no None, prices finite (the trade price above 0),
    volumes not negative.  Anything else raises, naming the code, the day and the column, so that
    nothing wrong reaches the cache.
    """
    if not hasattr(answer, "keys"):
        raise TypeError(f"argument after ** must be a mapping, not {type(answer).__name__}")
    columns = dict(answer)
    series = []
    for name, dtype in schema.items():
        if name not in columns:
            raise ValueError(f"永豐 API 回傳的 {code} {day} Tick 資料缺少欄位: {name}")
        values = columns[name]
        if not isinstance(values, (list, tuple)):
            raise ValueError(f"永豐 API 回傳的 {code} {day} Tick 資料欄位 {name} 不是串列: {type(values).__name__}")
        try:
            series.append(pl.Series(name, values, dtype=dtype, strict=True))
        except (TypeError, ValueError, OverflowError, pl.exceptions.PolarsError):
            raise ValueError(f"永豐 API 回傳的 {code} {day} Tick 資料欄位 {name} 有不是 {dtype} 的值") from None
    lengths = {len(column) for column in series}
    if len(lengths) > 1:
        raise ValueError(f"永豐 API 回傳的 {code} {day} Tick 資料各欄位長度不同: {sorted(lengths)}")
    df = pl.DataFrame(series)
    problem = value_problem(df)
    if problem is not None:
        raise ValueError(f"永豐 API 回傳的 {code} {day} Tick 資料{problem}")
    return df


def value_problem(df: pl.DataFrame) -> Optional[str]:
    """What is wrong with a tick frame's values, naming the column, or None when nothing is."""
    for name in df.columns:
        if df[name].null_count() > 0:
            return f"欄位 {name} 有空值"
    if df.height == 0:
        return None
    # Each check reads one figure of a column (a day is read far more often than written): the
    # sum is NaN or infinite when a value is, or when finite values overflow, told apart here.
    for name in (*TRADE_PRICE_COLUMNS, *QUOTE_PRICE_COLUMNS):
        column = df[name]
        if not math.isfinite(column.sum()) and not column.is_finite().all():
            return f"欄位 {name} 有非有限的數值"
    for name in TRADE_PRICE_COLUMNS:
        if _least(df[name]) <= 0:
            return f"欄位 {name} 有不大於 0 的價格"
    for name in (*QUOTE_PRICE_COLUMNS, *VOLUME_COLUMNS):
        if _least(df[name]) < 0:
            return f"欄位 {name} 有負數"
    return None


def _least(column: pl.Series) -> float:
    """The least value of a numeric column that is neither empty nor has a null."""
    least = column.min()
    assert isinstance(least, (int, float)), least
    return least


def _unrecorded_problem(content: bytes, df: pl.DataFrame, name: str) -> Optional[str]:
    """What a day file without a manifest entry shows that the feed would not have written, or
    None.  `content` is the file's bytes, `df` their frame, `name` the file's name.

    Without an entry a file cut at a row boundary cannot be told from a whole one; a last line
    cut short inside its last value can (every line the feed writes ends with a newline).  The
    rows' values are not judged further: a file laid in the cache by hand is read as it stands.
    """
    if not content.endswith(b"\n"):
        return "最後一列不完整: 檔案結尾沒有換行"
    return None


def read_day(path: str, schema: Schema) -> Optional[pl.DataFrame]:
    """Read one cached day and check it: its frame; None when the file went meanwhile.

    The header must be the schema's column names in order, every value must parse as its
    column's type, and no value may be missing or out of range.  A file with a manifest entry
    must have the recorded row count and SHA-256.  One without (written before the manifest,
    or by a writer stopped before it could record it) must also look as the feed writes a day
    (see `_unrecorded_problem`), and then gets its entry back.

    A file that fails is judged again under the manifest's lock, as another run may have
    replaced it meanwhile; failing again, it is set aside and `CorruptCacheFile` raised.  None
    means another run set it aside first and fetches the day again: so should the caller.
    """
    directory, name = os.path.split(path)
    cache_manifest.remove_stale_temporaries(directory)
    recorded = cache_manifest.recorded_entries(directory).get(name)
    if recorded is not None:
        # Judged again below: another run may have replaced it or set it aside meanwhile.
        with suppress(CorruptCacheFile, FileNotFoundError):
            return _checked_frame(_content(path), schema, recorded, name)[0]
    return _judged_under_lock(path, schema)


def store_day(df: pl.DataFrame, path: str) -> None:
    """Write one day's frame to the cache atomically and record it in the manifest.

    The frame goes to a temporary file in the same directory first, which then replaces the
    target: a failed write leaves no partial file behind.
    """
    directory, name = os.path.split(path)
    cache_manifest.remove_stale_temporaries(directory)
    temp_path = temporary_path(path)
    try:
        df.write_csv(temp_path)
        written = cache_manifest.entry(df.height, _sha256(temp_path))
        with cache_manifest.changing(directory) as entries:
            os.replace(temp_path, path)
            entries[name] = written
    except BaseException:
        with suppress(FileNotFoundError):
            os.remove(temp_path)
        raise


def _judged_under_lock(path: str, schema: Schema) -> Optional[pl.DataFrame]:
    """`read_day`'s decision, taken with the manifest's lock held: the file and its entry cannot
    change meanwhile, so what fails here is set aside and what passes without an entry gets one."""
    directory, name = os.path.split(path)
    with cache_manifest.changing(directory) as entries:
        if not os.path.lexists(path):
            return None
        try:
            df, sha256 = _checked_frame(_content(path), schema, entries.get(name), name)
        except CorruptCacheFile as error:
            error.moved_to = _set_aside(path, entries)
            raise
        if name not in entries and os.access(directory, os.W_OK):
            cache_manifest.note_rebuilding(directory, name)
            entries[name] = cache_manifest.entry(df.height, sha256)
        return df


def _content(path: str) -> bytes:
    """The file's bytes, read once: both the parse and the hash work from them."""
    if not os.path.isfile(path):
        raise CorruptCacheFile("不是一般檔案")
    with open(path, "rb") as file:
        return file.read()


def _checked_frame(content: bytes, schema: Schema, recorded: Optional[cache_manifest.Entry],
                   name: str) -> Tuple[pl.DataFrame, str]:
    """The frame of a day file's bytes and their SHA-256; raises `CorruptCacheFile` when they
    fail a check."""
    digest = _sha256_alongside(content) if len(content) >= HASHED_ALONGSIDE_FROM else None
    _check_header(content, schema)
    try:
        df = pl.read_csv(content, schema=dict(schema))
    except pl.exceptions.PolarsError as error:
        raise CorruptCacheFile(f"無法解析: {str(error).splitlines()[0]}") from None
    problem = value_problem(df)
    if problem is None and recorded is None:
        problem = _unrecorded_problem(content, df, name)
    if problem is not None:
        raise CorruptCacheFile(problem)
    sha256 = digest() if digest is not None else _hex_sha256(content)
    if recorded is not None:
        if recorded["rows"] != df.height:
            raise CorruptCacheFile(f"列數 {df.height} 與紀錄的 {recorded['rows']} 不符")
        if recorded["sha256"] != sha256:
            raise CorruptCacheFile("SHA-256 與紀錄不符")
    return df, sha256


# A large day's bytes are hashed on a thread of its own while the reading thread parses them
# (hashlib and polars both let go of the interpreter's lock): checked, such a day loads nearly as
# fast as polars alone reads it, however many cores polars parses on.  A smaller day is hashed in
# line, after its checks: its hash takes less time (0.3 ms at this size) than handing it to the
# thread and back can cost, each hand-over waiting for the interpreter's lock, up to its 5 ms
# switch interval, while another thread runs Python (the replay beside which the next day loads).
# The thread serves the whole process from its first use on; a child made by fork starts its own.
HASHED_ALONGSIDE_FROM = 512 * 1024  # bytes
_hashers: Dict[int, ThreadPoolExecutor] = {}


def _hasher() -> ThreadPoolExecutor:
    hasher = _hashers.get(os.getpid())
    if hasher is None:
        made = ThreadPoolExecutor(1, thread_name_prefix="quorvel-cache-hash")
        hasher = _hashers.setdefault(os.getpid(), made)
        if hasher is made:
            hasher.submit(int)  # its thread starts now
    return hasher


def _sha256_alongside(content: bytes) -> Callable[[], str]:
    """Starts hashing `content` on the hashing thread; the function returned gives the hex
    digest once it is done."""
    try:
        return _hasher().submit(_hex_sha256, content).result
    except RuntimeError:  # the interpreter is shutting down and gives threads no more work
        digest = _hex_sha256(content)
        return lambda: digest


def _hex_sha256(content: bytes) -> str:
    return hashlib.sha256(content).hexdigest()


def _set_aside(path: str, entries: Dict[str, cache_manifest.Entry]) -> str:
    """Renames a corrupt file to `cache_manifest.aside_path` and drops its entry, which
    describes another file; returns the new path.  Call under the manifest's lock."""
    target = cache_manifest.aside_path(path)
    os.replace(path, target)
    entries.pop(os.path.basename(path), None)
    return target


def _check_header(content: bytes, schema: Schema) -> None:
    """Raises `CorruptCacheFile` unless the first line is the schema's column names in order."""
    end = content.find(b"\n")
    try:
        header = content[: len(content) if end < 0 else end].decode("utf-8").rstrip("\r")
    except UnicodeDecodeError:
        raise CorruptCacheFile("標頭不是 UTF-8 文字") from None
    expected = ",".join(schema)
    if header != expected:
        raise CorruptCacheFile(f"標頭 {header!r} 與欄位 {expected!r} 不符")


def _sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
