"""Files of the history tick cache: checked on every read, written atomically, recorded in a manifest.

A cached day is a CSV file whose header is the tick schema's column names, in order.  Other
programs read these files, so their format stays plain; what a CSV cannot show about itself
(a file cut off at a row boundary) is kept beside the files in ``manifest.json``, one per cache
directory, mapping each file name to its row count and the SHA-256 of its bytes.

The manifest is replaced atomically and changed only under an advisory ``fcntl.flock`` on
``manifest.lock`` beside it, so processes sharing a cache keep each other's entries.  Where
``fcntl`` is missing (Windows) there is no lock: two processes writing at once may drop one
entry, and a file without an entry is then checked by the content rules alone.

A file that fails a check raises `CorruptCacheFile`; the caller sets it aside with
`set_aside` (renamed, never deleted) and fetches the day again.
"""

from __future__ import annotations

import hashlib
import io
import json
import os
import threading
from contextlib import contextmanager
from datetime import datetime, timezone
from typing import Any, Callable, Dict, Iterator, Mapping, Optional

import polars as pl

try:
    import fcntl
except ImportError:  # pragma: no cover - Windows
    fcntl = None  # type: ignore[assignment]

__all__ = [
    "TICK_SCHEMA",
    "CorruptCacheFile",
    "cache_directory",
    "day_file_path",
    "frame_from_answer",
    "read_day",
    "set_aside",
    "store_day",
]

MANIFEST_NAME = "manifest.json"
LOCK_NAME = "manifest.lock"

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
    return os.path.join(cache_directory(data_dir), f"{code} {day} - ticks.csv")


class CorruptCacheFile(Exception):
    """A cache file that fails its checks; the message says why."""


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
    for name in (*TRADE_PRICE_COLUMNS, *QUOTE_PRICE_COLUMNS):
        if not df[name].is_finite().all():
            return f"欄位 {name} 有非有限的數值"
    for name in TRADE_PRICE_COLUMNS:
        if (df[name] <= 0).any():
            return f"欄位 {name} 有不大於 0 的價格"
    for name in (*QUOTE_PRICE_COLUMNS, *VOLUME_COLUMNS):
        if (df[name] < 0).any():
            return f"欄位 {name} 有負數"
    return None


def read_day(path: str, schema: Schema) -> pl.DataFrame:
    """Read one cached day, raising `CorruptCacheFile` when the file fails a check.

    The header must be the schema's column names in order, every value must parse as its
    column's type, and no value may be missing or out of range; a file with a manifest entry
    must also have the recorded row count and SHA-256.
    """
    if not os.path.isfile(path):
        raise CorruptCacheFile("不是一般檔案")
    directory, name = os.path.split(path)
    # The bytes and their entry are taken together under the lock, so a file that another
    # process is replacing is never judged against the other file's entry.
    with _manifest_lock(directory):
        with open(path, "rb") as file:
            content = file.read()
        entry = _load_manifest(directory).get(name)
    _check_header(content, schema)
    try:
        df = pl.read_csv(io.BytesIO(content), schema=dict(schema))
    except pl.exceptions.PolarsError as error:
        raise CorruptCacheFile(f"無法解析: {str(error).splitlines()[0]}") from None
    problem = value_problem(df)
    if problem is not None:
        raise CorruptCacheFile(problem)
    if entry is not None:
        if entry.get("rows") != df.height:
            raise CorruptCacheFile(f"列數 {df.height} 與紀錄的 {entry.get('rows')} 不符")
        if entry.get("sha256") != hashlib.sha256(content).hexdigest():
            raise CorruptCacheFile("SHA-256 與紀錄不符")
    return df


def store_day(df: pl.DataFrame, path: str) -> None:
    """Write one day's frame to the cache atomically and record it in the manifest.

    The frame goes to a temporary file in the same directory first, which then replaces the
    target: a failed write leaves no partial file behind.
    """
    directory, name = os.path.split(path)
    temp_path = _temporary_path(path)
    try:
        df.write_csv(temp_path)
        entry = {"rows": df.height, "sha256": _sha256(temp_path)}
        with _manifest_lock(directory):
            os.replace(temp_path, path)
            _change_manifest(directory, lambda files: files.__setitem__(name, entry))
    except BaseException:
        _remove_if_present(temp_path)
        raise


def set_aside(path: str) -> str:
    """Rename a corrupt cache file to ``<name>.corrupt-<UTC time>`` and return the new path.

    The file is kept for inspection; its manifest entry goes, as it describes another file.
    """
    stamp = datetime.now(timezone.utc).strftime("%Y%m%dT%H%M%S.%fZ")
    target = f"{path}.corrupt-{stamp}"
    directory, name = os.path.split(path)
    with _manifest_lock(directory):
        os.replace(path, target)
        if name in _load_manifest(directory):
            _change_manifest(directory, lambda files: files.pop(name))
    return target


def _check_header(content: bytes, schema: Schema) -> None:
    """Raises `CorruptCacheFile` unless the first line is the schema's column names in order."""
    line = content.split(b"\n", 1)[0]
    try:
        header = line.decode("utf-8").rstrip("\r\n")
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


def _temporary_path(path: str) -> str:
    """A name beside `path` that no other process or thread uses at the same time."""
    return f"{path}.{os.getpid()}-{threading.get_ident()}.tmp"


def _remove_if_present(path: str) -> None:
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


@contextmanager
def _manifest_lock(directory: str) -> Iterator[None]:
    """Holds the directory's manifest lock.

    Nothing is locked where fcntl is missing, or where the lock file cannot be made (a cache
    that is only read, in a directory this process may not write).
    """
    try:
        lock_file = open(os.path.join(directory, LOCK_NAME), "a") if fcntl is not None else None
    except OSError:
        lock_file = None
    if lock_file is None:
        yield
        return
    with lock_file:
        fcntl.flock(lock_file, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock_file, fcntl.LOCK_UN)


def _load_manifest(directory: str) -> Dict[str, Dict[str, Any]]:
    """The manifest's entries by file name; none when it is missing or unreadable.

    An unreadable manifest only means the files are checked by their content alone; the next
    write replaces it.
    """
    try:
        with open(os.path.join(directory, MANIFEST_NAME), encoding="utf-8") as file:
            manifest = json.load(file)
    except (OSError, ValueError):
        return {}
    files = manifest.get("files") if isinstance(manifest, dict) else None
    return files if isinstance(files, dict) else {}


def _change_manifest(directory: str, change: Callable[[Dict[str, Dict[str, Any]]], Any]) -> None:
    """Applies `change` to the entries and replaces the manifest atomically; call under the lock."""
    files = _load_manifest(directory)
    change(files)
    path = os.path.join(directory, MANIFEST_NAME)
    temp_path = _temporary_path(path)
    try:
        with open(temp_path, "w", encoding="utf-8") as file:
            json.dump({"files": files}, file, ensure_ascii=False, indent=1, sort_keys=True)
        os.replace(temp_path, path)
    except BaseException:
        _remove_if_present(temp_path)
        raise
