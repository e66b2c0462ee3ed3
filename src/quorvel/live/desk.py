"""The strategy's order desk in a live session: the backtest's checks, then the broker's calls.

An operation is checked as a backtest checks it (the quantity, the price on the step and inside
the day's limits from the contract's `limit_up`/`limit_down`, the account's cash and margin by
`quorvel.backtest.account`) and against the risk caps (`quorvel.live.safety`), and only then
sent with the broker's `place_order`, `update_order` or `cancel_order`; a refusal raises
`OrderError` and sends nothing.  The trade id is the broker's (`trade.order.id`).

The reports come back on the broker's thread; the engine hands them to `LiveDesk.receive` on
the main thread, which gives them to the account, the position keeper and the result first and
to the strategy then (`deliver`), as a backtest's desk does.
"""

from __future__ import annotations

import collections
import contextlib
import math
from typing import (
    Any,
    Callable,
    ContextManager,
    Deque,
    Dict,
    List,
    Mapping,
    Optional,
    Tuple,
    Union,
    cast,
)

from quorvel.backtest.account.account import Account
from quorvel.backtest.engine.desks import check_quantity, checked_price
from quorvel.backtest.engine.market_rules import check_limit_price
from quorvel.backtest.errors import OrderError
from quorvel.backtest.messages import DealReport, OrderReport, Quote
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.strategy.base import OrderDesk, Strategy
from quorvel.constant import Action, OperationType, OrderType
from quorvel.live import broker, events
from quorvel.live.safety import Caps
from quorvel.market import MarketRules

Report = Union[OrderReport, DealReport]
_ORDER_TYPES = frozenset(member.value for member in OrderType)
# What a call to the broker is told: (operation, its arguments, the answer or the refusal).
Told = Callable[[str, Dict[str, Any], Dict[str, Any]], None]


class BrokerDown(OrderError):
    """An operation while the broker's session is lost."""


class LiveDesk(OrderDesk):
    """What a live session offers its strategy: the broker's exchange, checked first."""

    def __init__(
        self,
        api: Any,
        contracts: Mapping[str, Any],
        markets: Mapping[str, str],
        strategy: Strategy,
        result: BacktestResult,
        account: Account,
        rules: Optional[MarketRules],
        caps: Caps,
        told: Told,
        reports: events.LiveReports,
        held: Callable[[], ContextManager[None]] = contextlib.nullcontext,
    ) -> None:
        self.api = api
        self.contracts = contracts  # the broker's contract of each code
        self.markets = markets
        self.strategy = strategy
        self.result = result
        self.account = account
        self.positions = result.positions
        self.rules = rules
        self.caps = caps
        self.told = told  # the session record's, of every order operation
        self.reports = reports  # the broker's order events made the strategy's reports
        self.held = held  # what keeps a signal from cutting an order's bookkeeping in two
        self.trades: Dict[str, Any] = {}  # the broker's Trade of each working order
        # Each working order, as working_orders gives it.
        self.records: Dict[str, Dict[str, Any]] = {}
        # The product type of each of the strategy's orders that is no longer working: a fill
        # the broker reports after the order's cancellation still moves the position.
        self.ended: Dict[str, str] = {}
        self.quotes: Dict[str, Quote] = {}
        self.owed: Deque[Report] = collections.deque()
        self.current: List[Optional[Dict[str, Any]]] = [None]  # the tick on the road
        self.stopped: Optional[str] = None  # why no order is taken any more
        self.session_up = True

    # The strategy's operations.
    def place(
        self, code: str, action: str, qty: int, price: Optional[float], order_type: Optional[str]
    ) -> str:
        self._check_open()
        if code not in self.markets:
            raise OrderError(
                f"unknown code {code!r}: this session trades {', '.join(self.markets)}"
            )
        check_quantity(qty)
        if price is None:
            price_type, order_type = "MKT", order_type or "IOC"
            valued_at = self.last_price(code) or 0.0
        else:
            price_type, order_type = "LMT", order_type or "ROD"
            valued_at = checked_price(price)
            if self.rules is not None:
                check_limit_price(self.rules, code, valued_at, self.limit_prices(code))
        if order_type not in _ORDER_TYPES:
            raise OrderError(f"order_type must be one of ROD, IOC, FOK, not {order_type!r}")
        signed = qty if action == Action.BUY else -qty
        self.caps.check_order(code, signed, self.position(code) + self._working_lots(code, signed))
        hold = self.account.hold(code, action, qty, valued_at)
        self.caps.check_rate()
        payload = {
            "code": code,
            "product_type": self.markets[code],
            "action": action,
            "price": valued_at,
            "qty": qty,
            "price_type": price_type,
            "order_type": order_type,
        }
        market = self.markets[code]
        order = events.order_of(
            cast(events.Market, market), action, qty, price, order_type, self._account(market)
        )
        contract = self.contracts[code]
        with self.held():
            trade = self._call("place", payload, lambda: self.api.place_order(contract, order))
            trade_id = broker.text(trade.order.id)
            self.account.reserve(trade_id, hold)
            self.reports.expect(trade_id, code, qty)
            self.trades[trade_id] = trade
            # As a backtest lists a working order: its quantity is what is left of it.
            listed = {key: value for key, value in payload.items() if key != "qty"}
            self.records[trade_id] = {"trade_id": trade_id, **listed, "quantity": qty}
            self.result.operations.append(("add", {**payload, "trade_id": trade_id}))
        return trade_id

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> None:
        self._check_open()
        record = self._working(trade_id)
        if qty is None and price is None:
            raise OrderError("modify needs qty (to take off), price, or both")
        if qty is not None:
            check_quantity(qty)
            if qty >= record["quantity"]:
                raise OrderError(
                    f"qty {qty} would take off all {record['quantity']} left of {trade_id}; "
                    "cancel it instead"
                )
        if price is not None:
            price = checked_price(price)
            if self.rules is not None:
                check_limit_price(
                    self.rules, record["code"], price, self.limit_prices(record["code"])
                )
            self.account.check_reprice(trade_id, price, qty or 0)
        trade = self.trades[trade_id]
        # The broker changes one thing a call: the quantity first, as the backtest reports it.
        for name, value in (("qty", qty), ("price", price)):
            if value is not None:
                self.caps.check_rate()
                change = {name: value}
                self._call(
                    "modify",
                    {"trade_id": trade_id, **change},
                    lambda: self.api.update_order(trade, **change),
                )
        self.result.operations.append(
            ("modify", {"trade_id": trade_id, "qty": qty, "price": price})
        )

    def cancel(self, trade_id: str) -> None:
        self._working(trade_id)
        self.caps.check_rate()
        self._cancel(trade_id)

    def _cancel(self, trade_id: str) -> None:
        """Cancel a working order, the strategy's or the engine's own at the end."""
        trade = self.trades[trade_id]
        self._call("cancel", {"trade_id": trade_id}, lambda: self.api.cancel_order(trade))
        self.result.operations.append(("cancel", {"trade_id": trade_id}))

    # What the session knows.
    def position(self, code: str) -> int:
        if code not in self.markets:
            raise OrderError(
                f"unknown code {code!r}: this session trades {', '.join(self.markets)}"
            )
        held = self.positions.positions.get(code)
        return 0 if held is None else held.quantity

    def working_orders(self, code: Optional[str]) -> List[Dict[str, Any]]:
        return [dict(r) for r in self.records.values() if code is None or r["code"] == code]

    def last_price(self, code: str) -> Optional[float]:
        return self.positions.last_prices.get(code)

    def quote(self, code: str) -> Optional[Quote]:
        return self.quotes.get(code)

    def now(self) -> Optional[float]:
        tick = self.current[0]
        return None if tick is None else float(tick["timestamp"])

    def tick_size(self, code: str, price: float) -> float:
        rules = self.rules
        return 0.0 if rules is None else rules.tick_size(code, price)

    def limit_prices(self, code: str) -> Optional[Tuple[float, float]]:
        """The day's limits as the broker's contract states them (`limit_down`, `limit_up`)."""
        contract = self.contracts.get(code)
        down, up = getattr(contract, "limit_down", 0), getattr(contract, "limit_up", 0)
        return (float(down), float(up)) if down and up else None

    # The engine's side.
    def set_current_tick(self, tick: Dict[str, Any]) -> None:
        self.positions.set_current_tick(tick)

    def adopt(self, trade: Any, record: Dict[str, Any], filled: int) -> None:
        """A working order found at the broker when the session starts (`filled` of it filled
        already): the strategy's from now on, holding its money in the account (a refusal is
        a warning: the broker carries it)."""
        trade_id = record["trade_id"]
        record["product_type"] = self.markets[record["code"]]
        self.trades[trade_id] = trade
        self.records[trade_id] = record
        self.reports.expect(
            trade_id, record["code"], filled + record["quantity"], filled=filled, entered=True
        )
        try:
            hold = self.account.hold(
                record["code"], record["action"], record["quantity"], record["price"]
            )
        except OrderError as error:
            self.result.warnings.append(f"working order {trade_id} taken over: {error}")
        else:
            self.account.reserve(trade_id, hold)

    def receive(self, report: Dict[str, Any]) -> None:
        """A report from the broker: to the account, the position keeper, the result, then owed
        to the strategy.  The reports of an order the session does not know (another program's
        on the same account) are left out."""
        is_deal = "operation_type" not in report
        trade_id = report["id"] if is_deal else report["order"]["id"]
        record = self.records.get(trade_id)
        product_type = record["product_type"] if record else self.ended.get(trade_id)
        if product_type is None or (record is None and not is_deal):
            return
        self.account.receive(report)
        self.result.reports.append(report)
        if is_deal:
            self.positions.set_positions(report, product_type)
        if record is not None:
            if is_deal:
                record["quantity"] -= int(report["quantity"])
                left = record["quantity"] > 0
            else:
                order = report["order"]
                record["quantity"], record["price"] = int(order["quantity"]), float(order["price"])
                left = report["operation_type"] != OperationType.CANCEL and record["quantity"] > 0
            if not left:
                del self.records[trade_id]
                self.trades.pop(trade_id, None)
                self.ended[trade_id] = product_type
        self.owed.append(cast(Report, report))

    def deliver(self) -> None:
        owed, on_report = self.owed, self.strategy.on_report
        while owed:
            on_report(owed.popleft())

    def stop(self, why: str) -> None:
        """Take no order from now on, and cancel the working ones."""
        if self.stopped is None:
            self.stopped = why
        self.cancel_all()

    def cancel_all(self) -> List[str]:
        """Cancel every working order; those the broker refused to cancel are warned of."""
        asked = []
        for trade_id in list(self.records):
            try:
                self._cancel(trade_id)
            except OrderError as error:
                self.result.warnings.append(f"cancel of {trade_id} at the end: {error}")
            else:
                asked.append(trade_id)
        return asked

    def _check_open(self) -> None:
        if self.stopped is not None:
            raise OrderError(f"the strategy takes no more orders: {self.stopped}")

    def _working(self, trade_id: str) -> Dict[str, Any]:
        record = self.records.get(trade_id)
        if record is None:
            raise OrderError(f"no working order {trade_id!r}: filled, cancelled or never entered")
        return record

    def _working_lots(self, code: str, signed: int) -> int:
        """The lots an order of `signed` and the working orders of `code` on its side would
        add to the position once filled."""
        side = Action.BUY if signed > 0 else Action.SELL
        lots = sum(
            r["quantity"]
            for r in self.records.values()
            if r["code"] == code and r["action"] == side
        )
        return int(math.copysign(lots, signed)) + signed

    def _call(self, operation: str, payload: Dict[str, Any], call: Callable[[], Any]) -> Any:
        """One order call to the broker, told to the session record with its answer; an error
        or a failed status becomes `OrderError` with the broker's own words."""
        if not self.session_up:
            refusal = "the broker's session is lost; no order goes out until it is back"
            self.told(operation, payload, {"refused": refusal})
            raise BrokerDown(refusal)
        try:
            answer = call()
        except Exception as error:
            refusal = f"the broker refused {operation}: {type(error).__name__}: {error}"
            self.told(operation, payload, {"refused": refusal})
            raise OrderError(refusal) from None
        failed = broker.refusal_of(answer)
        if failed is not None:
            self.told(operation, payload, {"refused": failed})
            raise OrderError(f"the broker refused {operation}: {failed}")
        self.told(operation, payload, {"answer": broker.summary_of(answer)})
        return answer

    def _account(self, market: str) -> Any:
        """The broker's account an order of `market` goes to."""
        return broker.account_for(self.api, market)
