"""Helpers shared by the matcher's tests."""

import queue
import time

TIMEOUT = 5.0


def take_report(matcher, timeout=TIMEOUT):
    """The next report, waiting a bounded time (the intake thread works asynchronously)."""
    return matcher.response_queue.get(timeout=timeout)


def take_reports(matcher):
    """Every report queued so far, without waiting."""
    reports = []
    while True:
        try:
            reports.append(matcher.response_queue.get_nowait())
        except queue.Empty:
            return reports


def wait_until(predicate, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.005)


def stock_order(**overrides):
    order = dict(code="2330", product_type="Stock", action="Buy", price=100.0, qty=5,
                 price_type="LMT", order_type="ROD")
    order.update(overrides)
    return order


def future_order(**overrides):
    return stock_order(code="TXFR1", product_type="Future", **overrides)


def place(matcher, **order):
    """Enters an order directly and returns its trade id (from the new-order report)."""
    matcher.add_order(**order)
    return take_report(matcher)["order"]["id"]


class PositionsRecorder:
    """A position keeper that keeps every call it is given, and the trade copies in `trades`."""

    def __init__(self):
        self.calls = []
        self.trades = []

    def set_current_tick(self, tick):
        self.calls.append(("tick", tick))

    def add_trade_record(self, **record):
        self.calls.append(("record", list(record.items())))

    def set_positions(self, trade, product_type):
        self.trades.append(trade)
        self.calls.append(("positions", trade["quantity"], product_type))
