"""A local stand-in for the broker's API object, for tests and the demo: no account, no network.

`StandInBroker` offers the calls that the broker's simulation mode offers (login and logout,
the contracts, the accounts, quote subscriptions with their callbacks and session events,
place_order, update_order, cancel_order, update_status, list_trades, list_positions,
list_profit_loss, ticks, kbars and snapshots), written from the broker's published documents
(docs/live.md, "The stand-in broker") with the broker package's own classes for contracts,
accounts, orders and constants.  It plays one trading day of the offline broker's ticks
(`quorvel.sim.SimulatedBroker`) and answers orders with a simple exchange of its own
(`quorvel.live.standin_exchange`).  Nothing else is offered, so that code that runs against the
stand-in uses no call the simulation mode lacks.

    StandInBroker(day=None, *, codes=(), source=None, speed=1.0, start=None, pace=None,
                  refuse=None, limits=RATE_LIMITS, positions=None)

* ``day``: the trading day played, "YYYY-MM-DD"; the latest trading day up to today if None.
* ``codes``: codes whose market runs from the start (their orders fill even unsubscribed); a
  code subscribed or ordered later joins the market at the clock's time.
* ``source``: the offline broker whose ticks and contracts are played (a default one if None).
* ``speed``: how many times faster than real time the day plays, on a thread of the stand-in's
  own from the first subscription on, callbacks on that thread as the broker's SDK makes them.
  ``speed=None`` plays nothing by itself: a test calls `step()` to play ticks one at a time on
  its own thread, deterministically and without sleeping.
* ``start``: the market time ("HH:MM" or "HH:MM:SS") the play starts at; earlier ticks only
  shape the day's figures (open, high, low, volumes).
* ``pace``: called on the play thread before each tick, so that a test can hold the market
  until its side has taken the last events.
* ``refuse(contract, order)``: the reason to refuse an order (one line), or None to take it; a
  refused order answers as the broker answers a failed one (status Failed, its msg, and an
  order event whose op_code is not "00").
* ``limits``: the broker's published request rate limits (`RATE_LIMITS`), None for none; the
  stand-in counts them on its market clock, so that a day played faster is held to what the
  same day would meet in real time.
* ``positions``: code -> (signed quantity, average price) the account holds at the start
  (bought before the day: its `yd_quantity`); their markets run from the start.

Knobs for tests besides these: `step()`, `drop_session(seconds)` / `restore_session()`,
`finished` (an Event set when the day's ticks are all played), `now` (the market clock) and
`close()` (stops the play thread).  State lives on the object, so a `logout()` and a new
`login()` find the same working orders and positions, as a restart against the real broker
does; `list_trades()` holds the trades only after `update_status()`, as the broker's does.
"""

from __future__ import annotations

import bisect
import datetime as dt
import logging
import threading
import time
from collections import deque
from dataclasses import dataclass
from typing import (
    Any, Callable, Deque, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple,
)

import shioaji as sj

from quorvel.live.standin_exchange import (
    KBars,
    Market,
    StandInExchange,
    TapeTick,
    Trade,
    market_of,
    tape_ticks,
    text,
)
from quorvel.market import broker_nanoseconds, wall_clock
from quorvel.sim import SimContract, SimulatedBroker, Ticks

__all__ = ["RATE_LIMITS", "RateLimit", "RateLimitExceeded", "StandInBroker"]

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class RateLimit:
    """At most `calls` calls of a group of the API's calls in any `seconds` seconds."""

    calls: int
    seconds: float


# The broker's published request rate limits (docs/live.md gives the page): market data,
# accounting and orders, each group counted together; and the subscriptions one connection holds.
RATE_LIMITS: Mapping[str, RateLimit] = {
    "data": RateLimit(50, 10.0),
    "accounting": RateLimit(25, 5.0),
    "orders": RateLimit(250, 10.0),
}
MOST_SUBSCRIPTIONS = 200
# How long the broker suspends the service after its rate is exceeded.
SUSPENSION = dt.timedelta(minutes=1)

# The longest span kbars answers, in days, and a minute in the ticks' nanoseconds.
KBARS_MOST_DAYS = 30
MINUTE_NS = 60 * 10**9

# The session event codes (docs/live.md): the session is up, it went down and is being
# reconnected, it is back, and a subscription was taken.
SESSION_UP, SESSION_RECONNECTING, SESSION_RECONNECTED, SUBSCRIPTION_OK = 0, 12, 13, 16
_EVENT_TEXTS = {
    SESSION_UP: "Session up",
    SESSION_RECONNECTING: "Session reconnecting",
    SESSION_RECONNECTED: "Session reconnected",
    SUBSCRIPTION_OK: "Subscribe or Unsubscribe ok",
}
# The response code the documented subscription events carry.
RESPONSE_OK = 200

_QUOTE_TYPES = {"tick": "tick", "bidask": "bid_ask", "bid_ask": "bid_ask"}
# The callbacks a quote type of a market goes to.
_STREAM_CALLBACKS = {
    (True, "tick"): "tick_stk",
    (True, "bid_ask"): "bidask_stk",
    (False, "tick"): "tick_fop",
    (False, "bid_ask"): "bidask_fop",
}
# When the play thread looks again at the clock at the latest, so that close() is prompt.
_LONGEST_WAIT = 0.25

Delivery = Tuple[Callable[..., Any], Tuple[Any, ...]]


class RateLimitExceeded(sj.ShioajiError):
    """A call over the broker's published request rate: the service is suspended a minute.
    The broker's documents give no text for this answer; the message is the stand-in's own."""


class _Group:
    """The contracts of one exchange or product, by code and as attributes (``TSE2330``).
    Each is made on first use, since its day's prices take the day before's ticks."""

    def __init__(self, name: str, codes: Iterable[str], make: Callable[[str], Any],
                 prefixed: bool) -> None:
        self._made: Dict[str, Any] = {}
        self._make = make
        self._codes = {(name + code if prefixed else code): code for code in codes}

    def __getitem__(self, code: str) -> Any:
        if code not in self._codes.values():
            raise KeyError(code)
        if code not in self._made:
            self._made[code] = self._make(code)
        return self._made[code]

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_") or name not in self._codes:
            raise AttributeError(name)
        return self[self._codes[name]]

    def __iter__(self) -> Any:
        return iter([self[code] for code in self._codes.values()])

    def get(self, code: str, default: Any = None) -> Any:
        return self[code] if code in self._codes.values() else default


class _Category:
    """Stocks or futures: a code looked up across groups (None for an unknown one, as the
    broker's registry gives), or a group by name (``TSE``)."""

    def __init__(self, groups: Dict[str, _Group]) -> None:
        self._groups = groups

    def __getitem__(self, code: str) -> Any:
        return self.get(code)

    def get(self, code: str, default: Any = None) -> Any:
        return next((g[code] for g in self._groups.values() if g.get(code) is not None), default)

    def __getattr__(self, name: str) -> _Group:
        try:
            return self._groups[name]
        except KeyError:
            raise AttributeError(name) from None

    def __iter__(self) -> Any:
        return iter(self._groups.values())


class StandInContracts:
    """``api.Contracts``: ``Stocks`` and ``Futures``, and `get(code)` across both."""

    def __init__(self, stocks: _Category, futures: _Category) -> None:
        self.Stocks = self.stocks = stocks
        self.Futures = self.futures = futures

    def get(self, code: str, default: Any = None) -> Any:
        found = self.Stocks.get(code)
        return found if found is not None else self.Futures.get(code, default)


class _Quote:
    """``api.quote``: the quote calls of the broker's documents, answered by the broker."""

    _CALLS = frozenset({
        "subscribe", "unsubscribe", "set_event_callback", "set_on_tick_stk_v1_callback",
        "set_on_bidask_stk_v1_callback", "set_on_tick_fop_v1_callback",
        "set_on_bidask_fop_v1_callback",
    })

    def __init__(self, broker: "StandInBroker") -> None:
        self._broker = broker

    def __getattr__(self, name: str) -> Any:
        if name not in self._CALLS:
            raise AttributeError(name)
        return getattr(self._broker, name)


class StandInBroker:
    """A stand-in for the broker's API object (see the module's docstring for its knobs)."""

    Order = sj.Order  # ``api.Order(...)``, as the broker's documents build an order

    def __init__(
        self,
        day: Optional[str] = None,
        *,
        codes: Iterable[str] = (),
        source: Optional[SimulatedBroker] = None,
        speed: Optional[float] = 1.0,
        start: Optional[str] = None,
        pace: Optional[Callable[[], None]] = None,
        refuse: Optional[Callable[[Any, Any], Optional[str]]] = None,
        limits: Optional[Mapping[str, RateLimit]] = RATE_LIMITS,
        positions: Optional[Mapping[str, Tuple[int, float]]] = None,
    ) -> None:
        if speed is not None and not speed > 0:
            raise ValueError(f"speed must be above 0 (or None to step by hand), not {speed}")
        self.source = source or SimulatedBroker()
        rules = self.source.rules
        self.day = (
            dt.date.fromisoformat(day) if day
            else rules.previous_trading_days(dt.date.today() + dt.timedelta(days=1), 1)[0]
        )
        if not rules.is_trading_day(self.day):
            raise ValueError(f"{self.day} is not a trading day")
        self.speed = speed
        self.start = dt.time.fromisoformat(start) if start else None
        self.pace = pace
        self.limits = dict(limits or {})
        self.exchange = StandInExchange(self.day, rules, refuse)
        self.exchange.hold(positions or {})
        self.Contracts = self.contracts = self._registry()
        self.quote = _Quote(self)
        self.finished = threading.Event()
        self._cond = threading.Condition(threading.RLock())
        self._callbacks: Dict[str, Callable[..., Any]] = {}
        self._subscriptions: Dict[Tuple[str, str], Any] = {}
        self._outbox: Deque[Delivery] = deque()
        self._requests: Dict[str, Deque[dt.datetime]] = {group: deque() for group in self.limits}
        self._suspended: Dict[str, dt.datetime] = {}
        self._known: Dict[str, Trade] = {}
        self._accounts: List[Any] = []
        self._logged_in = self._session_up = self._closed = self._delivering = False
        self._dropped = False
        self._restore_at: Optional[dt.datetime] = None
        self._clock: Optional[Tuple[dt.datetime, float]] = None  # (market, wall) at the start
        self._last_moment = dt.datetime.min
        self._thread: Optional[threading.Thread] = None
        for code in (*codes, *(positions or {})):
            self._market(code)

    # The registry

    def _registry(self) -> StandInContracts:
        stocks: Dict[str, List[str]] = {}
        futures: Dict[str, List[str]] = {}
        for contract in self.source.contracts:
            groups = stocks if contract.security_type == "STK" else futures
            key = contract.exchange if contract.security_type == "STK" else contract.category
            groups.setdefault(key, []).append(contract.code)
        return StandInContracts(
            _Category({name: _Group(name, codes, self._contract, True)
                       for name, codes in stocks.items()}),
            _Category({name: _Group(name, codes, self._contract, False)
                       for name, codes in futures.items()}),
        )

    def _contract(self, code: str) -> Any:
        """The broker's contract of `code`, with the played day's prices."""
        contract = self._sim_contract(code)
        limit_down, limit_up, reference = self._day_prices(contract)
        common = dict(code=contract.code, name=contract.name, category=contract.category,
                      limit_up=limit_up, limit_down=limit_down, reference=reference,
                      update_date=f"{self.day:%Y/%m/%d}")
        if contract.security_type == "STK":
            return sj.Stock(exchange=contract.exchange, symbol=contract.exchange + contract.code,
                            currency=sj.Currency("TWD"), unit=contract.unit,
                            day_trade=sj.DayTrade("Yes"), **common)
        return sj.Future(exchange="TAIFEX", symbol=contract.code, unit=1,
                         delivery_month=f"{self.day:%Y%m}", **common)

    def _day_prices(self, contract: SimContract) -> Tuple[float, float, float]:
        """The day's (limit_down, limit_up, reference): the reference is the last price of
        the trading day before, taken on an ex-date by the exchange's formula, as the
        offline broker's ticks take it."""
        rules = self.source.rules
        previous = rules.previous_trading_days(self.day, 1)[0]
        closes = self.source.ticks(contract, previous.isoformat()).close
        reference = closes[-1] if closes else contract.reference
        action = next((a for a in self.source.corporate_actions
                       if a.code == contract.code and a.ex_date == self.day.isoformat()), None)
        if action is not None:
            reference = action.ex_reference(reference)
        lower, upper = rules.limit_prices(contract.code, reference)
        return lower, upper, reference

    def _market(self, code: str) -> Market:
        """The market of `code`, joined at the clock's time on first use."""
        market = self.exchange.markets.get(code)
        if market is not None:
            return market
        contract = self.Contracts.get(code)
        if contract is None:
            raise sj.ShioajiValueError(f"no contract {code!r}")
        ticks = list(tape_ticks(code, self.source.ticks(self._sim_contract(code),
                                                        self.day.isoformat())))
        market = market_of(contract, ticks)
        moments = [tick.moment for tick in ticks]
        start = self._market_time()
        if self.start is not None:
            start = max(start, dt.datetime.combine(self.day, self.start))
        while market.cursor < bisect.bisect_left(moments, start):
            market.take()
        self.exchange.markets[code] = market
        if market.next_tick() is not None:
            self.finished.clear()
        return market

    def _sim_contract(self, code: str) -> SimContract:
        contract = next((c for c in self.source.contracts if c.code == code), None)
        if contract is None:
            raise sj.ShioajiValueError(f"no contract {code!r}")
        return contract

    # Session

    def login(
        self, api_key: str = "", secret_key: str = "", *args: Any, **kwargs: Any
    ) -> List[Any]:
        """Log in (any key and secret do) and give the accounts: one stock, one futures.
        While a dropped session is down the broker cannot be reached: the connection error."""
        with self._cond:
            self._catch_up()
            if self._dropped:
                raise sj.ShioajiConnectionError("login: the broker cannot be reached")
            self._accounts = [
                sj.Account(account_type=sj.AccountType.Stock, person_id="STANDIN",
                           broker_id="9A95", account_id="0000001", signed=True,
                           username="stand-in"),
                sj.Account(account_type=sj.AccountType.Future, person_id="STANDIN",
                           broker_id="F002000", account_id="0000002", signed=True,
                           username="stand-in"),
            ]
            self._logged_in = self._session_up = True
            self._event(SESSION_UP, "host stand-in (local)")
        self._deliver_now()
        return list(self._accounts)

    def logout(self) -> None:
        """Log out: callbacks and subscriptions end; the market and the account go on."""
        with self._cond:
            self._logged_in = self._session_up = False
            self._subscriptions.clear()
            self._known.clear()
            self._outbox.clear()

    def list_accounts(self) -> List[Any]:
        return list(self._accounts)

    @property
    def stock_account(self) -> Optional[Any]:
        return self._accounts[0] if self._accounts else None

    @property
    def futopt_account(self) -> Optional[Any]:
        return self._accounts[1] if self._accounts else None

    def drop_session(self, seconds: Optional[float] = None) -> None:
        """Lose the session: the session-down callback and a reconnecting event come, then no
        tick and no order event until `restore_session()` (or `seconds` of market time later);
        calls, and logins, meanwhile raise the connection error.  Events of the gap are
        lost, as the broker's are; `update_status()` after the return shows what happened."""
        with self._cond:
            self._session_up, self._dropped = False, True
            self._outbox.clear()
            down = self._callbacks.get("session_down")
            if down is not None:
                self._outbox.append((down, ()))
            self._event(SESSION_RECONNECTING, "stand-in session lost")
            self._restore_at = self.now + dt.timedelta(seconds=seconds) if seconds else None
            self._cond.notify_all()
        self._deliver_now()

    def restore_session(self) -> None:
        with self._cond:
            self._restore()
        self._deliver_now()

    def _restore(self) -> None:
        self._restore_at, self._dropped = None, False
        if self._logged_in and not self._session_up:
            self._session_up = True
            self._event(SESSION_RECONNECTED, "stand-in session back")
            self._cond.notify_all()

    def _catch_up(self) -> None:
        """Bring a dropped session back once the clock has passed its return."""
        if self._restore_at is not None and self._market_time() >= self._restore_at:
            self._restore()

    def close(self) -> None:
        """Stop the play thread (bounded wait)."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout=5)

    def _check_session(self, call: str) -> None:
        """The answer to a call without a session.  The broker's documents give no text for
        it: the messages are the stand-in's own."""
        self._catch_up()
        if not self._logged_in:
            raise sj.ShioajiError(f"{call}: not logged in")
        if not self._session_up:
            raise sj.ShioajiConnectionError(f"{call}: the session is down, reconnecting")

    def _count(self, group: str, call: str) -> None:
        """Count a call against its group's rate limit, refusing it over the limit."""
        limit = self.limits.get(group)
        if limit is None:
            return
        now = self.now
        until = self._suspended.get(group)
        if until is not None and now < until:
            raise RateLimitExceeded(f"{call}: service suspended until {until:%H:%M:%S}")
        calls = self._requests[group]
        while calls and (now - calls[0]).total_seconds() >= limit.seconds:
            calls.popleft()
        if len(calls) >= limit.calls:
            self._suspended[group] = now + SUSPENSION
            raise RateLimitExceeded(
                f"{call}: more than {limit.calls} {group} calls in {limit.seconds:g} s; "
                f"service suspended for {SUSPENSION.seconds} s"
            )
        calls.append(now)

    # Callbacks

    def _set(self, name: str, callback: Callable[..., Any], bind: bool = False) -> None:
        if bind:
            raise sj.ShioajiValueError("the stand-in binds no context to callbacks")
        with self._cond:
            self._callbacks[name] = callback

    def set_on_tick_stk_v1_callback(self, callback: Callable[..., Any], bind: bool = False) -> None:
        self._set("tick_stk", callback, bind)

    def set_on_bidask_stk_v1_callback(
        self, callback: Callable[..., Any], bind: bool = False
    ) -> None:
        self._set("bidask_stk", callback, bind)

    def set_on_tick_fop_v1_callback(self, callback: Callable[..., Any], bind: bool = False) -> None:
        self._set("tick_fop", callback, bind)

    def set_on_bidask_fop_v1_callback(
        self, callback: Callable[..., Any], bind: bool = False
    ) -> None:
        self._set("bidask_fop", callback, bind)

    def set_order_callback(self, callback: Callable[[Any, Any], Any]) -> None:
        self._set("order", callback)

    def set_event_callback(self, callback: Callable[[int, int, str, str], Any]) -> None:
        self._set("event", callback)

    def set_session_down_callback(self, callback: Callable[[], Any]) -> None:
        self._set("session_down", callback)

    def _event(self, code: int, info: str) -> None:
        callback = self._callbacks.get("event")
        if callback is not None:
            resp = RESPONSE_OK if code == SUBSCRIPTION_OK else 0
            self._outbox.append((callback, (resp, code, info, _EVENT_TEXTS[code])))
            self._cond.notify_all()

    def _send(self, name: str, *args: Any) -> None:
        """Queue a callback of the session (lost while the session is down)."""
        callback = self._callbacks.get(name)
        if callback is not None and self._session_up:
            self._outbox.append((callback, args))
            self._cond.notify_all()

    def _deliver(self, deliveries: Iterable[Delivery]) -> None:
        for callback, args in deliveries:
            try:
                callback(*args)
            except Exception:  # the SDK's thread logs a failing callback and goes on
                log.exception("stand-in callback %r failed", callback)

    def _deliver_now(self) -> None:
        """Hand out the queued callbacks on this thread when no play thread does; a callback
        that calls the API meanwhile queues its answers behind the ones being handed out."""
        with self._cond:
            if self._thread is not None or self._delivering:
                return
            self._delivering = True
        try:
            while True:
                with self._cond:
                    deliveries = list(self._outbox)
                    self._outbox.clear()
                    if not deliveries:
                        return
                self._deliver(deliveries)
        finally:
            with self._cond:
                self._delivering = False

    # Quotes

    def subscribe(self, contract: Any, quote_type: Any = "tick", intraday_odd: bool = False,
                  version: Any = None, **kwargs: Any) -> None:
        kind = _QUOTE_TYPES.get(text(quote_type).lower())
        if kind is None or intraday_odd:
            raise sj.SubscribeError(
                f"the stand-in streams the common lots' ticks and bid/ask, not {quote_type}"
                + (" of intraday odd lots" if intraday_odd else "")
            )
        with self._cond:
            self._check_session("subscribe")
            market = self._market(contract.code)
            if len(self._subscriptions) >= MOST_SUBSCRIPTIONS:
                raise sj.SubscribeError(f"more than {MOST_SUBSCRIPTIONS} subscriptions")
            self._subscriptions[(market.code, kind)] = _STREAM_CALLBACKS[(market.is_stock, kind)]
            self._event(SUBSCRIPTION_OK, _topic(market, kind))
            self._start_clock()
        self._deliver_now()

    def unsubscribe(self, contract: Any, quote_type: Any = "tick", intraday_odd: bool = False,
                    version: Any = None, **kwargs: Any) -> None:
        kind = _QUOTE_TYPES.get(text(quote_type).lower(), "")
        with self._cond:
            self._check_session("unsubscribe")
            if self._subscriptions.pop((contract.code, kind), None) is not None:
                self._event(SUBSCRIPTION_OK, _topic(self._market(contract.code), kind))
        self._deliver_now()

    # The market clock

    @property
    def now(self) -> dt.datetime:
        """The market's wall-clock time: real time times `speed` since the play began, or
        the last tick's time when stepping by hand; before any tick, the `start` time, or
        just before the first tick without one."""
        with self._cond:
            moment = self._market_time()
            if moment != dt.datetime.min:
                return moment
            if self.start is not None:
                return dt.datetime.combine(self.day, self.start)
            upcoming = self._next()
            if upcoming is None:
                return dt.datetime.combine(self.day, dt.time())
            return upcoming[1].moment - dt.timedelta(microseconds=1)

    def _market_time(self) -> dt.datetime:
        """The clock, or the earliest time (`datetime.min`) before any tick."""
        if self._clock is None or self.speed is None:
            return self._last_moment
        market_start, wall_start = self._clock
        elapsed = (time.monotonic() - wall_start) * self.speed
        return max(market_start + dt.timedelta(seconds=elapsed), self._last_moment)

    def _start_clock(self) -> None:
        if self._clock is not None or self.speed is None:
            return
        first = self._next()
        self._clock = (first[1].moment if first else self._last_moment, time.monotonic())
        self._thread = threading.Thread(target=self._play, name="stand-in broker", daemon=True)
        self._thread.start()

    def _next(self) -> Optional[Tuple[Market, TapeTick]]:
        """The market whose next tick comes first, and that tick."""
        pending = [(tick, market) for market in self.exchange.markets.values()
                   for tick in (market.next_tick(),) if tick is not None]
        if not pending:
            return None
        tick, market = min(pending, key=lambda entry: entry[0].moment)
        return market, tick

    def _advance(self, market: Market) -> None:
        """Play the next tick of `market`: the exchange trades on it, then its streaming
        tick and bid/ask go to the subscribers."""
        tick = market.take()
        self._last_moment = tick.moment
        self._catch_up()
        for state, msg in self.exchange.trade_on(market, tick):
            self._send("order", state, msg)
        self._stream(market, tick)

    def _stream(self, market: Market, tick: TapeTick) -> None:
        exchange = market.contract.exchange
        for kind, build in (("tick", market.streaming_tick),
                            ("bid_ask", lambda t: market.streaming_bidask(t, self.source.rules))):
            name = self._subscriptions.get((market.code, kind))
            if name is not None:
                self._send(name, exchange, build(tick))

    def step(self, ticks: int = 1) -> int:
        """Play the next `ticks` ticks on this thread (``speed=None`` only), handing out
        their callbacks before each next one; the number played."""
        if self.speed is not None:
            raise RuntimeError("step() plays a stand-in made with speed=None")
        played = 0
        self._deliver_now()
        while played < ticks:
            with self._cond:
                upcoming = self._next()
                if upcoming is None:
                    self.finished.set()
                    break
                self._advance(upcoming[0])
            played += 1
            self._deliver_now()
        return played

    def _play(self) -> None:
        """The play thread: queued callbacks at once; `pace` once before each tick; each
        tick when the clock reaches it."""
        paced = False
        while True:
            with self._cond:
                if self._closed:
                    return
                deliveries = list(self._outbox)
                self._outbox.clear()
            if deliveries:
                self._deliver(deliveries)
                continue
            if self.pace is not None and not paced:
                self.pace()
                paced = True
                continue
            with self._cond:
                self._catch_up()
                upcoming = self._next()
                if self._closed or self._outbox:
                    continue
                if upcoming is None:
                    self.finished.set()
                    self._cond.wait(_LONGEST_WAIT)
                    continue
                wait = self._wall_wait(upcoming[1].moment)
                if wait > 0:
                    self._cond.wait(min(wait, _LONGEST_WAIT))
                    continue
                self._advance(upcoming[0])
                paced = False

    def _wall_wait(self, moment: dt.datetime) -> float:
        assert self._clock is not None and self.speed is not None
        market_start, wall_start = self._clock
        due = wall_start + (moment - market_start).total_seconds() / self.speed
        return due - time.monotonic()

    # Orders

    def place_order(self, contract: Any, order: Any, timeout: Optional[int] = 30000,
                    cb: Optional[Callable[[Any], Any]] = None) -> Trade:
        with self._cond:
            self._check_session("place_order")
            self._count("orders", "place_order")
            market = self._market(contract.code)
            account = order.account or (self.stock_account if market.is_stock
                                        else self.futopt_account)
            trade, events = self.exchange.place(market, order, account, self.now)
            self._known[trade.order.id] = trade
            self._answer(events, cb, trade)
        self._deliver_now()
        return trade

    def update_order(self, trade: Any, price: Optional[float] = None, qty: Optional[int] = None,
                     timeout: Optional[int] = 30000,
                     cb: Optional[Callable[[Any], Any]] = None) -> Trade:
        """A new price, or `qty` lots or contracts taken off the order (it only shrinks)."""
        if (price is None) == (qty is None):
            raise sj.ShioajiValueError("update_order takes a price or a qty")
        with self._cond:
            self._check_session("update_order")
            self._count("orders", "update_order")
            self._answer(self.exchange.update(trade, price, qty, self.now), cb, trade)
        self._deliver_now()
        return trade

    def cancel_order(self, trade: Any, timeout: Optional[int] = 30000,
                     cb: Optional[Callable[[Any], Any]] = None) -> Trade:
        with self._cond:
            self._check_session("cancel_order")
            self._count("orders", "cancel_order")
            self._answer(self.exchange.cancel(trade, self.now), cb, trade)
        self._deliver_now()
        return trade

    def _answer(self, events: Iterable[Tuple[Any, Any]], cb: Optional[Callable[[Any], Any]],
                trade: Trade) -> None:
        for state, msg in events:
            self._send("order", state, msg)
        if cb is not None:
            self._outbox.append((cb, (trade,)))

    def update_status(self, account: Optional[Any] = None, *, trade: Optional[Any] = None,
                      timeout: Optional[int] = 30000,
                      cb: Optional[Callable[[List[Any]], Any]] = None) -> None:
        """Fetch the day's trades of `account` (all accounts if None) into `list_trades()`."""
        with self._cond:
            self._check_session("update_status")
            self._count("orders", "update_status")
            fetched = [t for t in self.exchange.trades
                       if (trade is None or t.order.id == trade.order.id)
                       and (account is None or t.order.account.account_id == account.account_id)]
            self._known.update((t.order.id, t) for t in fetched)
            if cb is not None:
                self._outbox.append((cb, (fetched,)))
        self._deliver_now()

    def list_trades(self) -> List[Trade]:
        with self._cond:
            return list(self._known.values())

    # Market data

    def ticks(self, contract: Any, date: Optional[str] = None, query_type: Any = None,
              time_start: Any = None, time_end: Any = None, last_cnt: Optional[int] = None,
              timeout: Optional[int] = 30000, cb: Optional[Callable[[Any], Any]] = None) -> Ticks:
        """A day's ticks of `contract` (the played day's up to the clock): all of them, those
        from `time_start` to `time_end` ("RangeTime") or the last `last_cnt` ("LastCount")."""
        with self._cond:
            self._check_session("ticks")
            self._count("data", "ticks")
            day = self._day_ticks(contract.code, date or self.day.isoformat())
        kept: Sequence[int] = range(len(day.ts))
        query = text(query_type or sj.TicksQueryType.AllDay)
        if query == "RangeTime":
            first, last = _clock_time(time_start or "00:00"), _clock_time(time_end or "23:59:59")
            kept = [index for index, ts in enumerate(day.ts)
                    if first <= wall_clock(ts / 1e9).time() <= last]
        elif query == "LastCount":
            kept = kept[max(len(kept) - int(last_cnt or 0), 0):]
        return Ticks(*([day[key][i] for i in kept] for key in day))

    def kbars(self, contract: Any, start: Optional[str] = None, end: Optional[str] = None,
              timeout: Optional[int] = 30000, cb: Optional[Callable[[Any], Any]] = None) -> KBars:
        """Minute bars of `contract` over the trading days from `start` to `end` (the played
        day and the one before it if not given), up to the clock on the played day."""
        rules = self.source.rules
        first = (dt.date.fromisoformat(start) if start
                 else rules.previous_trading_days(self.day, 1)[0])
        last = dt.date.fromisoformat(end) if end else self.day
        if (last - first).days > KBARS_MOST_DAYS:
            raise sj.ShioajiValueError(f"kbars spans at most {KBARS_MOST_DAYS} days")
        with self._cond:
            self._check_session("kbars")
            self._count("data", "kbars")
            days = [self._day_ticks(contract.code, day.isoformat())
                    for day in rules.trading_days(first, last)]
        size = int(self.Contracts.get(contract.code).unit)  # the shares of a lot, or 1
        bars = KBars()
        for day in days:
            for ts, price, volume in zip(day.ts, day.close, day.volume):
                minute_end = -(-ts // MINUTE_NS) * MINUTE_NS
                bars.add(minute_end, price, volume, price * volume * size)
        return bars

    def snapshots(self, contracts: List[Any], timeout: Optional[int] = 30000,
                  cb: Optional[Callable[[Any], Any]] = None) -> List[Any]:
        """Each contract's state at the clock."""
        with self._cond:
            self._check_session("snapshots")
            self._count("data", "snapshots")
            now = self.now
            return [self._market(contract.code).snapshot(now) for contract in contracts]

    def _day_ticks(self, code: str, date: str) -> Ticks:
        """A day of the offline broker's ticks of `code`; the played day's up to the clock."""
        sim_contract = self._sim_contract(code)
        day = self.source.ticks(sim_contract, date)
        if dt.date.fromisoformat(date) < self.day:
            return day
        if dt.date.fromisoformat(date) > self.day:
            return Ticks([], [], [], [], [], [], [], [])
        played = bisect.bisect_right(day.ts, broker_nanoseconds(self.now))
        return Ticks(*(day[key][:played] for key in day))

    # Accounting

    def list_positions(self, account: Optional[Any] = None, unit: Any = None,
                       timeout: Optional[int] = 30000,
                       cb: Optional[Callable[[List[Any]], Any]] = None) -> List[Any]:
        """The open positions of `account` (the stock account if None)."""
        with self._cond:
            self._check_session("list_positions")
            self._count("accounting", "list_positions")
            return self.exchange.positions(stocks=self._is_stock_account(account))

    def list_profit_loss(self, account: Optional[Any] = None, begin_date: str = "",
                         end_date: str = "", unit: Any = None, timeout: Optional[int] = 30000,
                         cb: Optional[Callable[[List[Any]], Any]] = None) -> List[Any]:
        """The day's closing fills of `account` (the stock account if None), gross of costs."""
        with self._cond:
            self._check_session("list_profit_loss")
            self._count("accounting", "list_profit_loss")
            stocks = self._is_stock_account(account)
            kind = "StockProfitLoss" if stocks else "FutureProfitLoss"
            return [entry for entry in self.exchange.profit_loss
                    if type(entry).__name__ == kind]

    def _is_stock_account(self, account: Optional[Any]) -> bool:
        return account is None or text(account.account_type) == text(sj.AccountType.Stock)


def _topic(market: Market, kind: str) -> str:
    """The topic a subscription event names, as the broker's documented examples write it."""
    feed = "TIC" if kind == "tick" else "QUO"
    if market.is_stock:
        return f"{feed}/v1/STK/*/{text(market.contract.exchange)}/{market.code}"
    return f"{feed}/v1/FOP/*/TFE/{market.code}"


def _clock_time(value: Any) -> dt.time:
    return value if isinstance(value, dt.time) else dt.time.fromisoformat(str(value))
