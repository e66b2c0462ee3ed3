"""Console, logger and small helpers shared by the quorvel modules."""

from __future__ import annotations

import logging
import operator
import os
from datetime import datetime

from rich.console import Console

from quorvel.constant import BASIC_INFO

__all__ = ["console", "logger", "format_to_dt", "format_nano_ts_to_second_ts", "make_dir"]

# Status lines carry rich mark-up ("[green]...[/green]"): coloured on a
# terminal, plain text otherwise.  soft_wrap keeps each message on one line
# instead of breaking it at the console width when output is redirected.
console = Console(soft_wrap=True)

LOG_FILE_NAME = "quorvel.log"
_HANDLER_NAME = "quorvel-data-dir"


class DataDirFileHandler(logging.Handler):
    """Append records to logs/quorvel.log under ``BASIC_INFO.data_dir``.

    The path is resolved for every record, so a data directory set after
    import takes effect at once, and nothing touches the disk until the first
    record is emitted.
    """

    def log_path(self) -> str:
        return os.path.join(BASIC_INFO.data_dir, "logs", LOG_FILE_NAME)

    def emit(self, record: logging.LogRecord) -> None:
        try:
            line = self.format(record)
            path = self.log_path()
            make_dir(os.path.dirname(path))
            with open(path, "a", encoding="utf-8") as log_file:
                log_file.write(line + "\n")
        except Exception:
            # Reported on stderr by the logging module instead of vanishing.
            self.handleError(record)


logger = logging.getLogger("quorvel")
logger.setLevel(logging.INFO)
# Records still propagate to the root logger, so an application that
# configures logging sees them as well.  A reload must not add a second handler.
if not any(handler.name == _HANDLER_NAME for handler in logger.handlers):
    _handler = DataDirFileHandler()
    _handler.name = _HANDLER_NAME
    _handler.setFormatter(
        logging.Formatter("%(asctime)s %(levelname)s [%(threadName)s] %(message)s")
    )
    logger.addHandler(_handler)


def format_to_dt(text: str) -> datetime:
    """Parse a date or date-time text into a naive ``datetime``.

    Accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS" and the
    other ISO 8601 forms ``datetime.fromisoformat`` reads.  A UTC offset is
    dropped and the wall-clock time kept, since all times here are
    exchange-local.
    """
    try:
        parsed = datetime.fromisoformat(text)
    except (TypeError, ValueError):
        raise ValueError(
            f"cannot read {text!r} as a date or date-time; expected "
            "'YYYY-MM-DD', 'YYYY-MM-DD HH:MM', 'YYYY-MM-DD HH:MM:SS' or ISO 8601"
        ) from None
    return parsed.replace(tzinfo=None)


def format_nano_ts_to_second_ts(ts: int, digits: int) -> float:
    """Convert a nanosecond timestamp to seconds rounded to *digits* decimals.

    No time-zone shift is applied.  The rounding (half to even, like
    ``round``) is done on integers, so the result is the float nearest to the
    exactly rounded value; dividing first would lose the low digits of a
    present-day timestamp.
    """
    ts = operator.index(ts)
    if digits < 0:
        raise ValueError(f"digits must not be negative, got {digits}")
    if digits >= 9:
        return ts / 10**9
    unit = 10 ** (9 - digits)
    units, remainder = divmod(ts, unit)
    if 2 * remainder > unit or (2 * remainder == unit and units % 2):
        units += 1
    return units / 10**digits


def make_dir(path: str | os.PathLike[str]) -> None:
    """Create the directory *path* with missing parents; do nothing if it exists."""
    os.makedirs(path, exist_ok=True)
