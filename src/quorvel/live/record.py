"""The record of a live session (``--record DIR``), written as the session goes, and read back.

A record is a directory:

- ``session.json``: the header, what the session was: its codes, its strategy ("FILE:Class" or
  a module path) and parameter values, its `RunSettings` (`RunSettings.as_dict`), its mode
  (paper, live or demo) and its trading day; written whole (a temporary file renamed into
  place), and again at the close with the time it closed.
- ``events.jsonl``: one JSON line for everything that happened, in the order it happened: each
  tick and quote received, each order operation sent (place, modify or cancel, its arguments
  and the broker's answer or the refusal), each report given to the strategy and each session
  event (a lost or regained session), every line with "received", the local time it was
  written (true epoch seconds).  A line is appended with one `os.write` on a descriptor opened
  with ``O_APPEND``, so lines written from the broker's thread and the main one never mix and a
  crash leaves whole lines only.
- ``ticks/``: at the close, each code's ticks of each trading day in the tick cache's layout
  (`quorvel.cache.day_files`): a data directory that a `quorvel.data.CacheOnlyBroker` run reads
  to replay the day.  A session that ended without its close (a crash, a kill) gets them when
  its record is read back.

A session started again on the same day with the same record directory goes on appending to
it (a restart), so the record holds the whole day.
"""

from __future__ import annotations

import json
import os
import threading
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple

import polars as pl

from quorvel.atomic_files import append_line, cut_unfinished_line, temporary_beside
from quorvel.backtest.messages import Quote, Tick
from quorvel.cache import day_files
from quorvel.data.store import cache_frame
from quorvel.live.events import Report
from quorvel.market import TAIWAN

__all__ = [
    "EVENTS_FILE",
    "HEADER_FILE",
    "MODES",
    "TICKS_DIRECTORY",
    "RecordError",
    "RecordedSession",
    "SessionHeader",
    "SessionRecord",
    "read_record",
    "write_day_files",
]

HEADER_FILE = "session.json"
EVENTS_FILE = "events.jsonl"
TICKS_DIRECTORY = "ticks"
MODES = ("paper", "live", "demo")
OPERATIONS = ("place", "modify", "cancel")
# The layout of a record this code writes; one it cannot read is refused.
FORMAT = 1


class RecordError(ValueError):
    """A record that cannot be written or read; the message says which and why, on one line."""


@dataclass(frozen=True)
class SessionHeader:
    """What a session was: the header of its record."""

    codes: Tuple[str, ...]
    strategy: str  # "FILE:Class" (the file's absolute path) or "package.module:Class"
    parameters: Mapping[str, Any]  # the strategy's parameter values
    settings: Mapping[str, Any]  # RunSettings.as_dict()
    mode: str  # one of MODES
    day: str  # the trading day, "YYYY-MM-DD"

    def __post_init__(self) -> None:
        if self.mode not in MODES:
            raise RecordError(f"mode must be one of {', '.join(MODES)}, not {self.mode!r}")
        for code in self.codes:
            try:
                day_files.check_code(code)
            except ValueError as error:
                raise RecordError(str(error)) from None
        object.__setattr__(self, "codes", tuple(self.codes))
        object.__setattr__(self, "strategy", _located(self.strategy))

    def as_dict(self) -> Dict[str, Any]:
        return {"format": FORMAT, **asdict(self), "codes": list(self.codes)}


def _located(strategy: str) -> str:
    """A strategy file named by a relative path, named by its absolute one: a replay may run
    from another directory."""
    where, colon, name = strategy.rpartition(":")
    if not colon or strategy.endswith(".py"):
        where, name = strategy, ""
    if not where.endswith(".py") or os.path.isabs(where):
        return strategy
    return os.path.abspath(where) + (f":{name}" if name else "")


class SessionRecord:
    """The record of one session under `directory`, written as things happen; `close` (or
    leaving a ``with`` block) writes the day files.

    Every method may be called from any thread.  A directory holding another day's record is
    refused with `RecordError`.
    """

    def __init__(self, directory: str, header: SessionHeader) -> None:
        self.directory = os.path.abspath(directory)
        self.header = header
        try:
            os.makedirs(self.directory, exist_ok=True)
            earlier = _header_of(self.directory) if _has_header(self.directory) else None
            if earlier is not None and earlier.day != header.day:
                raise RecordError(
                    f"{self.directory} holds the record of {earlier.day}, not {header.day}: "
                    "give each day its own record directory"
                )
            _write_header(self.directory, header.as_dict())
            cut_unfinished_line(_events_path(self.directory))
            self._fd = os.open(
                os.path.join(self.directory, EVENTS_FILE),
                os.O_WRONLY | os.O_APPEND | os.O_CREAT,
                0o644,
            )
        except OSError as error:
            raise RecordError(f"{directory}: cannot write a session record: {error}") from None
        self._lock = threading.Lock()  # one line at a time, none after the close
        self._closed = False

    def __enter__(self) -> "SessionRecord":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def tick(self, tick: Tick, received: Optional[float] = None) -> None:
        """A tick received and handed to the strategy."""
        self._append({"kind": "tick", "tick": tick}, received)

    def quote(self, code: str, quote: Quote, received: Optional[float] = None) -> None:
        """The bid and ask of `code` as they stand after a bid/ask received."""
        self._append({"kind": "quote", "code": code, "quote": quote}, received)

    def operation(
        self,
        operation: str,
        arguments: Mapping[str, Any],
        *,
        answer: Any = None,
        refusal: Optional[str] = None,
        received: Optional[float] = None,
    ) -> None:
        """An order operation ("place", "modify" or "cancel") with its arguments, and the
        broker's answer (plain values, or an object of the broker's package as its mapping)
        or the one line that refused it before it was sent."""
        if operation not in OPERATIONS:
            raise ValueError(f"operation must be one of {', '.join(OPERATIONS)}, not {operation!r}")
        line = {"kind": "operation", "operation": operation, "arguments": dict(arguments),
                "answer": answer, "refusal": refusal}
        self._append(line, received)

    def report(self, report: Report, received: Optional[float] = None) -> None:
        """A report handed to the strategy."""
        self._append({"kind": "report", "report": report}, received)

    def session_event(self, text: str, received: Optional[float] = None) -> None:
        """Something that happened to the session: lost, regained, stopped."""
        self._append({"kind": "session", "text": text}, received)

    def _append(self, line: Dict[str, Any], received: Optional[float]) -> None:
        line["received"] = time.time() if received is None else received
        text = json.dumps(line, ensure_ascii=False, default=_plain)
        with self._lock:
            if self._closed:
                raise RecordError(f"{self.directory}: the record is closed")
            append_line(self._fd, text)

    def close(self) -> List[str]:
        """Ends the record: the day files written, the header marked closed; the paths of the
        day files.  A second call does nothing."""
        with self._lock:
            if self._closed:
                return []
            self._closed = True
            os.close(self._fd)
        try:
            return _closed(self.directory)
        except OSError as error:
            raise RecordError(f"{self.directory}: cannot write the day files: {error}") from None


def _plain(value: Any) -> Any:
    """A value JSON has no type for: an object of the broker's package as its mapping (they
    offer ``dict()``), one of its enumerations as its value ("Buy", not "Action.Buy"),
    anything else as its text."""
    as_dict = getattr(value, "dict", None)
    if callable(as_dict):
        try:
            return dict(as_dict())
        except (TypeError, ValueError):
            pass
    plain = getattr(value, "value", None)
    return plain if isinstance(plain, (str, int, float)) else str(value)


@dataclass
class RecordedSession:
    """A record read back: its header, the ticks as the strategy was handed them, and the other
    lines by kind, each as written (with its "received")."""

    directory: str
    header: SessionHeader
    ticks: List[Tick] = field(default_factory=list)
    quotes: List[Dict[str, Any]] = field(default_factory=list)
    operations: List[Dict[str, Any]] = field(default_factory=list)
    reports: List[Dict[str, Any]] = field(default_factory=list)
    session_events: List[Dict[str, Any]] = field(default_factory=list)
    closed: bool = False

    @property
    def data_dir(self) -> str:
        """The data directory of the day files: a `CacheOnlyBroker` run over it replays them."""
        return os.path.join(self.directory, TICKS_DIRECTORY)

    def days(self) -> List[str]:
        """The trading days the record holds ticks of, in order."""
        return sorted({_trading_day(tick["timestamp"]) for tick in self.ticks})


def read_record(directory: str) -> RecordedSession:
    """The record under `directory`; `RecordError` with one line for a directory that holds
    none or a damaged one.  A record its session never closed gets its day files now (where
    the directory can be written)."""
    directory = os.path.abspath(directory)
    if not _has_header(directory):
        raise RecordError(f"{directory}: not a session record (no {HEADER_FILE})")
    closed = _header_json(directory).get("closed") is not None
    recorded = RecordedSession(directory, _header_of(directory), closed=closed)
    kinds = {"tick": ("ticks", "tick"), "quote": ("quotes", None),
             "operation": ("operations", None), "report": ("reports", None),
             "session": ("session_events", None)}
    for number, line in _lines(directory):
        kind = kinds.get(str(line.get("kind")))
        if kind is None:
            raise RecordError(f"{_events_path(directory)}: line {number} is not a record line")
        held, key = kind
        getattr(recorded, held).append(line[key] if key else line)
    if not recorded.closed and os.access(directory, os.W_OK):
        _closed(directory)
        recorded.closed = True
    return recorded


def _lines(directory: str) -> Iterator[Tuple[int, Dict[str, Any]]]:
    """The events file's lines, numbered from 1.  A last line without its newline was being
    written when the session stopped and is left out; any other that does not parse is damage."""
    path = _events_path(directory)
    try:
        with open(path, "rb") as file:
            content = file.read()
    except FileNotFoundError:
        return
    except OSError as error:
        raise RecordError(f"{path}: cannot read: {error}") from None
    lines = content.split(b"\n")
    for number, text in enumerate(lines[:-1], start=1):
        try:
            line = json.loads(text)
        except (json.JSONDecodeError, UnicodeDecodeError):
            raise RecordError(f"{path}: line {number} is damaged") from None
        if not isinstance(line, dict):
            raise RecordError(f"{path}: line {number} is not a record line")
        yield number, line


def _closed(directory: str) -> List[str]:
    """Writes the record's day files and marks its header closed; the day files' paths."""
    paths = write_day_files(directory)
    header = _header_json(directory)
    header["closed"] = time.time()
    _write_header(directory, header)
    return paths


def write_day_files(directory: str) -> List[str]:
    """Each code's recorded ticks of each trading day into the tick cache's layout under the
    record's ``ticks`` directory, the bid and ask of each tick those of its code's latest quote
    before it (0 while there was none); the files' paths."""
    rows: Dict[Tuple[str, str], List[Dict[str, Any]]] = {}
    quotes: Dict[str, Mapping[str, Any]] = {}
    for _, line in _lines(directory):
        if line.get("kind") == "quote":
            quotes[line["code"]] = line["quote"]
        elif line.get("kind") == "tick":
            tick = line["tick"]
            quote = quotes.get(tick["code"], _NO_QUOTE)
            rows.setdefault((tick["code"], _trading_day(tick["timestamp"])), []).append({
                "ts": round(tick["timestamp"] * 1_000_000) * 1000,
                "close": float(tick["close"]),
                "volume": int(tick["qty"]),
                **{name: quote[name] for name in _NO_QUOTE},
                "tick_type": int(tick["tick_type"]),
            })
    data_dir = os.path.join(directory, TICKS_DIRECTORY)
    paths = []
    for (code, day), ticks in sorted(rows.items()):
        path = day_files.day_file_path(data_dir, code, day)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        day_files.store_day(cache_frame(pl.DataFrame(ticks)), path)
        paths.append(path)
    return paths


_NO_QUOTE: Quote = {"bid_price": 0.0, "bid_volume": 0, "ask_price": 0.0, "ask_volume": 0}


def _trading_day(timestamp: float) -> str:
    """The trading day a tick counts for: a futures night session's is the next one."""
    try:
        return TAIWAN.trading_day_of(timestamp).isoformat()
    except ValueError as error:
        raise RecordError(f"a recorded tick at {timestamp}: {error}") from None


def _events_path(directory: str) -> str:
    return os.path.join(directory, EVENTS_FILE)


def _has_header(directory: str) -> bool:
    return os.path.isfile(os.path.join(directory, HEADER_FILE))


def _header_json(directory: str) -> Dict[str, Any]:
    path = os.path.join(directory, HEADER_FILE)
    try:
        with open(path, encoding="utf-8") as file:
            header = json.load(file)
    except (OSError, ValueError) as error:
        raise RecordError(f"{path}: cannot read the session's header: {error}") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise RecordError(f"{path}: not a session header of format {FORMAT}")
    return header


def _header_of(directory: str) -> SessionHeader:
    header = _header_json(directory)
    try:
        return SessionHeader(
            codes=tuple(header["codes"]),
            strategy=header["strategy"],
            parameters=header["parameters"],
            settings=header["settings"],
            mode=header["mode"],
            day=header["day"],
        )
    except (KeyError, TypeError) as error:
        raise RecordError(
            f"{os.path.join(directory, HEADER_FILE)}: the session's header lacks {error}"
        ) from None


def _write_header(directory: str, header: Mapping[str, Any]) -> None:
    path = os.path.join(directory, HEADER_FILE)
    with temporary_beside(path) as temporary:
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(header, file, ensure_ascii=False, indent=2, default=_plain)
            file.write("\n")
        os.replace(temporary, path)

