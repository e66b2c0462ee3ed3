"""The book stays consistent while the intake thread and the driver's thread work on it."""

import collections
import queue
import random
import sys
import time

import pytest

from quorvel.modules.matcher.matcher import Matcher
from quorvel.modules.positions.positions import Positions

from matcher_support import TIMEOUT, stock_order

ORDERS = 3000


class YieldingPositions(Positions):
    """A position keeper that lets other threads run while it records, as one doing I/O would."""

    def add_trade_record(self, **record):
        time.sleep(0)
        super().add_trade_record(**record)


class YieldingMatcher(Matcher):
    """Lets the other thread run while a report is built, in the middle of a walk's step."""

    def build_order_response(self, trade, operation_type, code_obj):
        time.sleep(0)
        return super().build_order_response(trade, operation_type, code_obj)


@pytest.fixture
def frequent_switches():
    # Thread switches every few microseconds make interleavings inside a walk likely.
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(saved)


def test_intake_and_matching_agree_under_load(console, logger, frequent_switches):
    matcher = YieldingMatcher(YieldingPositions())
    rng = random.Random(7)
    original, deals, cancels, reductions = {}, collections.Counter(), collections.Counter(), collections.Counter()
    cancel_reports = collections.Counter()
    posted = 0
    closing = False
    deadline = time.monotonic() + 60

    def handle(report):
        if "operation_type" not in report:
            deals[report["id"]] += report["quantity"]
            return
        trade_id = report["order"]["id"]
        kind = report["operation_type"].value
        if kind == "New":
            original[trade_id] = report["order"]["quantity"]
            if closing:
                return
            if rng.random() < 0.3:
                matcher.add_pending_order_queue("modify", {"trade_id": trade_id, "qty": 1})
            if rng.random() < 0.5:
                matcher.add_pending_order_queue("cancel", {"trade_id": trade_id})
        elif kind == "UpdateQty":
            reductions[trade_id] += 1
        elif kind == "Cancel":
            cancels[trade_id] += report["order"]["quantity"]
            cancel_reports[trade_id] += 1

    while posted < ORDERS or not matcher.pending_order_queue.empty():
        assert time.monotonic() < deadline, "stress run did not finish in time"
        for _ in range(20):
            if posted < ORDERS:
                matcher.add_pending_order_queue("add", stock_order(
                    qty=rng.randint(1, 5), price=float(rng.randint(98, 102)),
                    order_type=rng.choice(["ROD", "ROD", "IOC", "FOK"]), action=rng.choice(["Buy", "Sell"])))
                posted += 1
        matcher.match_deal("2330", float(rng.randint(98, 102)), rng.randint(0, 8), time.time())
        while True:
            try:
                handle(matcher.response_queue.get_nowait())
            except queue.Empty:
                break

    # a last operation marks the end of the intake thread's work
    closing = True
    matcher.add_pending_order_queue("add", stock_order(code="END"))
    while len(original) < ORDERS + 1:
        handle(matcher.response_queue.get(timeout=TIMEOUT))
    while True:
        try:
            handle(matcher.response_queue.get_nowait())
        except queue.Empty:
            break

    assert not [line for line in console.lines if "接收委託單失敗" in line], console.lines[:5]
    assert logger.lines == []
    remaining = {order["trade_id"]: order["quantity"] for order in matcher.pending_orders}
    for trade_id, quantity in original.items():
        left = remaining.get(trade_id, 0)
        assert quantity == deals[trade_id] + cancels[trade_id] + reductions[trade_id] + left, trade_id
        assert cancel_reports[trade_id] <= 1
        if cancel_reports[trade_id]:
            assert trade_id not in remaining

    ledger_deals, ledger_cancels = collections.Counter(), collections.Counter()
    for record in matcher.positions.trade_records:
        (ledger_deals if record.trade_status == "Deal" else ledger_cancels)[record.trade_id] += record.quantity
    assert ledger_deals == +deals
    for trade_id, quantity in ledger_cancels.items():
        assert cancels[trade_id] == quantity
