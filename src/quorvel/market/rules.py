"""The market's rules as data: price steps, daily price limits, sessions, the trading calendar.

`MarketRules` holds one `InstrumentRules` per kind of instrument and the calendar; its
defaults, `TAIWAN`, are the Taiwan markets' rules, each table with its source and the date the
source states it in force.  Every figure can be replaced with `dataclasses.replace`, e.g. the
limits as they were before 2015-06-01:

    seven = replace(TAIWAN.stock.limit, fraction=0.07, as_of="")
    rules = replace(TAIWAN, stock=replace(TAIWAN.stock, limit=seven))
"""

from __future__ import annotations

import datetime as dt
import enum
import functools
import math
from dataclasses import dataclass, replace
from decimal import Decimal
from typing import List, Optional, Sequence, Tuple

from quorvel.market.calendar import (
    Day,
    Moment,
    Session,
    SessionHours,
    TradingCalendar,
    broker_seconds,
    parse_day,
    trading_calendar,
)
from quorvel.market.months import ContractMonths, continuous_rank, is_explicit_month
from quorvel.market.securities import (
    ETF,
    KNOWN_SECURITIES,
    STOCK,
    SecurityClass,
    class_by_shape,
)
from quorvel.market.steps import PriceSteps, as_price, format_price

__all__ = ["CallAuction", "InstrumentRules", "Kind", "MarketRules", "PriceLimit", "TAIWAN"]

SECONDS_PER_DAY = 86_400


class Kind(enum.Enum):
    """The kinds of instrument whose rules differ."""

    STOCK = "stock"
    ETF = "ETF"
    INDEX_FUTURE = "index future"
    STOCK_FUTURE = "stock future"


@dataclass(frozen=True)
class PriceLimit:
    """The daily price limit: the reference price (the previous trading day's last price; for
    futures its settlement price) plus or minus `fraction` of it, rounded inward to the step."""

    fraction: float
    as_of: str = ""
    source: str = ""


@dataclass(frozen=True)
class CallAuction:
    """A call auction: the orders entered from `opens` to `closes` (local time) are matched
    together in one trade when it closes.  One with `previous_evening` set belongs to the
    trading day after the evening it takes orders on, as a night session does.  Orders of the
    kinds in `refuses` ("MKT" for market orders, "IOC", "FOK") are not taken during it."""

    name: str
    opens: dt.time
    closes: dt.time
    refuses: Tuple[str, ...] = ()
    previous_evening: bool = False


@dataclass(frozen=True)
class InstrumentRules:
    """The rules of one kind of instrument."""

    steps: PriceSteps
    limit: PriceLimit
    sessions: Tuple[SessionHours, ...]
    calls: Tuple[CallAuction, ...] = ()


STOCK_STEPS = PriceSteps(
    ((0, 0.01), (10, 0.05), (50, 0.1), (100, 0.5), (500, 1), (1000, 5)),
    as_of="2026-01-23",
    source=(
        "TWSE Operating Rules, Article 62 (tick sizes), the same for TPEx stocks and for stock "
        "futures; stated in force in udn.com, 2026-01-23, https://udn.com/news/story/7239/9285535"
    ),
)
ETF_STEPS = PriceSteps(
    ((0, 0.01), (50, 0.05)),
    as_of="2021-04-29",
    source=(
        "TWSE Rules Governing Trading of Beneficial Certificates, Article 7 (English version of "
        "2021-04-29), https://twse-regulation.twse.com.tw/ENG/EN/law/DAT0202.aspx?FLCODE=FL007114"
    ),
)
INDEX_FUTURE_STEPS = PriceSteps(
    ((0, 1),),
    as_of="2018-03-31",
    source=(
        "TAIFEX TAIEX Futures Contract Specifications (amended 2018-03-31): minimum price "
        "fluctuation one index point; the same for Mini and Micro TAIEX futures"
    ),
)
TEN_PERCENT = PriceLimit(
    0.10,
    as_of="2015-06-01",
    source=(
        "TWSE and TPEx: 10 % of the reference price from 2015-06-01 (7 % before); TAIFEX: 10 % of "
        "the preceding regular session's settlement price (TAIEX Futures Contract Specifications)"
    ),
)
# TWSE Operating Rules, Article 3: the market trades from 09:00 to 13:30.
STOCK_SESSIONS = (SessionHours("day", dt.time(9, 0), dt.time(13, 30)),)
# Since 2020-03-23 stocks trade continuously "with the call auction at the market open and
# close" (TWSE Monthly, April 2020): orders from 08:30 are matched in the opening call at 09:00,
# and "the closing sessions (1:25pm-1:30pm)" end in one trade at 13:30 (globalexchanges.com,
# "Taiwan: TWSE implements continuous trading"); TPEx alike.  "Market order, Immediate or Cancel
# (IOC), and Fill or Kill (FOK) are available only during the continuous trading sessions"
# (TPEx, https://www.tpex.org.tw/en/link/shorten_match.php).
STOCK_CALLS = (
    CallAuction("opening call", dt.time(8, 30), dt.time(9, 0), ("MKT", "IOC", "FOK")),
    CallAuction("closing call", dt.time(13, 25), dt.time(13, 30), ("MKT", "IOC", "FOK")),
)
# TAIFEX TAIEX Futures Contract Specifications: the regular session from 08:45 to 13:45, the
# after-hours session from 15:00 on a trading day to 05:00 the next morning.  Its trades count
# for the next trading day, and the broker's history query dates them so: its documentation
# calls the `date` of `api.ticks(contract, date)` the trading date, and a report on the
# broker's issue tracker (#194) expects the answer for TXFR1 on 2022-01-04 to begin with the
# night session's opening at 15:00 on 2022-01-03.
FUTURES_DAY_SESSION = SessionHours("day", dt.time(8, 45), dt.time(13, 45))
FUTURES_NIGHT_SESSION = SessionHours("night", dt.time(15, 0), dt.time(5, 0), previous_evening=True)
# TAIFEX Operating Rules, Article 35: orders are taken from 15 minutes before the regular
# session's open and 10 minutes before the after-hours session's, and "Call-auction matching is
# used at market open" (https://www.taifex.com.tw/enl/eng4/oamPrinciple); there is no closing
# call.  Before the open, FOK orders are not taken (TAIFEX's table of order types, as a broker's
# copy gives it: not found on TAIFEX's own pages, so unconfirmed); market and IOC orders are.
FUTURES_DAY_CALL = CallAuction("opening call", dt.time(8, 30), dt.time(8, 45), ("FOK",))
FUTURES_NIGHT_CALL = CallAuction(
    "night opening call", dt.time(14, 50), dt.time(15, 0), ("FOK",), previous_evening=True
)


@dataclass(frozen=True)
class MarketRules:
    """The rules the exchange applies, per kind of instrument, and its calendar.

    A code's kind: a code starting with a digit is listed on the stock market, an ETF when it
    starts with `etf_prefix`; a futures code whose product (its first three letters) is in
    `index_future_products` is an index future, any other a stock future.  `calendar` names an
    `exchange_calendars` calendar (futures share the stock market's trading days);
    `closed_days` ("YYYY-MM-DD") are closed besides.  `months` say when a futures month ends
    and which month a continuous code follows.  A listed code's class (`security_class`) comes
    from `securities` (code, class pairs), then the known codes and the codes' shapes of
    `quorvel.market.securities`; a code of none of them is an ETF when it starts with
    `etf_prefix`, else a stock.  The class sets the ladder (ETF classes take `etf`'s), the
    daily limit (a multiple of the kind's; none for foreign-index ETFs) and the tax.
    """

    stock: InstrumentRules = InstrumentRules(STOCK_STEPS, TEN_PERCENT, STOCK_SESSIONS, STOCK_CALLS)
    etf: InstrumentRules = InstrumentRules(ETF_STEPS, TEN_PERCENT, STOCK_SESSIONS, STOCK_CALLS)
    index_future: InstrumentRules = InstrumentRules(
        INDEX_FUTURE_STEPS,
        TEN_PERCENT,
        (FUTURES_NIGHT_SESSION, FUTURES_DAY_SESSION),
        (FUTURES_NIGHT_CALL, FUTURES_DAY_CALL),
    )
    stock_future: InstrumentRules = InstrumentRules(
        STOCK_STEPS, TEN_PERCENT, (FUTURES_DAY_SESSION,), (FUTURES_DAY_CALL,)
    )
    etf_prefix: str = "00"
    index_future_products: Tuple[str, ...] = ("TXF", "MXF", "TMF")
    calendar: str = "XTAI"
    closed_days: Tuple[str, ...] = ()
    months: ContractMonths = ContractMonths()
    securities: Tuple[Tuple[str, SecurityClass], ...] = ()

    # Kinds and their rules

    def kind(self, code: str) -> Kind:
        if not isinstance(code, str) or not code:
            raise ValueError(f"an instrument code is a non-empty str, got {code!r}")
        if code[0].isdigit():
            return Kind.ETF if self.security_class(code).etf_steps else Kind.STOCK
        return Kind.INDEX_FUTURE if code[:3] in self.index_future_products else Kind.STOCK_FUTURE

    def security_class(self, code: str) -> SecurityClass:
        """The class of a listed code (see the class's docstring); a future's is None's stock."""
        return _security_class(code, self.securities, self.etf_prefix)[0]

    def unknown_securities(self, codes: Sequence[str]) -> List[str]:
        """The listed codes among `codes` whose class no table and no shape tells: taken as
        stocks (or ETFs by `etf_prefix`)."""
        return [
            code
            for code in codes
            if code[:1].isdigit() and not _security_class(code, self.securities, self.etf_prefix)[1]
        ]

    def instrument(self, code: str) -> InstrumentRules:
        return {
            Kind.STOCK: self.stock,
            Kind.ETF: self.etf,
            Kind.INDEX_FUTURE: self.index_future,
            Kind.STOCK_FUTURE: self.stock_future,
        }[self.kind(code)]

    # Price steps

    def tick_size(self, code: str, price: float) -> float:
        """The price step of `code` at `price` (a band holds its lowest price: 10 steps by 0.05)."""
        return float(self.instrument(code).steps.step_at(as_price(price)))

    def is_on_step(self, code: str, price: float) -> bool:
        """Whether `price` lies on `code`'s price ladder (up to float rounding noise)."""
        exact = as_price(price)
        return self.instrument(code).steps.floor(exact) == exact

    def step_down(self, code: str, price: float) -> float:
        """The highest valid price at or below `price` (0 below the first step)."""
        return float(self.instrument(code).steps.floor(as_price(price)))

    def step_up(self, code: str, price: float) -> float:
        """The lowest valid price at or above `price`."""
        return float(self.instrument(code).steps.ceil(as_price(price)))

    def price_above(self, code: str, price: float) -> float:
        """The next valid price strictly above `price`."""
        return float(self.instrument(code).steps.next_above(as_price(price)))

    def price_below(self, code: str, price: float) -> Optional[float]:
        """The next valid price strictly below `price`, None when there is none above 0."""
        below = self.instrument(code).steps.next_below(as_price(price))
        return None if below is None else float(below)

    def off_step_message(self, code: str, price: float) -> Optional[str]:
        """None for a price on the step; else what is wrong and the nearest valid prices,
        e.g. "568.3 is not on 2330's price step 1; 568 or 569"."""
        steps = self.instrument(code).steps
        exact = as_price(price)
        below = steps.floor(exact)
        if below == exact:
            return None
        nearest = [format_price(p) for p in (below, steps.ceil(exact)) if p > 0]
        return (
            f"{format_price(exact)} is not on {code}'s price step "
            f"{format_price(steps.step_at(exact))}; {' or '.join(nearest)}"
        )

    # Daily price limits

    def limit_prices(self, code: str, reference: float) -> Tuple[float, float]:
        """The day's (lower, upper) limit for a reference price.

        reference x (1 -/+ fraction x the class's multiple), rounded inward onto the ladder: each
        limit takes the step of the band it falls in; a class without a limit has none above.  The limits stay at least one step from the reference, and the
        lower limit is never below the lowest price on the ladder.
        """
        rules = self.instrument(code)
        steps = rules.steps
        exact = as_price(reference)
        multiple = self.security_class(code).limit_multiple if code[:1].isdigit() else 1.0
        if multiple is None:  # no limit: from the lowest price on the ladder up
            return float(steps.next_above(Decimal(0))), math.inf
        fraction = Decimal(str(rules.limit.fraction)) * Decimal(str(multiple))
        upper = max(steps.floor(exact * (1 + fraction)), steps.next_above(exact))
        lower = steps.ceil(exact * (1 - fraction))
        below = steps.next_below(exact)
        if below is not None:
            lower = min(lower, below)
        return float(max(lower, steps.next_above(Decimal(0)))), float(upper)

    # Trading days

    @property
    def trading_calendar(self) -> TradingCalendar:
        return trading_calendar(self.calendar, self.closed_days)

    def is_trading_day(self, day: Day) -> bool:
        return self.trading_calendar.is_trading_day(day)

    def trading_days(self, start: Day, end: Day) -> List[dt.date]:
        """The trading days from `start` to `end`, both included."""
        return self.trading_calendar.between(start, end)

    def next_trading_day(self, day: Day) -> dt.date:
        """The first trading day after `day`."""
        return self.trading_calendar.first_from(parse_day(day) + dt.timedelta(days=1))

    def previous_trading_days(self, day: Day, count: int) -> List[dt.date]:
        """The `count` trading days before `day`, oldest first."""
        return self.trading_calendar.before(day, count)

    def backfill_range(
        self, start: Day, days: int, first: Optional[Day] = None, last: Optional[Day] = None
    ) -> Optional[Tuple[str, str]]:
        """The warm-up range before a period that starts on `start`, as "YYYY-MM-DD" texts.

        From `first` to `last` where they are given; a missing `last` is the trading day
        before `start`, a missing `first` the first of the `days` trading days up to `last`.
        None when that leaves no day (0 days and no `first`).
        """
        end = parse_day(last) if last is not None else self.previous_trading_days(start, 1)[0]
        if first is not None:
            return parse_day(first).isoformat(), end.isoformat()
        counted = self.previous_trading_days(end + dt.timedelta(days=1), days)
        return (counted[0].isoformat(), end.isoformat()) if counted else None

    # Futures months

    def contract_month(self, code: str, day: Day) -> Optional[str]:
        """The month ("YYYYMM") `code` trades on trading day `day`: an explicit month code's own,
        the month a continuous code follows that day; None for a code that names no month."""
        if code[:1].isdigit():
            return None
        first_from = self.trading_calendar.first_from
        rank = continuous_rank(code)
        if rank is not None:
            return self.months.continuous(rank, parse_day(day), first_from)
        if is_explicit_month(code):
            return self.months.explicit(code, parse_day(day), first_from)
        return None

    def last_trading_day(self, month: str) -> dt.date:
        """The last trading day of the futures of `month` ("YYYYMM")."""
        return self.months.last_trading_day(month, self.trading_calendar.first_from)

    def month_ends(self, code: str, day: Day) -> bool:
        """Whether the month `code` trades on trading day `day` is one it no longer trades after
        that day: an explicit month's last trading day, a continuous code's last day on it."""
        day = parse_day(day)
        month = self.contract_month(code, day)
        if month is None:
            return False
        if continuous_rank(code) is None:
            return self.last_trading_day(month) == day
        return self.contract_month(code, self.next_trading_day(day)) != month

    def has_expired(self, code: str, day: Day) -> bool:
        """Whether `code` names an explicit month whose last trading day lies before `day`."""
        month = self.contract_month(code, day)
        return (
            month is not None
            and continuous_rank(code) is None
            and self.last_trading_day(month) < parse_day(day)
        )

    # Sessions

    def sessions(self, code: str, day: Day) -> List[Session]:
        """`code`'s sessions of trading day `day` in time order; none on other days.

        A night session opens on the evening of the trading day before `day` and belongs to
        `day`: the broker's history query for `day` returns its ticks with `day`'s own.
        """
        day = parse_day(day)
        if not self.is_trading_day(day):
            return []
        sessions = []
        hours_of_day = self.instrument(code).sessions
        month = self.contract_month(code, day)
        if month is not None and self.last_trading_day(month) == day:
            hours_of_day = hours_of_day[:-1] + (
                replace(hours_of_day[-1], closes=self.months.last_day_close),
            )
        for hours in hours_of_day:
            opening_day = self._evening_before(day) if hours.previous_evening else day
            if opening_day is None:
                continue
            overnight = hours.closes <= hours.opens
            closing_day = opening_day + dt.timedelta(days=1 if overnight else 0)
            opens = dt.datetime.combine(opening_day, hours.opens)
            closes = dt.datetime.combine(closing_day, hours.closes)
            sessions.append(Session(hours.name, day, opens, closes))
        return sorted(sessions, key=lambda session: session.opens)

    def _evening_before(self, day: dt.date) -> Optional[dt.date]:
        """The trading day whose evening opens `day`'s night session; None on the calendar's
        first day, which has no evening before it to trade in."""
        if day <= self.trading_calendar.first:
            return None
        return self.previous_trading_days(day, 1)[0]

    def trading_day_of(self, moment: Moment) -> dt.date:
        """The trading day a moment counts for: that of the session holding it.  That is the
        first trading day from the moment's date on, a moment from the night sessions' opening
        time (15:00) on counting for the next date; between sessions it is the same rule."""
        seconds = broker_seconds(moment) if isinstance(moment, dt.datetime) else moment
        day_number = (seconds + SECONDS_PER_DAY - self.day_rollover_seconds) // SECONDS_PER_DAY
        return _first_trading_day(self.calendar, self.closed_days, int(day_number))

    def calls(self, code: str, day: Day) -> List[Tuple[CallAuction, dt.datetime, dt.datetime]]:
        """`code`'s call auctions of trading day `day` in time order, each with when it takes
        orders from and when its trade is made; none on other days."""
        day = parse_day(day)
        if not self.is_trading_day(day):
            return []
        found = []
        for call in self.instrument(code).calls:
            taking = self._evening_before(day) if call.previous_evening else day
            if taking is None:
                continue
            opens, closes = (dt.datetime.combine(taking, time) for time in (call.opens, call.closes))
            found.append((call, opens, closes))
        return sorted(found, key=lambda entry: entry[1])

    def call_at(self, code: str, moment: float) -> Optional[Tuple[CallAuction, float]]:
        """The call auction of `code` taking orders at `moment` (broker seconds), and the moment
        its trade is made; None outside its calls (and on days without trading)."""
        day = self.trading_day_of(moment)
        # An evening's call comes before the night sessions' opening, from which on moments
        # count for the next trading day: it may belong to the day after the moment's own.
        for belongs in (day, self.next_trading_day(day)):
            for call, opens, closes in self.calls(code, belongs):
                if broker_seconds(opens) <= moment < broker_seconds(closes):
                    return call, broker_seconds(closes)
        return None

    def session_at(self, code: str, moment: Moment) -> Optional[Session]:
        """The session of `code` that holds `moment`, None between sessions."""
        for session in self.sessions(code, self.trading_day_of(moment)):
            if moment in session:
                return session
        return None

    @functools.cached_property
    def day_rollover_seconds(self) -> int:
        """Seconds after midnight from which a moment counts for the next day: the earliest
        opening of the sessions that open on the previous evening (a whole day when none do)."""
        openings = [
            hours.opens
            for rules in (self.stock, self.etf, self.index_future, self.stock_future)
            for hours in rules.sessions
            if hours.previous_evening
        ]
        if not openings:
            return SECONDS_PER_DAY
        opening = min(openings)
        return (opening.hour * 60 + opening.minute) * 60 + opening.second


@functools.lru_cache(maxsize=4096)
def _security_class(
    code: str, securities: Tuple[Tuple[str, SecurityClass], ...], etf_prefix: str
) -> Tuple[SecurityClass, bool]:
    """A code's class, and whether a table or its shape told it."""
    found = dict(securities).get(code) or KNOWN_SECURITIES.get(code) or class_by_shape(code)
    if found is not None:
        return found, True
    return (ETF if code.startswith(etf_prefix) else STOCK), False


@functools.lru_cache(maxsize=4096)
def _first_trading_day(calendar: str, closed_days: Tuple[str, ...], day_number: int) -> dt.date:
    """The first trading day on or after the day `day_number` days after 1970-01-01."""
    day = dt.date(1970, 1, 1) + dt.timedelta(days=day_number)
    return trading_calendar(calendar, closed_days).first_from(day)


TAIWAN = MarketRules()
