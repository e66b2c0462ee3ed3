"""The checks every day of ticks passes before it becomes part of a result.

A day is one code's ticks of one trading day, loaded from the broker, the cache or an import.
It is held to that day's sessions and to the market's rules:

- no tick on a day without trading, and at least one on a trading day for a stock and a
  nearest-month futures code (R1); a far month (R2, an explicit month) may go a day without a
  trade, and an explicit month has none after its last trading day;
- every tick inside one of the day's sessions, from the opening of the call auction that
  leads into it to a minute after its close (a night session belongs to the next trading day,
  as the broker dates it);
- time never going backwards, and no tick twice (every value the same);
- prices finite and above 0, volumes above 0;
- prices not far beyond the day's limits.  The day's reference price is not in its own
  ticks, so the band is taken around the median of the day's prices: every price of a day
  lies within the limit fraction f of its reference, and so within m / (1 + 3f) to
  m x (1 + 3f) of the median m for any f up to a third; a price outside is far beyond what
  the limits allow.  Instruments without a daily limit are held to a tenth and ten times
  the median.

The checks are polars expressions over the day's rows, a few per day, never a loop over ticks.
Each fault names the code, the day, what is wrong and the first row it is wrong on.
"""

from __future__ import annotations

import datetime as dt
import re
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

import polars as pl

from quorvel.market import MarketRules
from quorvel.market.calendar import broker_nanoseconds
from quorvel.market.months import continuous_rank

__all__ = [
    "DataFault",
    "code_problem",
    "day_faults",
    "faults_text",
    "frame_faults",
    "session_windows",
]

# What a fault is.
CLOSED_DAY = "closed day"
OFF_CALENDAR = "off calendar"
NO_TICKS = "no ticks"
OUTSIDE_SESSIONS = "outside sessions"
BACKWARDS = "backwards"
DUPLICATE = "duplicate"
NOT_FINITE = "not finite"
NOT_POSITIVE = "not positive"
NO_VOLUME = "no volume"
BEYOND_LIMITS = "beyond limits"

# A tick stamped up to this long after a session's close is still the session's: a closing
# trade's time may be written a moment after the closing bell.
CLOSING_GRACE = dt.timedelta(minutes=1)
# Instruments without a daily limit: prices beyond this factor of the day's median are faults.
UNLIMITED_FACTOR = 10.0
NANOSECONDS = 1_000_000_000
SECONDS_PER_DAY = 86_400
# A code as the broker writes one: capital letters and digits (2330, 00631L, TXFR1, TXFH4).
CODE = re.compile(r"^[0-9A-Z]{1,16}$")

# The rows of each kind of fault, in words: (one, many).
_WORDS = {
    CLOSED_DAY: ("tick on a day without trading", "ticks on a day without trading"),
    OUTSIDE_SESSIONS: ("tick outside the day's sessions", "ticks outside the day's sessions"),
    BACKWARDS: ("tick earlier than the one before it", "ticks earlier than the one before"),
    DUPLICATE: ("tick given twice", "ticks given twice"),
    NOT_FINITE: ("price that is not finite", "prices that are not finite"),
    NOT_POSITIVE: ("price not above 0", "prices not above 0"),
    NO_VOLUME: ("tick without volume", "ticks without volume"),
    BEYOND_LIMITS: ("price far beyond the day's limits", "prices far beyond the day's limits"),
}
_PRICED = (NOT_FINITE, NOT_POSITIVE, BEYOND_LIMITS)


@dataclass(frozen=True)
class DataFault:
    """One thing wrong with one code's day: `kind` (one of this module's kinds), the first row
    it is wrong on (None for a day without ticks) and `text`, one line naming code and day."""

    code: str
    day: str
    kind: str
    row: Optional[int]
    text: str

    def __str__(self) -> str:
        return self.text


def code_problem(code: object) -> Optional[str]:
    """Why `code` is not an instrument code, None when it is one."""
    if isinstance(code, str) and CODE.match(code):
        return None
    return f"{code!r} is not an instrument code (capital letters and digits, such as 2330 or TXFR1)"


def faults_text(faults: Iterable[DataFault]) -> str:
    """The first fault's line, and how many more there are."""
    found = list(faults)
    more = f" (and {len(found) - 1:,} more)" if len(found) > 1 else ""
    return f"{found[0]}{more}"


def session_windows(rules: MarketRules, code: str, day: dt.date) -> List[Tuple[int, int]]:
    """The day's sessions of `code` as (first, last) "ts" nanoseconds a tick may carry: from the
    call auction that leads into each session to `CLOSING_GRACE` after its close."""
    leads = {closes: opens for _, opens, closes in rules.calls(code, day)}
    return [
        (
            broker_nanoseconds(leads.get(session.opens, session.opens)),
            broker_nanoseconds(session.closes + CLOSING_GRACE),
        )
        for session in rules.sessions(code, day)
    ]


def day_faults(
    code: str,
    day: dt.date,
    ticks: pl.DataFrame,
    rules: MarketRules,
    *,
    row_column: Optional[str] = None,
    ordered: bool = True,
    repeats: bool = False,
) -> List[DataFault]:
    """The faults of `ticks` ("ts", "close", "volume" and any other tick columns), given as
    `code`'s ticks of trading day `day`, in the order of their first bad row.

    A row is told by `row_column` where given (an import's line in its file), else by its
    place among the ticks, from 1.  With `ordered` False the rows' order is not checked (an
    import puts a file's rows in time order itself).  With `repeats` a row given twice is a
    fault only when every row is: the futures exchange's files write a trade's time to the
    second, so equal lines are different trades there, and only a doubled file is wrong.
    """
    try:
        trading = rules.is_trading_day(day)
        windows = session_windows(rules, code, day) if trading else []
    except ValueError as error:  # the calendar does not reach the day
        if not ticks.height:
            return []
        return [_fault(code, day, OFF_CALENDAR, ticks, 0, ticks.height, row_column, str(error))]
    if not ticks.height:
        if not trading or not _trades_daily(code):
            return []
        return [_fault(code, day, NO_TICKS, ticks, None, 0, row_column)]
    if not trading:
        return [_fault(code, day, CLOSED_DAY, ticks, 0, ticks.height, row_column)]
    checks = _checks(code, ticks, rules, windows, row_column, ordered, repeats)
    found = ticks.select(
        *(check.sum().alias(f"{kind}#") for kind, check in checks),
        *(check.arg_max().alias(kind) for kind, check in checks),
    ).row(0, named=True)
    faults = [
        _fault(code, day, kind, ticks, found[kind], found[f"{kind}#"], row_column)
        for kind, _ in checks
        if found[f"{kind}#"]
    ]
    return sorted(faults, key=lambda fault: fault.row or 0)


def frame_faults(
    frame: pl.DataFrame,
    codes: Sequence[str],
    rules: MarketRules,
    *,
    day: Optional[str] = None,
    span: Optional[Tuple[str, str]] = None,
) -> List[DataFault]:
    """The faults of a frame the tick feed loaded for `codes` (its "code" column tells them
    apart), in code and day order.

    The frame of one day's load (`day`, "YYYY-MM-DD") holds that day's ticks of every code.
    A frame of a longer `span` (first, last) is split by the trading day each tick counts for,
    and each trading day of the span without a code's ticks is a fault.
    """
    by_code: Dict[str, pl.DataFrame] = {
        str(key[0]): part for key, part in frame.partition_by("code", as_dict=True).items()
    }
    faults: List[DataFault] = []
    for code in codes:
        ticks = by_code.get(code, frame.clear())
        if day is not None:
            faults += day_faults(code, dt.date.fromisoformat(day), ticks, rules)
            continue
        assert span is not None
        days = _trading_days_of(ticks, rules)
        wanted = set(_span_trading_days(rules, span)) | set(days)
        for trading_day in sorted(wanted, key=lambda found: found or dt.date.min):
            own = days.get(trading_day, ticks.clear())
            if trading_day is None:
                text = "outside the market's calendar"
                faults.append(_fault(code, None, OFF_CALENDAR, own, 0, own.height, None, text))
            else:
                faults += day_faults(code, trading_day, own, rules)
    return faults


def _trades_daily(code: str) -> bool:
    """Whether `code` trades on every trading day: a stock, or a nearest-month futures code."""
    return code[:1].isdigit() or continuous_rank(code) == 1


def _checks(
    code: str,
    ticks: pl.DataFrame,
    rules: MarketRules,
    windows: Sequence[Tuple[int, int]],
    row_column: Optional[str],
    ordered: bool,
    repeats: bool,
) -> List[Tuple[str, pl.Expr]]:
    """(kind, a boolean expression true on the rows of that fault) of each check."""
    ts, close = pl.col("ts"), pl.col("close")
    inside = pl.lit(False)
    for first, last in windows:
        inside = inside | ts.is_between(first, last)
    values = [name for name in ticks.columns if name != row_column]
    checks = [(OUTSIDE_SESSIONS, ~inside)]
    if ordered:
        checks.append((BACKWARDS, (ts.diff() < 0).fill_null(False)))
    repeated = ~pl.struct(values).is_first_distinct()
    if repeats:
        repeated = repeated & pl.struct(values).is_duplicated().all()
    checks += [
        (DUPLICATE, repeated),
        (NOT_FINITE, ~close.is_finite()),
        (NOT_POSITIVE, close.is_finite() & (close <= 0)),
        (NO_VOLUME, pl.col("volume") <= 0),
    ]
    band = _price_band(code, ticks, rules)
    if band is not None:
        checks.append((BEYOND_LIMITS, close.is_finite() & ~close.is_between(*band)))
    return checks


def _price_band(
    code: str, ticks: pl.DataFrame, rules: MarketRules
) -> Optional[Tuple[float, float]]:
    """The prices the day may hold, around its median (see the module's docstring); None when
    no price is finite and above 0."""
    close = pl.col("close")
    median = ticks.select(close.filter(close.is_finite() & (close > 0)).median()).item()
    if median is None:
        return None
    multiple = rules.security_class(code).limit_multiple if code[:1].isdigit() else 1.0
    if multiple is None:
        return median / UNLIMITED_FACTOR, median * UNLIMITED_FACTOR
    factor = 1 + 3 * rules.instrument(code).limit.fraction * multiple
    return median / factor, median * factor


def _trading_days_of(
    ticks: pl.DataFrame, rules: MarketRules
) -> Dict[Optional[dt.date], pl.DataFrame]:
    """The ticks split by the trading day each counts for (None: beyond the calendar), by the
    rule of `MarketRules.trading_day_of`, computed once a calendar day."""
    if not ticks.height:
        return {}
    seconds = pl.col("ts") // NANOSECONDS + SECONDS_PER_DAY - rules.day_rollover_seconds
    numbered = ticks.with_columns((seconds // SECONDS_PER_DAY).alias("_day"))
    split: Dict[Optional[dt.date], List[pl.DataFrame]] = {}
    for key, part in numbered.partition_by("_day", as_dict=True, maintain_order=True).items():
        number = int(key[0])  # type: ignore[call-overload]
        try:
            day: Optional[dt.date] = rules.trading_calendar.first_from(
                dt.date(1970, 1, 1) + dt.timedelta(days=number)
            )
        except (ValueError, OverflowError):
            day = None
        split.setdefault(day, []).append(part.drop("_day"))
    return {day: pl.concat(parts) for day, parts in split.items()}


def _span_trading_days(rules: MarketRules, span: Tuple[str, str]) -> List[dt.date]:
    try:
        return rules.trading_days(span[0][:10], span[1][:10])
    except ValueError:
        return []


def _fault(
    code: str,
    day: Optional[dt.date],
    kind: str,
    ticks: pl.DataFrame,
    index: Optional[int],
    count: int,
    row_column: Optional[str],
    text: Optional[str] = None,
) -> DataFault:
    """The fault of `count` rows, the first of them at `index` (None: no row)."""
    day_text = day.isoformat() if day is not None else "?"
    if index is None:
        text = f"{code} {day_text}: no ticks on a trading day"
        return DataFault(code, day_text, kind, None, text)
    row = int(ticks[index, row_column]) if row_column else index + 1
    moment = _moment_text(int(ticks[index, "ts"]))
    if text is None:
        one, many = _WORDS[kind]
        text = f"{count:,} {one if count == 1 else many}"
        if kind in _PRICED:
            text += f" ({ticks[index, 'close']!r})"
    return DataFault(
        code, day_text, kind, row, f"{code} {day_text}: {text}, the first at row {row:,} ({moment})"
    )


def _moment_text(ts: int) -> str:
    """A tick's "ts" as the exchange's wall-clock time."""
    try:
        return (dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ts // 1000)).isoformat(" ")
    except OverflowError:
        return f"ts {ts}"
