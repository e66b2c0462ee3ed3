"""The strategy's order desks: its operations checked, sent, carried out and their reports owed.

`DirectDesk` calls the matcher's order methods on the driver's thread (the
replay engine); `QueuedDesk` posts to the matcher's intake thread and waits
for the reports (the paced engine).

An operation the strategy makes while reacting to a tick reaches the exchange
the run's latency later: until then it is in flight (`Desk.due` carries out
those that have arrived, before the first tick after their arrival, in time
order with the sessions' closes).  An order gets its trade id when it is sent,
drawn from the matcher's own generator and given to it on arrival, so that the
strategy holds it at once and the account holds its money from then on.  Under
a queue fill model (`quorvel.backtest.engine.fills`) an order that has reached
the exchange is handed to the model, which fills it against the standing quote
or places it in the queue.
"""

from __future__ import annotations

import collections
import contextlib
import datetime as dt
import math
from dataclasses import dataclass
from typing import Any, Collection, Deque, Dict, Iterator, List, Optional, Tuple, Union, cast

from quorvel.backtest import core
from quorvel.backtest.account.account import Account, exchange_time_text
from quorvel.backtest.account.ledger import DIVIDEND, ROLL, SHARES, HoldingEvent
from quorvel.backtest.engine.lifecycle import Watchdog
from quorvel.backtest.engine.market_rules import TradingRules, expiring
from quorvel.backtest.engine.quotes import Quotes
from quorvel.backtest.errors import BacktestError, OrderError
from quorvel.backtest.messages import DealReport, MarginCall, OrderReport, Quote
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.strategy.base import OrderDesk, Strategy
from quorvel.constant import Action, OrderType
from quorvel.market.actions import CorporateAction
from quorvel.market.months import continuous_rank, month_code
from quorvel.market.steps import MAX_PRICE, as_price, format_price

_ORDER_TYPES = frozenset(member.value for member in OrderType)
Report = Union[OrderReport, DealReport]


@dataclass
class _InFlight:
    """An order operation on its way to the exchange."""

    arrival: float  # exchange seconds
    action: str  # "add", "modify" or "cancel"
    payload: Dict[str, Any]
    reports: int  # the reports it yields when carried out (an add: its New report)
    trade_id: str  # the order's


class Desk(OrderDesk):
    """The strategy's side of a run: its operations checked and carried out, its reports owed.

    An operation the exchange would refuse (under the run's market rules too:
    a limit price off the step or beyond the day's limits), or the account
    could not carry, is refused here with `OrderError` before anything is
    sent, so that every operation sent yields the number of reports known in
    advance (one, or two for a modification of both quantity and price).
    Every report reaches the account before the strategy.  Subclasses say
    how an operation reaches the matcher.
    """

    def __init__(
        self,
        matcher: Any,
        markets: Dict[str, str],
        strategy: Strategy,
        result: BacktestResult,
        account: Account,
        rules: TradingRules,
        fills: Any = None,
        latency: float = 0.0,
    ) -> None:
        self.matcher = matcher
        self.markets = markets
        self.strategy = strategy
        self.result = result
        self.account = account
        self.rules = rules
        self.fills = fills  # the queue fill model's QueueFills, None for the matcher's own matching
        self.latency = latency  # seconds from an operation to the exchange
        self.responses = matcher.response_queue
        self.owed: Deque[Report] = collections.deque()
        self.current: List[Optional[Dict[str, Any]]] = [None]  # the tick being replayed
        self.quotes = Quotes(markets)  # the engine moves its cursor
        self.in_flight: Deque[_InFlight] = collections.deque()  # by arrival
        self.road: Any = None  # the run's road of a tick, told when an operation will arrive
        self.carrying: Dict[str, int] = {}  # positions carried over a roll, until the next tick

    def place(
        self, code: str, action: str, qty: int, price: Optional[float], order_type: Optional[str]
    ) -> str:
        if code not in self.markets:
            raise OrderError(f"unknown code {code!r}: this run trades {', '.join(self.markets)}")
        check_quantity(qty)
        if price is None:  # at the market; the record carries the last price
            price_type, order_type = "MKT", order_type or "IOC"
            price = self.last_price(code) or 0.0
        else:
            price_type, order_type = "LMT", order_type or "ROD"
            price = self._limit_price(code, price)
        if order_type not in _ORDER_TYPES:
            raise OrderError(f"order_type must be one of ROD, IOC, FOK, not {order_type!r}")
        arrival = self._arrival()
        self._check_call(code, price_type, order_type, arrival)
        hold = self.account.hold(code, action, qty, price)
        payload = self._order(code, action, qty, price, price_type, order_type)
        # The account holds the order's money before it reaches the exchange, where a queue
        # fill model may fill it at once.
        trade_id = core.fills().draw_trade_id(self.matcher)
        self.account.reserve(trade_id, hold)
        self._send(_InFlight(arrival, "add", payload, 1, trade_id))
        return trade_id

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> None:
        code, lots = self._working_order(trade_id)
        if qty is None and price is None:
            raise OrderError(f"modify {trade_id}: give the quantity to take off, a price, or both")
        if qty is not None:
            check_quantity(qty)
            if qty > lots:  # all of it takes the order out of the book
                raise OrderError(f"modify {trade_id}: cannot take {qty} off an order of {lots}")
        if price is not None:
            price = self._limit_price(code, price)
            self.account.check_reprice(trade_id, price, qty or 0)
        payload = {"trade_id": trade_id, "qty": qty, "price": price}
        self._send(_InFlight(self._arrival(), "modify", payload, (qty is not None) + (price is not None), trade_id))

    def cancel(self, trade_id: str) -> None:
        self._working_order(trade_id)
        self._send(_InFlight(self._arrival(), "cancel", {"trade_id": trade_id}, 1, trade_id))

    def position(self, code: str) -> int:
        held = self.matcher.positions.positions.get(code)
        return held.quantity if held is not None else 0

    def working_orders(self, code: Optional[str]) -> List[Dict[str, Any]]:
        return [
            dict(record) for record in self._working() if code is None or record["code"] == code
        ]

    def last_price(self, code: str) -> Optional[float]:
        return self.matcher.positions.last_prices.get(code)

    def quote(self, code: str) -> Optional[Quote]:
        if code not in self.markets:
            raise ValueError(f"unknown code {code!r}: this run trades {', '.join(self.markets)}")
        return self.quotes.latest(code)

    def now(self) -> Optional[float]:
        tick = self.current[0]
        return None if tick is None else tick["timestamp"]

    def tick_size(self, code: str, price: float) -> float:
        return self.rules.tick_size(code, price)

    def limit_prices(self, code: str) -> Optional[Tuple[float, float]]:
        return self.rules.limit_prices(code)

    def due(self, until: float) -> float:
        """What is due before `until` (a tick's timestamp), in time order: the operations that
        reach the exchange and the sessions' closes.  Returns when the next is due."""
        while self.in_flight and self.in_flight[0].arrival < until:
            flight = self.in_flight.popleft()
            self.rules.pass_closes(flight.arrival, self)
            if flight.arrival == -math.inf:  # sent before the first tick: it arrives with it
                flight.arrival = until
            self._arrive(flight)
            self.deliver()
        next_close = self.rules.pass_closes(until, self)
        return min(next_close, self.in_flight[0].arrival if self.in_flight else math.inf)

    def sessions_close(self, codes: Collection[str]) -> None:
        """The sessions of `codes` closed: under market rules their orders still in the book are
        cancelled, as the exchange does, and the strategy given the reports; their day trades
        are held on."""
        for trade_id in expiring(self.matcher.pending_orders, codes) if self.rules.enforced else ():
            self.operate("cancel", {"trade_id": trade_id}, 1)
        self.account.session_closed(codes)
        self.deliver()

    def months_end(self, codes: Collection[str], timestamp: float, day: dt.date) -> None:
        """The futures months of `codes` traded no more after trading day `day`: each position
        held in a month that ends (an explicit month on its last trading day, a continuous
        code's nearest month on the day before, its ticks of the last day being the next
        month's) is settled at the month's final settlement price (the run's table), else at its
        last trade price; a continuous code's position in a month still to end (an R2 code's)
        is closed at its last trade of the day.  With roll "carry" a continuous code's
        position opens again at its next tick."""
        rules = self.rules.rules
        settings = self.result.settings
        next_day = rules.next_trading_day(day)
        for code in codes:
            lots = self.account.lots_held(code)
            month = rules.contract_month(code, day)
            if not lots or month is None:
                continue
            key = f"{code[:3]}{month}"
            ended = rules.last_trading_day(month)
            settles = ended <= next_day
            price, source = settings.settlement_prices.get(key), "final settlement"
            if not settles:
                price, source = self.last_price(code), "last trade"
            elif price is None:
                source = "last trade"
                price = self.rules.month_price(month_code(code[:3], month), ended)
                price = price or self.last_price(code)
                if key not in self.result.settled_at_last_trade:
                    self.result.settled_at_last_trade.append(key)
            assert price is not None  # a position comes of a fill, at a tick of the code
            entry = HoldingEvent(code, timestamp, price, lots)
            valued = self.account.enter_event(entry, len(self.result.timeline))
            self._keep_position(code, valued.action, abs(lots), price)
            carried = settings.roll == "carry" and continuous_rank(code) is not None
            following = rules.contract_month(code, next_day)
            if carried:
                self.carrying[code] = lots
                self.account.watched.add(code)
            self.result.warnings.append(
                f"{exchange_time_text(timestamp)} {code}: {_contracts(lots)} of {month} "
                f"{'settled' if settles else 'closed'} at {format_price(as_price(price))} "
                f"({source} price)"
                + (f", carried into {following} at the next tick" if carried else "")
            )
            self.strategy.on_settlement(
                {
                    "timestamp": timestamp,
                    "code": code,
                    "month": month,
                    "quantity": lots,
                    "price": price,
                    "price_source": source,  # type: ignore[typeddict-item]
                    "realized_pnl": valued.realized,
                    "tax": valued.tax,
                    "carried_to": following if carried else None,
                }
            )
        self.deliver()

    def day_ends(self, timestamp: float, next_day: dt.date) -> None:
        """The trading day's settlement: the account takes the next day's margins, and as a
        broker runs them, may make a margin call due by the next day's deadline."""
        call = self.account.day_settled(timestamp, next_day)
        if call is not None:
            self._margin_called(call)

    def corporate_action(
        self, action: CorporateAction, reference: Optional[float], timestamp: float
    ) -> None:
        """A stock's ex-date comes next: the shares held at this close are paid its cash
        dividend on its payment date (a short owes it) and become the shares of its stock
        dividend or reduction; the strategy is told."""
        code = action.code
        if code not in self.markets:
            return
        shares = self.account.holdings[code].shares
        dividend, new_shares = 0.0, 0
        samples = len(self.result.timeline)
        if shares and action.cash_dividend:
            entry = HoldingEvent(code, timestamp, action.cash_dividend, shares, DIVIDEND)
            paid_on = dt.date.fromisoformat(action.paid_on)
            dividend = self.account.enter_event(entry, samples, paid_on).value
        if shares and action.share_factor != 1:
            entry = HoldingEvent(code, timestamp, action.share_factor, shares, SHARES)
            self.account.enter_event(entry, samples)
            new_shares = self.account.holdings[code].shares - shares
            self._keep_stock_position(code)
        if shares:
            what = [f"{dividend:,.0f} NTD paid on {action.paid_on}"] if dividend else []
            what += [f"{new_shares:+,} shares"] if new_shares else []
            self.result.warnings.append(
                f"{exchange_time_text(timestamp)} {code}: ex-date {action.ex_date} for "
                f"{shares:,} shares held: {', '.join(what) or 'nothing changes'}"
            )
        self.strategy.on_corporate_action(
            {
                "code": code,
                "ex_date": action.ex_date,
                "cash_dividend": action.cash_dividend,
                "stock_dividend": action.stock_dividend,
                "capital_reduction": action.capital_reduction,
                "payment_date": action.paid_on,
                "reference_price": reference,
                "shares_held": shares,
                "dividend": dividend,
                "new_shares": new_shares,
            }
        )
        self.deliver()

    def calls_begin(self, codes: Collection[str]) -> None:
        """The closing call of `codes` begins: their resting orders take part in its trade."""
        if self.fills is not None:
            for code in codes:
                self.fills.call_begins(code)

    def operate(self, action: str, payload: Dict[str, Any], reports: int) -> List[Dict[str, Any]]:
        """Carry out one operation and return its reports, which are recorded and owed."""
        self.result.operations.append((action, payload))
        taken = self._carry_out(action, payload, reports)
        for report in taken:
            self._receive(report)
        return taken

    def take_reports(self) -> None:
        """Take the reports that matching queued, then give the strategy all it is owed."""
        while not self.responses.empty():
            self._receive(self._pop())
        self.deliver()

    def deliver(self) -> None:
        """Give the strategy its owed reports, including those of operations it makes meanwhile."""
        owed, on_report = self.owed, self.strategy.on_report
        while owed:
            on_report(owed.popleft())

    def before_match(self, tick: Dict[str, Any]) -> None:
        """Before a tick of a watched code is matched: a position carried over its month's end
        opens again at the tick's price; a day-trade short still open at the session's close is
        bought back at market at the first tick at or after it (the closing auction's, the
        session's last)."""
        code = tick["code"]
        lots = self.carrying.pop(code, None)
        if lots is not None:
            price = float(tick["close"])
            entry = HoldingEvent(code, tick["timestamp"], price, lots, ROLL)
            valued = self.account.enter_event(entry, len(self.result.timeline))
            self._keep_position(code, valued.action, abs(lots), price)
        due = self.account.day_trade_due(code, tick["timestamp"])
        if due:
            self.result.warnings.append(
                f"{exchange_time_text(tick['timestamp'])} {code}: {due} "
                f"lot{'' if due == 1 else 's'} sold first and not bought back by the close; "
                "bought back at market"
            )
            self._close_out(code)

    def after_match(self, tick: Dict[str, Any]) -> None:
        """After a tick of a watched code is matched: a margin call that closes the futures at
        market (filled at their next ticks), or that warns."""
        call = self.account.margin_call(tick["timestamp"])
        if call is not None:
            self._margin_called(call)

    def _margin_called(self, call: MarginCall) -> None:
        """Tell the strategy of a margin call, and close the futures when it says so."""
        held = list(call["positions"])  # as the call found them, whatever the hook does with it
        because = {
            "maintenance": f"below the maintenance margin {call['maintenance_margin']:,.0f} NTD",
            "deadline": (
                f"not back at the initial margin {call['initial_margin']:,.0f} NTD by the "
                "call's deadline"
            ),
            "risk indicator": (
                f"below {self.account.rules.risk_indicator_pct:g} % of the initial margin "
                f"{call['initial_margin']:,.0f} NTD"
            ),
        }[call["reason"]]
        outcome = {
            "liquidate": "futures positions closed at market",
            "warn": "futures positions kept (warn only)",
            "call": f"due by {exchange_time_text(call['due'] or 0)}",
        }[call["action"]]
        self.result.warnings.append(
            f"{exchange_time_text(call['timestamp'])} margin call: equity "
            f"{call['equity']:,.0f} NTD {because}; {outcome}"
        )
        self.strategy.on_margin_call(call)
        if call["action"] == "liquidate":
            for code in held:
                self._close_out(code)

    def _keep_stock_position(self, code: str) -> None:
        """The position keeper's position of a stock follows the ledger's after its shares
        changed: whole lots, at the ledger's average cost."""
        book = self.account.holdings[code].book
        kept = self.matcher.positions.positions[code]
        kept.quantity = book.lots
        kept.avg_price = book.position.avg_price if book.lots else 0.0

    def _keep_position(self, code: str, action: str, lots: int, price: float) -> None:
        """A settlement moves the position keeper's position of `code` as a fill would."""
        self.matcher.positions.positions[code].fill(Action.from_value(action), lots, price)

    def _close_out(self, code: str) -> None:
        """Cancel the working orders of `code`, then close its position at market: the engine's
        own operations, which take effect at once."""
        for record in [record for record in self.matcher.pending_orders if record["code"] == code]:
            self.operate("cancel", {"trade_id": record["trade_id"]}, 1)
        held = self.account.lots_held(code)
        if held:
            action = "Sell" if held > 0 else "Buy"
            order = self._order(code, action, abs(held), self.last_price(code), "MKT", "IOC")
            now = self.now()
            trade_id = core.fills().draw_trade_id(self.matcher)
            self.account.force(trade_id, code, held > 0, abs(held))  # before a fill at entry
            self._enter(order, -math.inf if now is None else now, trade_id)

    def _order(
        self,
        code: str,
        action: str,
        qty: int,
        price: Optional[float],
        price_type: str,
        order_type: str,
    ) -> Dict[str, Any]:
        return {
            "code": code,
            "product_type": self.markets[code],
            "action": action,
            "price": price or 0.0,
            "qty": qty,
            "price_type": price_type,
            "order_type": order_type,
        }

    def _arrival(self) -> float:
        """When an operation sent now reaches the exchange (before the first tick: at once)."""
        now = self.now()
        return -math.inf if now is None else now + self.latency

    def _check_call(self, code: str, price_type: str, order_type: str, arrival: float) -> None:
        """`OrderError` for an order of a kind the call auction it would reach does not take;
        "touch" fills, the exchange's own matching, know no calls."""
        found = None if self.fills is None else self.rules.call_at(code, arrival)
        if found is None:
            return
        call, _ = found
        kind = "MKT" if price_type == "MKT" and "MKT" in call.refuses else order_type
        if kind in call.refuses:
            raise OrderError(
                f"{kind} orders are not taken in {code}'s {call.name} "
                f"({call.opens:%H:%M} to {call.closes:%H:%M}); a ROD limit order takes part in "
                "its auction"
            )

    def _send(self, flight: _InFlight) -> None:
        """An operation on its way: carried out now without a latency, else on arrival."""
        if not self.latency:
            self._arrive(flight)
            return
        self.in_flight.append(flight)
        if self.road is not None:
            self.road.wake(flight.arrival)

    def _arrive(self, flight: _InFlight) -> None:
        """An operation reaches the exchange: carried out, unless the order it is about left
        the book meanwhile (filled, or cancelled at its session's close), as the exchange
        answers an operation on an order it no longer has."""
        if flight.action == "add":
            self._enter(flight.payload, flight.arrival, flight.trade_id)
            return
        if self.account.working(flight.trade_id) is None:
            self.result.warnings.append(
                f"{exchange_time_text(flight.arrival)} {flight.action} of {flight.trade_id} "
                "reached the exchange after the order had left the book"
            )
            return
        self.operate(flight.action, flight.payload, flight.reports)
        if self.fills is not None and flight.payload.get("price") is not None:
            self.fills.repriced(flight.trade_id)

    def _enter(self, order: Dict[str, Any], at: float, trade_id: str) -> None:
        """Enter `order` at the exchange at `at` as `trade_id`, drawn when it was sent; a queue
        fill model then fills it or places it in the queue."""
        door = core.fills()
        door.preset_trade_id(self.matcher, trade_id)
        try:
            self.operate("add", order, 1)
        finally:
            door.preset_trade_id(self.matcher, None)
        if self.fills is not None:
            in_call = self.rules.call_at(order["code"], at) is not None
            self.fills.entered(trade_id, at, in_call)
            while not self.responses.empty():
                self._receive(self._pop())

    def _receive(self, report: Dict[str, Any]) -> None:
        self.account.receive(report)
        self.result.reports.append(report)
        self.owed.append(cast(Report, report))  # the exchange's dicts, in these layouts

    def _limit_price(self, code: str, price: Any) -> float:
        """A limit price as the exchange takes it: positive and finite, then by the market's
        rules on the step and inside the day's limits."""
        checked = checked_price(price)
        self.rules.check_price(code, checked)
        return checked

    def _working(self) -> List[Dict[str, Any]]:
        """The order records in the book, then the orders on their way to it, each as sent (its
        trade id, code, action, price, quantity, price and order type)."""
        sent = [
            {"trade_id": flight.trade_id, **flight.payload, "quantity": flight.payload["qty"]}
            for flight in self.in_flight
            if flight.action == "add"
        ]
        return [*self.matcher.pending_orders, *sent]

    def _working_order(self, trade_id: str) -> Tuple[str, int]:
        """The code and the lots left of a working order, as the account keeps them from the
        reports: looked up, not searched for in the book."""
        working = self.account.working(trade_id)
        if working is None:
            raise OrderError(f"no working order {trade_id!r}: filled, cancelled or never entered")
        return working

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        raise NotImplementedError

    def _pop(self) -> Dict[str, Any]:
        return self.matcher.pop_response()


def _contracts(lots: int) -> str:
    side = "long" if lots > 0 else "short"
    return f"{abs(lots)} contract{'' if abs(lots) == 1 else 's'} {side}"


def check_quantity(qty: Any) -> None:
    if type(qty) is not int or qty < 1:
        raise OrderError(f"qty must be a whole number of at least 1, not {qty!r}")


def checked_price(price: Any) -> float:
    if isinstance(price, bool) or not isinstance(price, (int, float)) or not 0 < price < math.inf:
        raise OrderError(f"price must be a positive finite number, not {price!r}")
    if price >= MAX_PRICE:  # beyond what the price steps count
        raise OrderError(f"price must be below {MAX_PRICE:g}, not {price!r}")
    return float(price)


class DirectDesk(Desk):
    """Operations call the matcher's order methods on this thread; their reports are taken at once."""

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        if action == "add":
            self.matcher.add_order(**payload)
        elif action == "modify":
            self.matcher.modify_order(payload["trade_id"], payload["qty"], payload["price"])
        else:
            self.matcher.cancel_order(payload["trade_id"])
        taken = []
        while not self.responses.empty():
            taken.append(self._pop())
        if len(taken) != reports:
            raise BacktestError(
                f"the exchange answered {action} {payload} with {len(taken)} reports, "
                f"not {reports}; see the log under the data directory"
            )
        return taken


class QueuedDesk(Desk):
    """Operations are posted to the matcher's intake thread; the driver waits for their reports."""

    def __init__(self, *args: Any, watchdog: Watchdog, **options: Any) -> None:
        super().__init__(*args, **options)
        self.watchdog = watchdog

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        self.matcher.add_pending_order_queue(action, payload)
        return [self._pop() for _ in range(reports)]

    def _pop(self) -> Dict[str, Any]:
        report = self.matcher.pop_response()
        self.watchdog.beat()
        if self.watchdog.expired or report == Watchdog.STALL_MARKER:
            raise BacktestError(
                f"the exchange did not answer an order operation within {self.watchdog.timeout:g} s; "
                "see the log under the data directory"
            )
        return report


@contextlib.contextmanager
def attached(strategy: Strategy, desk: OrderDesk) -> Iterator[None]:
    strategy._desk = desk
    try:
        yield
    finally:
        strategy._desk = None
