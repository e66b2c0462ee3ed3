"""Trading days and trading sessions.

Trading days come from the `exchange_calendars` package (imported at first use: it loads
pandas), less any extra closed days.  A session is a span of exchange local time (Asia/Taipei)
on one trading day; a session that opens on the previous trading day's evening, like the TAIEX
futures' night session, belongs to the next trading day, as the futures exchange counts it and
as the broker's history query dates its ticks.

Times are the exchange's wall-clock time.  The broker writes a tick's time as if that wall
clock were UTC: `broker_seconds` and `wall_clock` convert between the two (`broker_nanoseconds`
gives the tick data's nanoseconds).
"""

from __future__ import annotations

import bisect
import calendar as _calendar
import datetime as dt
import functools
import threading
import warnings
from dataclasses import dataclass
from typing import Dict, List, Tuple, Union

__all__ = [
    "Day",
    "Moment",
    "Session",
    "SessionHours",
    "TradingCalendar",
    "broker_nanoseconds",
    "broker_seconds",
    "parse_day",
    "trading_calendar",
    "wall_clock",
]

Day = Union[dt.date, str]  # a date, or its "YYYY-MM-DD" text
Moment = Union[dt.datetime, float]  # a wall-clock time, or broker seconds

# Where the calendars begin: earlier days are refused rather than guessed.
CALENDAR_START = "2000-01-01"


@dataclass(frozen=True)
class CalendarCorrections:
    """Days an older release of a calendar gets wrong: `closed` it lists as trading days,
    `open` it lists as holidays."""

    closed: Tuple[str, ...]
    open: Tuple[str, ...] = ()


# The last `exchange_calendars` release for Python 3.9 (4.5.6) predates these XTAI days, which
# later releases (4.13.3) know: closures for typhoons, the days without trading before the
# Lunar New Year, and the holidays observed from 2025.  Applying them to any release changes
# nothing where the release already knows them.
OLD_RELEASE_CORRECTIONS: Dict[str, CalendarCorrections] = {
    "XTAI": CalendarCorrections(
        closed=(
            "2023-08-03",
            "2024-02-06",
            "2024-02-07",
            "2024-10-02",
            "2024-10-03",
            "2025-01-23",
            "2025-01-24",
            "2025-04-03",
            "2025-09-29",
            "2025-10-24",
            "2025-12-25",
            "2026-02-12",
            "2026-02-20",
            "2026-09-28",
            "2026-10-26",
            "2026-12-25",
            "2027-09-28",
            "2027-10-25",
        ),
        open=("2024-09-16", "2024-10-11", "2026-01-02"),
    )
}


def parse_day(day: Day) -> dt.date:
    """A date from a date or a "YYYY-MM-DD" text (a datetime gives its date)."""
    if isinstance(day, dt.datetime):
        return day.date()
    if isinstance(day, dt.date):
        return day
    try:
        return dt.datetime.strptime(day, "%Y-%m-%d").date()
    except (TypeError, ValueError):
        raise ValueError(f"not a date of the form YYYY-MM-DD: {day!r}") from None


def wall_clock(moment: Moment) -> dt.datetime:
    """The exchange's wall-clock time of a datetime (returned as it is) or of broker seconds."""
    if isinstance(moment, dt.datetime):
        return moment
    return dt.datetime(1970, 1, 1) + dt.timedelta(seconds=moment)


def broker_seconds(moment: dt.datetime) -> float:
    """A wall-clock time written as the broker writes it: seconds as if the wall clock were UTC."""
    return _calendar.timegm(moment.timetuple()) + moment.microsecond / 1e6


def broker_nanoseconds(moment: dt.datetime) -> int:
    """A wall-clock time as the broker's tick data writes it ("ts"): exact nanoseconds as if
    the wall clock were UTC."""
    return _calendar.timegm(moment.timetuple()) * 1_000_000_000 + moment.microsecond * 1000


@dataclass(frozen=True)
class SessionHours:
    """When a session trades: from `opens` to `closes`, local time.

    A session with `previous_evening` set opens on the evening of the trading day before the
    one it belongs to; a session whose close is not after its open ends the next morning.
    """

    name: str
    opens: dt.time
    closes: dt.time
    previous_evening: bool = False


@dataclass(frozen=True)
class Session:
    """One session of one trading day: wall-clock times, both ends included."""

    name: str
    trading_day: dt.date
    opens: dt.datetime
    closes: dt.datetime

    def __contains__(self, moment: Moment) -> bool:
        return self.opens <= wall_clock(moment) <= self.closes

    @property
    def open_timestamp(self) -> float:
        return broker_seconds(self.opens)

    @property
    def close_timestamp(self) -> float:
        return broker_seconds(self.closes)


class TradingCalendar:
    """The trading days of an `exchange_calendars` calendar, corrected where the installed
    release is older (`OLD_RELEASE_CORRECTIONS`), less extra closed days.

    Days outside the calendar's range raise `ValueError`: an unknown day is not guessed to
    be a trading day.
    """

    def __init__(self, name: str, closed_days: Tuple[str, ...] = ()) -> None:
        import exchange_calendars

        try:
            with warnings.catch_warnings():  # the package's own deprecation notices about pandas
                warnings.simplefilter("ignore", DeprecationWarning)
                warnings.simplefilter("ignore", FutureWarning)
                source = exchange_calendars.get_calendar(name, start=CALENDAR_START)
        except exchange_calendars.errors.InvalidCalendarName:
            raise ValueError(f"unknown exchange calendar {name!r}") from None
        corrections = OLD_RELEASE_CORRECTIONS.get(name, CalendarCorrections(()))
        closed = {parse_day(day) for day in (*corrections.closed, *closed_days)}
        self.name = name
        self.first = source.first_session.date()
        self.last = source.last_session.date()
        opened = {
            day
            for day in map(parse_day, corrections.open)
            if self.first <= day <= self.last and day not in closed
        }
        sessions = {stamp.date() for stamp in source.sessions} | opened
        self.days = sorted(day for day in sessions if day not in closed)

    def is_trading_day(self, day: Day) -> bool:
        day = self._inside(day)
        index = bisect.bisect_left(self.days, day)
        return index < len(self.days) and self.days[index] == day

    def between(self, start: Day, end: Day) -> List[dt.date]:
        """The trading days from `start` to `end`, both included."""
        first = bisect.bisect_left(self.days, self._inside(start))
        return self.days[first : bisect.bisect_right(self.days, self._inside(end))]

    def before(self, day: Day, count: int) -> List[dt.date]:
        """The `count` trading days before `day` (not `day` itself), oldest first."""
        if count < 0:
            raise ValueError(f"a count of trading days must be at least 0, got {count}")
        end = bisect.bisect_left(self.days, self._inside(day))
        if end < count:
            raise ValueError(
                f"the {self.name} calendar has no {count} trading days before {day} "
                f"(it begins on {self.first})"
            )
        return self.days[end - count : end]

    def first_from(self, day: Day) -> dt.date:
        """The first trading day on or after `day`."""
        index = bisect.bisect_left(self.days, self._inside(day))
        if index == len(self.days):
            raise ValueError(f"the {self.name} calendar has no trading day from {day} on")
        return self.days[index]

    def _inside(self, day: Day) -> dt.date:
        day = parse_day(day)
        if not self.first <= day <= self.last:
            raise ValueError(
                f"{day} lies outside the {self.name} calendar, which covers "
                f"{self.first} to {self.last}"
            )
        return day


# Calendars are built one at a time: the warning filters are the process's, and pandas changes
# them while it builds one (to show its own notices), so a notice silenced in one build could be
# printed by another thread's build running at the same moment.
_building = threading.Lock()


def trading_calendar(name: str, closed_days: Tuple[str, ...] = ()) -> TradingCalendar:
    """The calendar of that name less those days, built once per process."""
    with _building:
        return _built_calendar(name, closed_days)


@functools.lru_cache(maxsize=None)
def _built_calendar(name: str, closed_days: Tuple[str, ...]) -> TradingCalendar:
    return TradingCalendar(name, closed_days)
