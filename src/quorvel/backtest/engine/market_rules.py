"""The market's rules as a run applies them to its strategy.

`TradingRules` checks the strategy's limit prices against the price steps and the day's price
limits, and tells the engines where each instrument's sessions close: there the strategy's day
(ROD) orders of that instrument expire, and an instrument whose trading day is over takes its
last price as the next day's reference price.

The reference price of a trading day is the instrument's last price before that day: the run
learns it from the ticks it replays and, for the run's first day, from the trading day before,
loaded through the tick feed's door (`opening_references`).  A continuous futures code that
moves on to the next month takes that month's last price instead (`month_prices`).  An
instrument without one (no tick that day, or a source that does not hold the day) has its
prices checked against the steps only, until a day of the run has ended with a tick of it.

On the eve of a stock's ex-date (`quorvel.market.actions`), the close sets the ex-date's
reference price from the last close, and the desk is told of the action
(`ClosingDesk.corporate_action`).

A futures month ends with the close of its last trading day, or of the last day a continuous
code follows it: the positions in it are settled then (`ClosingDesk.months_end`).  The last
close of each trading day is the day's settlement (`ClosingDesk.day_ends`).
"""

from __future__ import annotations

import collections
import datetime as dt
import logging
import math
from dataclasses import dataclass
from typing import (
    Any,
    Callable,
    Collection,
    Dict,
    List,
    Optional,
    Protocol,
    Sequence,
    Tuple,
)


from quorvel import market
from quorvel.backtest import core
from quorvel.backtest.errors import OrderError
from quorvel.market import CallAuction, MarketRules
from quorvel.market.actions import CorporateAction, by_trading_day
from quorvel.market.months import continuous_rank, month_code
from quorvel.market.steps import as_price, format_price

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class SessionClose:
    """A moment at which sessions close, with the codes they are of."""

    timestamp: float  # seconds, as a tick's "timestamp" counts them
    ts: int  # nanoseconds, as the tick frames' "ts" column counts them
    closing: Tuple[str, ...]  # the codes whose session closes
    day_over: Tuple[str, ...]  # those of them whose trading day ends with it
    # The codes whose continuous trading ends in a call auction then, their session going on.
    calls_begin: Tuple[str, ...] = ()
    months_end: Tuple[str, ...] = ()  # those of `day_over` whose futures month ends with the day
    ends_day: Optional[dt.date] = None  # the trading day whose last session closes then


def check_limit_price(
    rules: MarketRules, code: str, price: float, limits: Optional[Tuple[float, float]]
) -> None:
    """Refuse with `OrderError` a limit price of `code` off its price step under `rules` or
    beyond the day's (lower, upper) `limits` (None: unknown, the steps only)."""
    off_step = rules.off_step_message(code, price)
    if off_step is not None:
        raise OrderError(off_step)
    if limits is None:
        return
    exact, (lower, upper) = as_price(price), map(as_price, limits)
    if not lower <= exact <= upper:
        raise OrderError(
            f"{format_price(exact)} is beyond {code}'s price limits of the day, "
            f"{format_price(lower)} to {format_price(upper)}"
        )


def session_closes(
    rules: MarketRules, codes: Sequence[str], first: str, last: str
) -> List[SessionClose]:
    """The closes of the codes' sessions of the trading days from `first` to `last`, and of
    their continuous trading before a closing call, in order."""
    closing: Dict[dt.datetime, List[str]] = collections.defaultdict(list)
    day_over: Dict[dt.datetime, List[str]] = collections.defaultdict(list)
    calls_begin: Dict[dt.datetime, List[str]] = collections.defaultdict(list)
    months_end: Dict[dt.datetime, List[str]] = collections.defaultdict(list)
    day_ends: Dict[dt.datetime, dt.date] = {}
    for day in rules.trading_days(first, last):
        last_close = None
        for code in codes:
            sessions = rules.sessions(code, day)
            for session in sessions:
                closing[session.closes].append(code)
            if sessions:
                day_over[sessions[-1].closes].append(code)
                last_close = max(last_close or sessions[-1].closes, sessions[-1].closes)
                if rules.month_ends(code, day):
                    months_end[sessions[-1].closes].append(code)
            for _, opens, _ in rules.calls(code, day):
                if any(session.opens < opens < session.closes for session in sessions):
                    calls_begin[opens].append(code)
        if last_close is not None:
            day_ends[last_close] = day
    return [
        SessionClose(
            market.broker_seconds(moment),
            market.broker_nanoseconds(moment),
            tuple(closing.get(moment, ())),
            tuple(day_over.get(moment, ())),
            tuple(calls_begin.get(moment, ())),
            tuple(months_end.get(moment, ())),
            day_ends.get(moment),
        )
        for moment in sorted({*closing, *calls_begin})
    ]


def opening_references(
    ticker: Any, instruments: Sequence[Dict[str, str]], first_day: str, rules: MarketRules
) -> Dict[str, float]:
    """Each instrument's last price on the trading day before `first_day`: the reference
    prices of the run's first day, loaded through the tick feed's door (and so its cache).

    An instrument whose source does not hold that day (an offline run's cache that lacks
    it raises a `LookupError`) or that has no tick on it is left out.
    """
    try:
        [day] = rules.previous_trading_days(first_day, 1)
    except ValueError:  # the calendar begins there
        return {}
    ticks = _held_ticks(ticker, list(instruments), day.isoformat())
    references = {}
    closes, codes = ticks["close"], ticks["code"]
    for entry in instruments:
        own = closes.filter(codes == entry["code"])  # in the order of the code's own load
        if len(own):
            references[entry["code"]] = float(own[-1])
    return references


def month_prices(
    ticker: Any, known: Callable[[str], bool], codes: Sequence[str], days: Tuple[str, str], rules: MarketRules
) -> Dict[Tuple[str, str], float]:
    """The last prices of the explicit months a continuous code moves between in the trading
    days `days` (first, last), by (code, day): the next month's on the last day the code follows
    the month before (the next day's reference), and the ended month's on its last trading day
    (its last trade) where the month ends then.  Only months `known` to the broker and held by
    their source are given."""
    wanted: Dict[str, List[Dict[str, str]]] = collections.defaultdict(list)
    for code in codes:
        if continuous_rank(code) is None:
            continue
        for day in rules.trading_days(*days):
            if not rules.month_ends(code, day):
                continue
            next_day = rules.next_trading_day(day)
            ended = rules.contract_month(code, day)
            following = rules.contract_month(code, next_day)
            assert ended is not None and following is not None
            wanted_days = [(following, day)]
            # An R2 code's month trades on after the switch: no last trade of it is wanted.
            if rules.last_trading_day(ended) <= next_day:
                wanted_days.append((ended, rules.last_trading_day(ended)))
            for month, on in wanted_days:
                month_of = month_code(code[:3], month)
                if known(month_of):
                    wanted[on.isoformat()].append({"code": month_of, "market": "Future"})
    prices = {}
    for date, instruments in sorted(wanted.items()):
        instruments = list({entry["code"]: entry for entry in instruments}.values())
        ticks = _held_ticks(ticker, instruments, date)
        closes, names = ticks["close"], ticks["code"]
        for entry in instruments:
            own = closes.filter(names == entry["code"])
            if len(own):
                prices[(entry["code"], date)] = float(own[-1])
    return prices


def _held_ticks(ticker: Any, instruments: List[Dict[str, str]], date: str) -> Any:
    """The day's ticks of the instruments whose source holds it, in one load through the door
    (which reads and merges their files at once).

    A load that raises `LookupError` names no instrument: the day watcher tells how many were
    loaded before the one whose source does not hold the day.  That one is left out and the
    others are loaded again, but for those loaded without a tick, which have no price to give.
    """
    feed = core.feed()

    while True:
        rows: List[int] = []  # each instrument's row count, in load order
        try:
            return feed.load(ticker, instruments, date, date, lambda _code, _day, n: rows.append(n))
        except LookupError:
            failed = len(rows)
            instruments = [
                entry
                for number, entry in enumerate(instruments)
                if number > failed or (number < failed and rows[number])
            ]


class ClosingDesk(Protocol):
    """What a close asks of the strategy's desk."""

    def last_price(self, code: str) -> Optional[float]: ...

    def sessions_close(self, codes: Collection[str]) -> None: ...

    def calls_begin(self, codes: Collection[str]) -> None: ...

    def months_end(self, codes: Collection[str], timestamp: float, day: dt.date) -> None: ...

    def day_ends(self, timestamp: float, next_day: dt.date) -> None: ...

    def corporate_action(
        self, action: CorporateAction, reference: Optional[float], timestamp: float
    ) -> None: ...


class TradingRules:
    """The market's rules over one run: price checks, reference prices and session closes.

    `rules` None is the raw exchange: nothing is checked or expired, `tick_size` still gives
    Taiwan's steps and `limit_prices` None.  `codes` are traded over the trading days
    `days` (first, last), the first of which has the `references` given.
    """

    def __init__(
        self,
        rules: Optional[MarketRules],
        codes: Sequence[str],
        days: Tuple[str, str],
        references: Dict[str, float],
        month_prices: Optional[Dict[Tuple[str, str], float]] = None,
        actions: Sequence[CorporateAction] = (),
    ) -> None:
        self.rules = rules or market.TAIWAN
        self.enforced = rules is not None
        self.limits: Dict[str, Tuple[float, float]] = {}
        # Last prices of explicit months, by (code, day): the next month's on the day a
        # continuous code moves on to it, the ended month's on its last trading day.
        self.month_prices = month_prices or {}
        self.actions = self._actions_of_run(actions, days)
        self.closes = session_closes(self.rules, codes, *days)
        self.passed = 0  # the closes passed so far
        self.next_close = self.closes[0].timestamp if self.closes else math.inf
        first_day = self.rules.trading_calendar.first_from(days[0])
        for code, reference in references.items() if self.enforced else ():
            action = self.actions.get((code, first_day))
            if action is not None:
                reference = action.ex_reference(reference)
            self._set_reference(code, reference)

    def tick_size(self, code: str, price: float) -> float:
        return self.rules.tick_size(code, price)

    def limit_prices(self, code: str) -> Optional[Tuple[float, float]]:
        """The day's (lower, upper) price limit of `code`, None while its reference is unknown."""
        return self.limits.get(code)

    def call_at(self, code: str, moment: float) -> Optional[Tuple[CallAuction, float]]:
        """The call auction of `code` taking orders at `moment`, and when its trade is made;
        None outside calls, before the first tick (`moment` infinite), and always in a run without
        market rules."""
        if not self.enforced or not math.isfinite(moment):
            return None
        return self.rules.call_at(code, moment)

    def check_price(self, code: str, price: float) -> None:
        """Refuse with `OrderError` a limit price off the price step or beyond the day's limits."""
        if self.enforced:
            check_limit_price(self.rules, code, price, self.limits.get(code))

    def pass_closes(self, until: float, desk: ClosingDesk) -> float:
        """Carry out the closes before `until` (a tick's timestamp) in order: each code whose
        trading day ended takes its last price (`desk.last_price`) as its reference, then
        `desk.calls_begin` is given the codes whose closing call begins and
        `desk.sessions_close` those whose session closed, `desk.months_end` those whose
        futures month ended and, at a trading day's last close, `desk.day_ends`.  In a run
        without market rules the closes are carried out too, but no reference is set and no
        call begins.  Returns the next close (infinite: none)."""
        while self.next_close < until:
            close = self.closes[self.passed]
            self.passed += 1
            self.next_close = (
                self.closes[self.passed].timestamp if self.passed < len(self.closes) else math.inf
            )
            if self.enforced:
                self._pass_day_over(close, desk)
            if close.day_over and self.actions:
                self._announce_actions(close, desk)
            if close.calls_begin and self.enforced:
                desk.calls_begin(close.calls_begin)
            if close.closing:
                desk.sessions_close(close.closing)
            if close.months_end:
                desk.months_end(close.months_end, close.timestamp, self._day_of(close))
            if close.ends_day is not None:
                desk.day_ends(close.timestamp, self.rules.next_trading_day(close.ends_day))
        return self.next_close

    def month_price(self, code: str, day: dt.date) -> Optional[float]:
        """The last price of explicit month `code` on `day`, where the run loaded it."""
        return self.month_prices.get((code, day.isoformat()))

    def _pass_day_over(self, close: SessionClose, desk: ClosingDesk) -> None:
        """Each code whose trading day ended takes its last price as its reference; one that
        moves on to the next month takes that month's (none known: its limits wait)."""
        for code in close.day_over:
            last = desk.last_price(code)
            if code in close.months_end and continuous_rank(code) is not None:
                day = self._day_of(close)
                following = self.rules.contract_month(code, self.rules.next_trading_day(day))
                last = self.month_price(month_code(code[:3], following), day) if following else None
                if last is None:
                    self.limits.pop(code, None)
                    continue
            if last is not None:
                self._set_reference(code, last)

    def _announce_actions(self, close: SessionClose, desk: ClosingDesk) -> None:
        """The codes whose trading day ended on the eve of an ex-date take the ex-date's
        reference price, and the desk is told of the action (`desk.corporate_action`)."""
        ex_date = self.rules.next_trading_day(self._day_of(close))
        for code in close.day_over:
            action = self.actions.get((code, ex_date))
            if action is None:
                continue
            last = desk.last_price(code)
            reference = None if last is None else action.ex_reference(last)
            if reference is not None and self.enforced:
                self._set_reference(code, reference)
            desk.corporate_action(action, reference, close.timestamp)

    def _actions_of_run(
        self, actions: Sequence[CorporateAction], days: Tuple[str, str]
    ) -> Dict[Tuple[str, dt.date], CorporateAction]:
        """The actions taking effect on a trading day of the run, by code and that day: one
        whose ex-date is no trading day takes effect on the next, with a notice.  One after
        the run's last day is left to a later run: its dividend is owed after the run."""
        first, last = (dt.date.fromisoformat(day) for day in days)
        found = by_trading_day(actions, self.rules.trading_calendar.first_from)
        for (code, day), action in found.items():
            if first <= day <= last and day.isoformat() != action.ex_date:
                log.warning(
                    "%s's corporate action of %s falls on no trading day: taken on %s",
                    code, action.ex_date, day,
                )
        return {key: action for key, action in found.items() if first <= key[1] <= last}

    def _day_of(self, close: SessionClose) -> dt.date:
        return self.rules.trading_day_of(close.timestamp - 1)

    def _set_reference(self, code: str, reference: float) -> None:
        lower, upper = self.rules.limit_prices(code, reference)
        if math.isinf(upper):  # a class without a daily limit
            return
        self.limits[code] = (lower, upper)


def expiring(orders: Collection[Dict[str, Any]], codes: Collection[str]) -> List[str]:
    """The trade ids of the orders of `codes` among order records that their session's close
    ends, in book order: every one.  A day (ROD) order expires; an IOC or FOK order entered at
    the session's last tick of its code has met no tick, and no later one of the session can
    meet it."""
    return [record["trade_id"] for record in orders if record["code"] in codes]
