"""The strategy's order desks: its operations checked, carried out and their reports owed.

`DirectDesk` calls the matcher's order methods on the driver's thread (the
replay engine); `QueuedDesk` posts to the matcher's intake thread and waits
for the reports (the paced engine).
"""

from __future__ import annotations

import collections
import contextlib
import math
from typing import Any, Collection, Deque, Dict, Iterator, List, Optional, Tuple, Union, cast

from quorvel.backtest.account.account import Account, exchange_time_text
from quorvel.backtest.engine.lifecycle import Watchdog
from quorvel.backtest.engine.market_rules import TradingRules, expiring
from quorvel.backtest.engine.quotes import Quotes
from quorvel.backtest.errors import BacktestError, OrderError
from quorvel.backtest.messages import DealReport, OrderReport, Quote
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.strategy.base import OrderDesk, Strategy
from quorvel.constant import OrderType

_ORDER_TYPES = frozenset(member.value for member in OrderType)
Report = Union[OrderReport, DealReport]


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
    ) -> None:
        self.matcher = matcher
        self.markets = markets
        self.strategy = strategy
        self.result = result
        self.account = account
        self.rules = rules
        self.responses = matcher.response_queue
        self.owed: Deque[Report] = collections.deque()
        self.current: List[Optional[Dict[str, Any]]] = [None]  # the tick being replayed
        self.quotes = Quotes(markets)  # the engine moves its cursor

    def place(
        self, code: str, action: str, qty: int, price: Optional[float], order_type: Optional[str]
    ) -> str:
        if code not in self.markets:
            raise OrderError(f"unknown code {code!r}: this run trades {', '.join(self.markets)}")
        _check_quantity(qty)
        if price is None:  # at the market; the record carries the last price
            price_type, order_type = "MKT", order_type or "IOC"
            price = self.last_price(code) or 0.0
        else:
            price_type, order_type = "LMT", order_type or "ROD"
            price = self._limit_price(code, price)
        if order_type not in _ORDER_TYPES:
            raise OrderError(f"order_type must be one of ROD, IOC, FOK, not {order_type!r}")
        hold = self.account.hold(code, action, qty, price)
        trade_id = self._add(code, action, qty, price, price_type, order_type)
        self.account.reserve(trade_id, hold)
        return trade_id

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> None:
        record = self._working_record(trade_id)
        if qty is None and price is None:
            raise OrderError(f"modify {trade_id}: give the quantity to take off, a price, or both")
        if qty is not None:
            _check_quantity(qty)
            if qty > record["quantity"]:
                raise OrderError(
                    f"modify {trade_id}: cannot take {qty} off an order of {record['quantity']}"
                )
        if price is not None:
            price = self._limit_price(record["code"], price)
            self.account.check_reprice(trade_id, price, qty or 0)
        payload = {"trade_id": trade_id, "qty": qty, "price": price}
        self.operate("modify", payload, (qty is not None) + (price is not None))

    def cancel(self, trade_id: str) -> None:
        self._working_record(trade_id)
        self.operate("cancel", {"trade_id": trade_id}, 1)

    def position(self, code: str) -> int:
        held = self.matcher.positions.positions.get(code)
        return held.quantity if held is not None else 0

    def working_orders(self, code: Optional[str]) -> List[Dict[str, Any]]:
        return [
            dict(record)
            for record in self.matcher.pending_orders
            if code is None or record["code"] == code
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

    def expire_day_orders(self, codes: Collection[str]) -> None:
        """Cancel the orders of `codes` still in the book, as the exchange does at the close of
        their session, and give the strategy the reports."""
        for trade_id in expiring(self.matcher.pending_orders, codes):
            self.operate("cancel", {"trade_id": trade_id}, 1)
        self.deliver()

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
        """Before a tick of a watched code is matched: a day-trade short still open at the
        session's close is bought back at market at the first tick at or after it (the
        closing auction's, the session's last)."""
        code = tick["code"]
        due = self.account.day_trade_due(code, tick["timestamp"])
        if due:
            self.result.warnings.append(
                f"{exchange_time_text(tick['timestamp'])} {code}: {due} "
                f"lot{'' if due == 1 else 's'} sold first and not bought back by the close; "
                "bought back at market"
            )
            self._close_out(code)

    def after_match(self, tick: Dict[str, Any]) -> None:
        """After a tick of a watched code is matched: a margin call, and unless the run
        only warns, the futures closed at market (filled at their next ticks)."""
        call = self.account.margin_call(tick["timestamp"])
        if call is None:
            return
        held = list(call["positions"])  # as the call found them, whatever the hook does with it
        outcome = "closed at market" if call["action"] == "liquidate" else "kept (warn only)"
        self.result.warnings.append(
            f"{exchange_time_text(tick['timestamp'])} margin call: equity "
            f"{call['equity']:,.0f} NTD below the maintenance margin "
            f"{call['maintenance_margin']:,.0f} NTD; futures positions {outcome}"
        )
        self.strategy.on_margin_call(call)
        if call["action"] == "liquidate":
            for code in held:
                self._close_out(code)

    def _close_out(self, code: str) -> None:
        """Cancel the working orders of `code`, then close its position at market."""
        for record in [record for record in self.matcher.pending_orders if record["code"] == code]:
            self.operate("cancel", {"trade_id": record["trade_id"]}, 1)
        held = self.account.lots_held(code)
        if held:
            action = "Sell" if held > 0 else "Buy"
            trade_id = self._add(code, action, abs(held), self.last_price(code), "MKT", "IOC")
            self.account.force(trade_id, code, held > 0, abs(held))

    def _add(
        self,
        code: str,
        action: str,
        qty: int,
        price: Optional[float],
        price_type: str,
        order_type: str,
    ) -> str:
        payload = {
            "code": code,
            "product_type": self.markets[code],
            "action": action,
            "price": price or 0.0,
            "qty": qty,
            "price_type": price_type,
            "order_type": order_type,
        }
        [report] = self.operate("add", payload, 1)
        return report["order"]["id"]

    def _receive(self, report: Dict[str, Any]) -> None:
        self.account.receive(report)
        self.result.reports.append(report)
        self.owed.append(cast(Report, report))  # the exchange's dicts, in these layouts

    def _limit_price(self, code: str, price: Any) -> float:
        """A limit price as the exchange takes it: positive and finite, then by the market's
        rules on the step and inside the day's limits."""
        checked = _checked_price(price)
        self.rules.check_price(code, checked)
        return checked

    def _working_record(self, trade_id: str) -> Dict[str, Any]:
        for record in self.matcher.pending_orders:
            if record["trade_id"] == trade_id:
                return record
        raise OrderError(f"no working order {trade_id!r}: filled, cancelled or never entered")

    def _carry_out(
        self, action: str, payload: Dict[str, Any], reports: int
    ) -> List[Dict[str, Any]]:
        raise NotImplementedError

    def _pop(self) -> Dict[str, Any]:
        return self.matcher.pop_response()


def _check_quantity(qty: Any) -> None:
    if type(qty) is not int or qty < 1:
        raise OrderError(f"qty must be a whole number of at least 1, not {qty!r}")


def _checked_price(price: Any) -> float:
    if isinstance(price, bool) or not isinstance(price, (int, float)) or not 0 < price < math.inf:
        raise OrderError(f"price must be a positive finite number, not {price!r}")
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

    def __init__(self, *args: Any, watchdog: Watchdog) -> None:
        super().__init__(*args)
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
def attached(strategy: Strategy, desk: Desk) -> Iterator[None]:
    strategy._desk = desk
    try:
        yield
    finally:
        strategy._desk = None
