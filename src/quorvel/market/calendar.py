"""Trading days and trading sessions.

Trading days come, less any extra closed days, from a file in the package for the calendars
of `SHIPPED_CALENDARS` (Taiwan's, written from `exchange_calendars` by tools/refresh-calendar),
and from the `exchange_calendars` package for any other: it is imported at first use only, as
it loads pandas (about half a second).  A session is a span of exchange local time
(Asia/Taipei) on one trading day; a session that opens on the previous trading day's evening,
like the TAIEX futures' night session, belongs to the next trading day, as the futures exchange
counts it and as the broker's history query dates its ticks.

Times are the exchange's wall-clock time.  The broker writes a tick's time as if that wall
clock were UTC: `broker_seconds` and `wall_clock` convert between the two (`broker_nanoseconds`
gives the tick data's nanoseconds).
"""

from __future__ import annotations

import bisect
import calendar as _calendar
import datetime as dt
import functools
import importlib.resources
import threading
import warnings
from dataclasses import dataclass
from typing import Dict, Iterator, List, NamedTuple, Tuple, Union

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

# Where the calendars begin and end: other days are refused rather than guessed.  The end is a
# fixed day, not the calendar package's "a year from today", so that a calendar's days, and the
# offline broker's cache directory named from them, stay the same from one day to the next;
# tools/refresh-calendar writes the shipped days to it (move it on before a refresh).
CALENDAR_START = "2000-01-01"
CALENDAR_END = "2027-12-09"

# The calendars whose trading days ship with the package, and their files in it.
SHIPPED_CALENDARS: Dict[str, str] = {"XTAI": "xtai_days.txt"}


@dataclass(frozen=True)
class CalendarCorrections:
    """Days an older release of a calendar gets wrong: `closed` it lists as trading days,
    `open` it lists as holidays."""

    closed: Tuple[str, ...]
    open: Tuple[str, ...] = ()


# The last `exchange_calendars` release for Python 3.9 (4.5.6) predates these XTAI days, which
# later releases (4.13.3) know: closures for typhoons, the days without trading before the
# Lunar New Year, and the holidays observed from 2025.  Applying them to any release changes
# nothing where the release already knows them.  One no release knows: 2023-01-18, the first
# of the two days without trading after the market closed for the Lunar New Year on 2023-01-17
# (TWSE's schedule of 2023, as Yahoo Finance reported it; the futures exchange moved the
# January contracts' expiry from that Wednesday to 2023-01-30, the broker's contract
# documentation shows).
OLD_RELEASE_CORRECTIONS: Dict[str, CalendarCorrections] = {
    "XTAI": CalendarCorrections(
        closed=(
            "2023-01-18",
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


class CalendarDays(NamedTuple):
    """A calendar's range, `first` to `last`, and its trading days in it, in order."""

    first: dt.date
    last: dt.date
    days: List[dt.date]


def library_days(name: str) -> CalendarDays:
    """The days of the `exchange_calendars` calendar `name` from `CALENDAR_START` to
    `CALENDAR_END`, corrected where the installed release is older
    (`OLD_RELEASE_CORRECTIONS`)."""
    import exchange_calendars

    try:
        with warnings.catch_warnings():  # the package's own deprecation notices about pandas
            warnings.simplefilter("ignore", DeprecationWarning)
            warnings.simplefilter("ignore", FutureWarning)
            source = exchange_calendars.get_calendar(name, start=CALENDAR_START, end=CALENDAR_END)
    except exchange_calendars.errors.InvalidCalendarName:
        raise ValueError(f"unknown exchange calendar {name!r}") from None
    corrections = OLD_RELEASE_CORRECTIONS.get(name, CalendarCorrections(()))
    closed = set(map(parse_day, corrections.closed))
    first = source.first_session.date()
    last = source.last_session.date()
    opened = {day for day in map(parse_day, corrections.open) if first <= day <= last}
    sessions = {stamp.date() for stamp in source.sessions} | opened
    return CalendarDays(first, last, sorted(sessions - closed))


def days_text(calendar_days: CalendarDays, header: str) -> str:
    """A calendar's days as its shipped file holds them: `header` as comment lines, the range,
    then the exceptions to "Monday to Friday trade": weekdays `closed`, weekend days `open`."""
    days = set(calendar_days.days)
    exceptions = [
        f"{'open' if day in days else 'closed'} {day}"
        for day in _span(calendar_days.first, calendar_days.last)
        if (day in days) != (day.weekday() < 5)
    ]
    lines = [f"# {line}".rstrip() for line in header.splitlines()]
    lines += [f"first {calendar_days.first}", f"last {calendar_days.last}", *exceptions]
    return "\n".join(lines) + "\n"


def shipped_days(name: str) -> CalendarDays:
    """The days of the calendar `name` from its file in the package (`SHIPPED_CALENDARS`)."""
    file = importlib.resources.files(__package__).joinpath(SHIPPED_CALENDARS[name])
    return text_days(file.read_text(encoding="ascii"))


def text_days(text: str) -> CalendarDays:
    """The days of a calendar as `days_text` writes them."""
    fields: Dict[str, List[dt.date]] = {"first": [], "last": [], "closed": [], "open": []}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            word, day = line.split()
            fields[word].append(dt.date.fromisoformat(day))
    (first,), (last,) = fields["first"], fields["last"]
    closed, opened = set(fields["closed"]), set(fields["open"])
    days = [
        day
        for day in _span(first, last)
        if (day.weekday() < 5 and day not in closed) or day in opened
    ]
    return CalendarDays(first, last, days)


def _span(first: dt.date, last: dt.date) -> Iterator[dt.date]:
    """Every day from `first` to `last`, both included."""
    return map(dt.date.fromordinal, range(first.toordinal(), last.toordinal() + 1))


class TradingCalendar:
    """The trading days of a calendar, less extra closed days: a shipped one's from its file
    (`SHIPPED_CALENDARS`), any other's from `exchange_calendars`, corrected where the
    installed release is older (`OLD_RELEASE_CORRECTIONS`).

    Days outside the calendar's range raise `ValueError`: an unknown day is not guessed to
    be a trading day.
    """

    def __init__(self, name: str, closed_days: Tuple[str, ...] = ()) -> None:
        source = shipped_days(name) if name in SHIPPED_CALENDARS else library_days(name)
        closed = set(map(parse_day, closed_days))
        self.name = name
        self.first = source.first
        self.last = source.last
        self.days = [day for day in source.days if day not in closed]

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
# them while `exchange_calendars` builds one (to show its own notices), so a notice silenced in
# one build could be printed by another thread's build running at the same moment.
_building = threading.Lock()


def trading_calendar(name: str, closed_days: Tuple[str, ...] = ()) -> TradingCalendar:
    """The calendar of that name less those days, built once per process."""
    with _building:
        return _built_calendar(name, closed_days)


@functools.lru_cache(maxsize=None)
def _built_calendar(name: str, closed_days: Tuple[str, ...]) -> TradingCalendar:
    return TradingCalendar(name, closed_days)
