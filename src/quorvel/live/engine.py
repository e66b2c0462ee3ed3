"""Run a strategy live: the broker's streaming ticks and order events through the backtest's road.

`run_live` subscribes the codes' ticks and bid/ask at the broker and hands the strategy the
same hooks in the same order as a backtest (`on_start`, `on_tick`, `on_bar`, `on_report` before
the next tick, `on_end`), with the same dicts (`quorvel.live.events` maps the broker's) and the
same `now`/`clock` (the latest tick's time).  Each tick goes down the backtest's own road of a
tick (`quorvel.backtest.engine.road`'s native `TickRoad`), with the broker's exchange in place
of the matcher: the road builds the bars, calls the hooks and samples the timeline, so the
result and its outputs are a backtest's.

The broker calls its callbacks on a thread of its own; they only put what they are given on a
queue, which the main thread takes with a timeout, so that Ctrl-C and SIGTERM are seen within
a moment however quiet the market is.
"""

from __future__ import annotations

import contextlib
import math
import queue
import signal
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, cast

from quorvel import market
from quorvel.backtest import core
from quorvel.backtest.account.account import Account
from quorvel.backtest.engine.backtest import resolve_codes
from quorvel.backtest.engine.bars import bar_seconds, session_spans
from quorvel.backtest.engine.desks import attached
from quorvel.backtest.engine.failures import stops_recorded
from quorvel.backtest.engine.road import hook_of
from quorvel.backtest.errors import BacktestError, OrderError
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.settings.run import RunSettings
from quorvel.backtest.strategy.base import Strategy
from quorvel.backtest.strategy.loading import StrategyArg, strategy_instance
from quorvel.interrupts import interrupting
from quorvel.live import broker, events
from quorvel.live.desk import LiveDesk
from quorvel.live.safety import Backoff, Caps
from quorvel.live.standin import StandInBroker

__all__ = ["LiveSession", "Snapshot", "run_live", "today"]

# The session events of the broker's quote connection ("Event Callback": the event codes of
# its message broker): down, and back after reconnecting.
SESSION_DOWN_EVENTS = frozenset({1, 2, 12})
SESSION_UP_EVENTS = frozenset({0, 13})
# How long the main thread waits for an event before it looks at the clock and the signals.
POLL_SECONDS = 0.2
# Why a session ended whose broker session could not be had back.
LOST = "the broker's session was lost"
# How long the end waits for the reports of the orders it cancelled.
CANCEL_WAIT_SECONDS = 10.0

Console = Callable[[str], None]


# What a session may be: the broker's simulation, trading for real, the stand-in.
SESSION_MODES = ("paper", "live", "demo")


@dataclass
class LiveSession:
    """How a live session goes beyond its `RunSettings`: where it is told (`console`, one
    line a call; `status`, the live status line, each time it changes), when it ends, and
    its session record.

    The session ends at `end_at` (broker seconds; None: the last close of the day's sessions
    of its codes) by the latest tick's time or by `clock` (broker seconds now; None: the
    exchange's wall clock), once `done` says the broker has nothing more to send (a stand-in's
    day played; None: never) and what it sent is taken, or on Ctrl-C.  `record` is a
    `quorvel.live.record.SessionRecord` (None: none is kept).  `reconnect` logs in again when
    the broker's session is lost (None: the broker's own reconnection is waited for).

    `mode` has no default: a broker object does not show whether it was made for the broker's
    simulation, so the caller says it.  "paper": the broker's own object made with
    ``simulation=True``; "live": trading for real, only through the account named `account`
    (every code's account must be it); "demo": the local stand-in only.
    `pump` plays the broker by hand (a stand-in's `step`):
    called on the main thread whenever nothing is waiting, so that a session runs
    deterministically, each tick taken before the next is played."""

    day: Optional[str] = None
    mode: Optional[str] = None
    account: Optional[str] = None
    console: Console = print
    status: Optional[Callable[["Snapshot"], None]] = None
    end_at: Optional[float] = None
    clock: Optional[Callable[[], float]] = None
    done: Optional[Callable[[], bool]] = None
    record: Any = None
    reconnect: Optional[Callable[[], None]] = None
    cancel_wait: float = CANCEL_WAIT_SECONDS
    pump: Optional[Callable[[], object]] = None


@dataclass
class Snapshot:
    """What the status line shows."""

    positions: Dict[str, int]
    working: int
    net_pnl: float
    tick_age: Optional[float]  # seconds since the latest tick came, None before the first
    session_up: bool
    ticks: int
    refused: int = 0
    stopped: Optional[str] = None


@dataclass
class _Inbox:
    """What the broker's thread hands the main thread, in the order it came."""

    events: "queue.Queue[Tuple[str, Any]]" = field(default_factory=queue.Queue)

    def put(self, kind: str, item: Any) -> None:
        self.events.put((kind, item))

    def take(self, timeout: float) -> Optional[Tuple[str, Any]]:
        try:
            return self.events.get(timeout=timeout)
        except queue.Empty:
            return None


class _Signals:
    """Ctrl-C, SIGTERM and SIGHUP never taken in the middle of the session's bookkeeping (a
    report taken from the broker but not yet given to the account, an order sent but not yet
    known as the strategy's, would be lost): while it is `held`, a signal is only noted, and
    when the hold ends the handler it would have met is called, which raises
    KeyboardInterrupt (the command's tells it which signal came).  Anywhere else, a strategy's
    hook included (where a stalled hook is interrupted), the handler is called at once, where
    no lock is left held (`quorvel.interrupts`).  A signal whose handler is not Python's
    (SIGTERM's default ends the process) is left as it is, and so is every signal off the main
    thread, where handlers cannot be set."""

    NAMES = ("SIGINT", "SIGTERM", "SIGHUP")

    def __init__(self) -> None:
        self.saved: Dict[int, Callable[[int, Any], Any]] = {}
        self.noted: Optional[int] = None
        self.holding = 0

    def __enter__(self) -> "_Signals":
        if threading.current_thread() is threading.main_thread():
            for name in self.NAMES:
                number: Optional[int] = getattr(signal, name, None)
                if number is None:
                    continue
                handler = signal.getsignal(number)
                if callable(handler):
                    self.saved[number] = handler
                    signal.signal(number, interrupting(self._note))
        return self

    def __exit__(self, *exc: object) -> None:
        for number, handler in self.saved.items():
            signal.signal(number, handler)
        self.saved = {}

    def _note(self, number: int, frame: Any) -> None:
        self.noted = number
        if not self.holding:
            self.act()

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        """A piece of bookkeeping that a signal waits for."""
        self.holding += 1
        try:
            yield
        finally:
            self.holding -= 1
        if not self.holding:
            self.act()

    def act(self) -> None:
        """The noted signal's own handler called, if one came."""
        number = self.noted
        if number is not None and number in self.saved:
            handler = self.saved[number]
            self.__exit__()
            handler(number, None)


def run_live(
    api: Any,
    codes: Sequence[str],
    strategy: StrategyArg,
    settings: Optional[RunSettings] = None,
    session: Optional[LiveSession] = None,
) -> BacktestResult:
    """Trade `strategy` on `codes` through `api`, a logged-in broker API object (the broker's
    own, in simulation or live, or a stand-in), until the session ends (`LiveSession`).

    Before the first hook, the broker's working orders (`update_status`, `list_trades`) and
    positions (`list_positions`) of the codes are read and given to the strategy as its own,
    so that a strategy started again finds what it had.  Orders are checked as a backtest
    checks them and against `settings.caps`; the daily loss cap stops the strategy.  Ctrl-C
    (and SIGTERM under the command) cancels the strategy's working orders, waits a bounded
    time for their reports and ends the session, `result.stopped` saying why.  A hook that
    raises ends it the same way, then raises `StrategyError`.
    """
    settings = settings or RunSettings()
    session = session or LiveSession()
    chosen = strategy_instance(strategy)
    instruments = resolve_codes(api, codes)
    _check_mode(api, instruments, session)
    day = session.day or today(settings.market)
    settings = settings.replace(period=(day, day), backfill=None)
    live = _Live(api, instruments, chosen, settings, session)
    return live.run()


def _check_mode(api: Any, instruments: Sequence[Dict[str, str]], session: LiveSession) -> None:
    """Refuse a session whose mode is not said, a live one without its account or trading a
    code through another account, and a demo on anything but the stand-in: before a call
    that could reach the market."""
    if session.mode not in SESSION_MODES:
        raise BacktestError(
            'say the session\'s mode: LiveSession(mode="paper") for the broker\'s object made '
            'with simulation=True, mode="live" with account= to trade for real, "demo" for '
            "the stand-in"
        )
    if session.mode == "demo" and not isinstance(api, StandInBroker):
        raise BacktestError("a demo session runs against the local stand-in (StandInBroker) only")
    if session.mode != "live":
        return
    if not session.account:
        raise BacktestError(
            "a live session trades for real only through the account named: "
            'LiveSession(mode="live", account=ACCOUNT_ID)'
        )
    for instrument in instruments:
        account = broker.account_for(api, instrument["market"])
        account_id = str(getattr(account, "account_id", ""))
        if account_id != session.account:
            raise BacktestError(
                f"{instrument['code']} would trade through account {account_id or 'none'}, not "
                f"{session.account}, the account named for this live session"
            )


def today(rules: market.MarketRules) -> str:
    """The exchange's trading day now."""
    return rules.trading_day_of(_exchange_now()).isoformat()


def _exchange_now() -> float:
    """Now on the broker's clock: the Taipei wall clock written as if it were UTC."""
    return time.time() + events.TAIPEI_OFFSET


class _Live:
    """One live session's parts and its loop."""

    def __init__(
        self,
        api: Any,
        instruments: List[Dict[str, str]],
        strategy: Strategy,
        settings: RunSettings,
        session: LiveSession,
    ) -> None:
        self.api, self.strategy, self.settings, self.session = api, strategy, settings, session
        self.codes = [entry["code"] for entry in instruments]
        self.markets = {entry["code"]: entry["market"] for entry in instruments}
        self.contracts = {code: _contract(api, code, kind) for code, kind in self.markets.items()}
        # The strategy's code of each code the broker names a contract by: a continuous futures
        # code (TXFR1) streams under its month's code.
        self.own_codes = {code: code for code in self.codes}
        self.own_codes.update({broker.text(c.code): code for code, c in self.contracts.items()})
        self.reports = events.LiveReports()
        result = BacktestResult(instruments, settings)
        result.strategy = type(strategy).__name__
        result.session_mode = session.mode
        result.parameters = strategy.parameter_values()
        result.positions = core.Positions()
        self.account = Account(result.contracts, settings, result.positions.last_prices)
        result.account = self.account
        self.result = result
        self.record = session.record
        self.clock = session.clock or _exchange_now
        # The order rate is counted on the session's clock: a stand-in's day played faster
        # meets the cap as the same day would in real time.
        self.caps = Caps(settings.caps, clock=self.clock)
        self.signals = _Signals()
        self.desk = LiveDesk(
            api,
            self.contracts,
            self.markets,
            strategy,
            result,
            self.account,
            settings.market_rules,
            self.caps,
            self._told,
            self.reports,
            self.signals.held,
        )
        self.inbox = _Inbox()
        self.backoff = Backoff(settings.broker_attempts, settings.broker_wait)
        self.ticks = 0
        self.last_tick_at: Optional[float] = None  # the local monotonic clock
        self.next_attempt: Optional[float] = None
        self.end_at = session.end_at if session.end_at is not None else self._last_close()

    # The broker's thread: only the queue.
    def _on_tick(self, exchange: Any, tick: Any) -> None:
        self.inbox.put("tick", tick)

    def _on_bidask(self, exchange: Any, bidask: Any) -> None:
        self.inbox.put("bidask", bidask)

    def _on_event(self, resp_code: int, event_code: int, info: str, event: str) -> None:
        self.inbox.put("event", (event_code, info, event))

    def _on_order(self, state: Any, message: Dict[str, Any]) -> None:
        self.inbox.put("order", (state, message))

    # The main thread.
    def run(self) -> BacktestResult:
        result, strategy = self.result, self.strategy
        self._listen()
        road = self._road()
        started = time.perf_counter()
        try:
            with stops_recorded(strategy, result, self.settings.stall_timeout):
                with attached(strategy, self.desk):
                    self._take_over()
                    strategy.on_start()
                    self.desk.deliver()
                    try:
                        with self.signals:
                            self._loop(road)
                    finally:
                        self._wind_down(road)
                    strategy.on_end()
                    self.desk.deliver()
        except KeyboardInterrupt:  # stopped, as result.stopped says: the result is the answer
            pass
        finally:
            result.live_ticks = road.live_ticks
            result.replay_seconds = time.perf_counter() - started
            self._unlisten()
        return result

    def _loop(self, road: Any) -> None:
        desk, session = self.desk, self.session
        pump = session.pump
        while not self._over():
            self.signals.act()
            taken = self.inbox.take(0 if pump else POLL_SECONDS)
            if taken is not None:
                self._handle(road, *taken)
            elif pump is not None:
                pump()
            self._keep_session()
            self._check_loss()
            if session.status is not None:
                session.status(self.snapshot())
        self.signals.act()  # one that came as the session ended
        desk.deliver()

    def _handle(self, road: Any, kind: str, item: Any) -> None:
        desk = self.desk
        if kind in ("tick", "bidask"):
            code = self.own_codes.get(broker.text(item.code))
            if code is None:
                return
            if kind == "tick":
                tick = events.tick_of(item, cast(events.Market, self.markets[code]), code)
                if tick is not None:
                    self._recorded(lambda record: record.tick(tick))
                    self.last_tick_at = time.monotonic()
                    self.ticks += 1
                    road.take(tick)
            else:
                quote = events.quote_of(item)
                if quote is not None:
                    self._recorded(lambda record: record.quote(code, quote))
                    desk.quotes[code] = quote
        elif kind == "order":
            state, message = item
            failed = events.failure_of(state, message)
            if failed is not None:
                self._say(failed)
            with self.signals.held():
                for report in self.reports.take(state, message):
                    self._recorded(lambda record: record.report(report))
                    desk.receive(dict(report))
            desk.deliver()
        else:
            self._session_event(*item)

    def _over(self) -> bool:
        if self.result.stopped == LOST:
            return True
        if not self.desk.session_up and self.next_attempt is not None:
            return False  # what the broker may still send is not known until it is back
        now = self.desk.now()
        if now is not None and now >= self.end_at:
            return True
        if self.clock() >= self.end_at and self.inbox.events.empty():
            return True
        done = self.session.done
        return done is not None and done() and self.inbox.events.empty()

    def _session_event(self, code: int, info: str, event: str) -> None:
        if code in SESSION_DOWN_EVENTS and self.desk.session_up:
            self.desk.session_up = False
            self._retry_later()
            self._say(f"broker session lost ({code} {event}); retrying with back-off")
        elif code in SESSION_UP_EVENTS and not self.desk.session_up:
            self._back_up(f"broker session back ({code} {event})")

    def _retry_later(self) -> None:
        wait = self.backoff.next_wait()
        self.next_attempt = None if wait is None else time.monotonic() + wait

    def _keep_session(self) -> None:
        """While the session is lost: log in again at each back-off's end, if the session can;
        once every attempt is spent, the strategy stops."""
        if self.desk.session_up or self.next_attempt is None:
            return
        if time.monotonic() < self.next_attempt:
            return
        reconnect = self.session.reconnect
        if reconnect is not None:
            try:
                reconnect()
            except Exception as error:
                self._say(f"reconnecting failed: {type(error).__name__}: {error}")
            else:
                self._back_up("broker session back (logged in again)")
                return
        self._retry_later()
        if self.next_attempt is None:
            self._say("broker session still lost after every attempt; the session ends")
            self.result.stopped = LOST

    def _back_up(self, said: str) -> None:
        """The session is back: subscribed again, and the orders' states read again, so that
        reports missed while it was down are not missed for good."""
        self.desk.session_up = True
        self.backoff.reset()
        self.next_attempt = None
        self._say(said)
        self._subscribe()
        self._resync()

    def _check_loss(self) -> None:
        if self.desk.stopped is not None:
            return
        prices = self.result.positions.last_prices
        net = sum(self.account.ledger.net_pnl(prices).values())
        why = self.caps.loss_breached(net)
        if why is not None:
            self._say(f"strategy stopped: {why}")
            self.desk.stop(why)

    def _wind_down(self, road: Any) -> None:
        """Cancel the working orders and wait (bounded) for their reports; close the bars and
        sample the end."""
        asked = self.desk.cancel_all() if self.desk.session_up else []
        if not self.desk.session_up and self.desk.records:
            self._say(
                f"{len(self.desk.records)} working orders left at the broker: its session is "
                "lost, so they could not be cancelled"
            )
        deadline = time.monotonic() + self.session.cancel_wait
        while any(trade_id in self.desk.records for trade_id in asked):
            if time.monotonic() >= deadline:
                self._say(
                    f"{len(self.desk.records)} cancelled orders unanswered after "
                    f"{self.session.cancel_wait:g} s"
                )
                break
            taken = self.inbox.take(0 if self.session.pump else POLL_SECONDS)
            if taken is not None and taken[0] == "order":
                self._handle(road, *taken)
            elif taken is None and self.session.pump is not None:
                self.session.pump()
        if asked:
            self._say(f"{len(asked)} working orders cancelled at the end")
        if self.session.status is not None:
            self.session.status(self.snapshot())
        road.close_bars()
        road.settle()

    def snapshot(self) -> Snapshot:
        result, desk = self.result, self.desk
        net = sum(self.account.ledger.net_pnl(result.positions.last_prices).values())
        age = None if self.last_tick_at is None else time.monotonic() - self.last_tick_at
        return Snapshot(
            {code: desk.position(code) for code in self.codes},
            len(desk.records),
            net,
            age,
            desk.session_up,
            self.ticks,
            self.caps.refused + result.refused_orders,
            desk.stopped,
        )

    # Setting up.
    def _listen(self) -> None:
        quote = self.api.quote
        quote.set_on_tick_stk_v1_callback(self._on_tick)
        quote.set_on_tick_fop_v1_callback(self._on_tick)
        quote.set_on_bidask_stk_v1_callback(self._on_bidask)
        quote.set_on_bidask_fop_v1_callback(self._on_bidask)
        quote.set_event_callback(self._on_event)
        self.api.set_order_callback(self._on_order)
        self._subscribe()

    def _subscribe(self) -> None:
        for contract in self.contracts.values():
            for kind in broker.quote_types():
                self.api.quote.subscribe(contract, quote_type=kind, version=broker.quote_version())

    def _unlisten(self) -> None:
        with contextlib.suppress(Exception):  # a lost session takes its subscriptions with it
            for contract in self.contracts.values():
                for kind in broker.quote_types():
                    self.api.quote.unsubscribe(
                        contract, quote_type=kind, version=broker.quote_version()
                    )

    def _take_over(self) -> None:
        """The broker's positions and working orders of the codes, the strategy's from now; a
        broker that cannot tell them ends the session before it starts, in one line."""
        try:
            trades, positions = self._brokers_state()
        except Exception as error:
            raise BacktestError(
                f"the broker's orders and positions could not be read: "
                f"{type(error).__name__}: {error}"
            ) from None
        for trade in trades:
            working = broker.working_of(trade, self.own_codes)
            if working is not None:
                _, record, filled = working
                self.desk.adopt(trade, record, filled)
        for held in positions:
            position = broker.position_of(held, self.own_codes)
            if position is not None and position[1]:
                self._hold(*position)
        adopted = len(self.desk.records)
        if adopted or any(self.desk.position(code) for code in self.codes):
            held = ", ".join(f"{c} {self.desk.position(c):+d}" for c in self.codes)
            self._say(f"taken over from the broker: {held}; {adopted} working orders")

    def _brokers_state(self) -> Tuple[List[Any], List[Any]]:
        """The broker's trades, their states brought up to date, and its positions."""
        for account in self._accounts():
            self.api.update_status(account)
        trades = list(self.api.list_trades())
        return trades, [held for a in self._accounts() for held in self.api.list_positions(a)]

    def _hold(self, code: str, lots: int, price: float) -> None:
        """A position the broker held at the start, taken in as bought (or sold) at its
        average price, so that the account and the position keeper know it."""
        deal = broker.opening_deal(code, self.markets[code], lots, price, self.clock())
        self.account.receive(deal)
        self.result.positions.set_positions(deal, self.markets[code])

    def _resync(self) -> None:
        """The orders' states after the session came back: what the broker says of each working
        order that the reports did not."""
        for account in self._accounts():
            with contextlib.suppress(Exception):
                self.api.update_status(account)

    def _accounts(self) -> List[Any]:
        kinds = set(self.markets.values())
        found = []
        if "Stock" in kinds and getattr(self.api, "stock_account", None) is not None:
            found.append(self.api.stock_account)
        if "Future" in kinds and getattr(self.api, "futopt_account", None) is not None:
            found.append(self.api.futopt_account)
        return found

    def _road(self) -> Any:
        settings, strategy, desk = self.settings, self.strategy, self.desk
        replay = core.replay()
        seconds = bar_seconds(strategy)
        calendar = settings.market
        no_reports: List[Any] = []
        return replay.TickRoad(
            set_current_tick=desk.set_current_tick,
            match_deal=lambda code, price, qty, timestamp: None,  # the broker's exchange matches
            reports=no_reports,
            take_reports=desk.deliver,
            owed=desk.owed,
            deliver=desk.deliver,
            current=desk.current,
            watched=set(),
            before_match=lambda tick: None,
            after_match=lambda tick: None,
            warm_up=None,
            on_tick=hook_of(strategy, "on_tick"),
            sample=self.result.sample,
            equity_every=settings.equity_every,
            trading_day_of=calendar.trading_day_of,
            day_rollover=calendar.day_rollover_seconds,
            pass_closes=lambda until: math.inf,
            bars=replay.BarBuilder(seconds, session_spans(calendar)) if seconds else None,
            on_bar=strategy.on_bar,
        )

    def _last_close(self) -> float:
        rules = self.settings.market
        day = self.settings.period[0]
        closes = [s.close_timestamp for code in self.codes for s in rules.sessions(code, day)]
        if not closes:
            raise BacktestError(f"{day} is not a trading day of {', '.join(self.codes)}")
        return max(closes)

    def _told(self, operation: str, payload: Dict[str, Any], answer: Dict[str, Any]) -> None:
        self._recorded(
            lambda record: record.operation(
                operation, payload, answer=answer.get("answer"), refusal=answer.get("refused")
            )
        )

    def _say(self, line: str) -> None:
        """A line on the console that the record keeps too."""
        self.session.console(line)
        self._recorded(lambda record: record.session_event(line))

    def _recorded(self, write: Callable[[Any], None]) -> None:
        if self.record is not None:
            write(self.record)


def _contract(api: Any, code: str, kind: str) -> Any:
    registry = api.Contracts.Stocks if kind == "Stock" else api.Contracts.Futures
    return registry[code]
