"""The broker's documented events mapped onto the backtest's dicts, and a session's reports in
a backtest's order."""

import copy
import datetime as dt
from decimal import Decimal
from types import SimpleNamespace

import pytest

from quorvel.backtest.messages import DealReport, OrderReport, Tick
from quorvel.constant import Action, OperationType
from quorvel.live.events import LiveReports, failure_of, order_of, quote_of, report_of, tick_of

# The broker's own examples (its "Order & Deal Event" pages), as its callback hands them.
STOCK_ORDER = {
    "operation": {"op_type": "New", "op_code": "00", "op_msg": ""},
    "order": {"id": "97b63e2f", "seqno": "267677", "ordno": "IM394",
              "account": {"account_type": "S", "person_id": "", "broker_id": "9A95",
                          "account_id": "1234567", "signed": True},
              "action": "Buy", "price": 16.0, "quantity": 1, "order_type": "ROD",
              "price_type": "LMT", "order_cond": "Cash", "order_lot": "Common",
              "custom_field": "test"},
    "status": {"id": "97b63e2f", "exchange_ts": 1673576134.038, "modified_price": 0.0,
               "cancel_quantity": 0, "order_quantity": 1, "web_id": "137"},
    "contract": {"security_type": "STK", "exchange": "TSE", "code": "2890", "symbol": "",
                 "name": "", "currency": "TWD"},
}
STOCK_DEAL = {"trade_id": "9c6ae2eb", "seqno": "269866", "ordno": "IN497",
              "exchange_seq": "669915", "broker_id": "9A95", "account_id": "1234567",
              "action": "Buy", "code": "2890", "order_cond": "Cash", "order_lot": "IntradayOdd",
              "price": 267.5, "quantity": 3, "web_id": "137", "custom_field": "test",
              "ts": 1673577256.354}
FUTURES_ORDER = {
    "event_id": "v1:FO:BO7SLUCIyeI:BOnXGyd:1",
    "operation": {"op_type": "New", "op_code": "00", "op_msg": ""},
    "order": {"id": "0bbe4f6d", "seqno": "354926", "ordno": "ta0fu",
              "account": {"account_type": "F", "person_id": "", "broker_id": "YOUR_BROKER_ID",
                          "account_id": "YOUR_ACCOUNT_ID", "signed": True, "username": ""},
              "action": "Buy", "price": 36112.0, "quantity": 1, "order_type": "ROD",
              "price_type": "LMT", "market_type": "Day", "oc_type": "New", "subaccount": "",
              "combo": False},
    "status": {"id": "0bbe4f6d", "exchange_ts": 1779331888.0, "modified_price": 0.0,
               "cancel_quantity": 0, "order_quantity": 1, "web_id": "Z"},
    "contract": {"security_type": "FUT", "code": "TMF", "exchange": "TIM",
                 "delivery_month": "202606", "full_code": "TMFF6", "delivery_date": "",
                 "strike_price": 0.0, "option_right": "Future"},
}
FUTURES_DEAL = {"event_id": "v1:FD:BO7SLUCIyeI:BOnXGyd:5", "trade_id": "4e6df0f6",
                "seqno": "458545", "ordno": "tA0deX1O", "exchange_seq": "j5006396",
                "action": "Sell", "code": "TX1", "price": 25.0, "quantity": 1, "subaccount": "",
                "security_type": "OPT", "delivery_month": "202512", "ts": 1764685425.0,
                "broker_id": "YOUR_BROKER_ID", "account_id": "YOUR_ACCOUNT_ID",
                "full_code": "TX127900L5", "strike_price": 27900.0, "option_right": "OptionCall",
                "market_type": "Day", "combo": False}
# The broker's tick and bid/ask callback examples, as its docs print them.
STOCK_TICK = SimpleNamespace(code="2890", datetime=dt.datetime(2026, 5, 21, 9, 20, 39, 959231),
                             close=Decimal("29.9"), volume=1, tick_type=1, simtrade=False,
                             intraday_odd=False)
STOCK_BIDASK = SimpleNamespace(
    code="2890", datetime=dt.datetime(2026, 5, 21, 9, 57, 57, 278770),
    bid_price=[Decimal("29.75"), Decimal("29.7")], bid_volume=[337, 1423],
    ask_price=[Decimal("29.8"), Decimal("29.85")], ask_volume=[37, 92], simtrade=False,
    intraday_odd=False)
HOURS_8 = 8 * 3600


def keys(typed):
    return set(typed.__annotations__)


def test_the_documented_stock_events_become_the_backtests_reports():
    order = report_of("SORDER", STOCK_ORDER)
    assert set(order) == keys(OrderReport) and order["operation_status_code"] == "0001"
    # The backtest's own members, not bare texts: `is OperationType.NEW` holds in both.
    assert order["operation_type"] is OperationType.NEW and order["order"]["action"] is Action.BUY
    assert order["order"] == {
        "id": "97b63e2f", "seqno": "267677", "ordno": "IM394", "account": "1234567",
        "code": "2890", "action": "Buy", "price": 16.0, "quantity": 1, "order_type": "ROD",
        "price_type": "LMT", "order_cond": "Cash", "order_lot": "Common",
    }
    # 10:15:34 in Taipei, on the ticks' clock.
    assert order["trade_status"] == {"id": "97b63e2f", "exchange": "TSE",
                                     "exchange_ts": 1673576134.038 + HOURS_8}
    deal = report_of("SDEAL", STOCK_DEAL)
    assert set(deal) == keys(DealReport) and "operation_type" not in deal
    assert (deal["id"], deal["code"], deal["action"], deal["quantity"], deal["price"]) == (
        "9c6ae2eb", "2890", "Buy", 3, 267.5)
    assert deal["order_lot"] == "IntradayOdd" and deal["exchange_ts"] == 1673577256.354 + HOURS_8


def test_the_documented_futures_events_name_the_month_or_the_strategys_code():
    order = report_of("FORDER", FUTURES_ORDER)
    assert order["order"]["code"] == "TMFF6" and order["order"]["oc_type"] == "New"
    assert "order_cond" not in order["order"]
    assert report_of("FORDER", FUTURES_ORDER, code="TMFR1")["order"]["code"] == "TMFR1"
    deal = report_of("FDEAL", FUTURES_DEAL)
    assert deal["code"] == "TX127900L5" and deal["action"] == "Sell"
    assert "order_lot" not in deal and set(deal) == keys(DealReport) - {"order_cond", "order_lot"}


def test_ticks_and_quotes_read_on_the_backtests_clock():
    tick = tick_of(STOCK_TICK, "Stock")
    assert set(tick) == keys(Tick)
    assert dt.datetime.fromtimestamp(tick["timestamp"], dt.timezone.utc).replace(
        tzinfo=None) == STOCK_TICK.datetime
    assert (tick["close"], tick["qty"], tick["tick_type"], tick["is_simulate"]) == (
        29.9, 1, 1, False)
    aware = copy.copy(STOCK_TICK)
    aware.datetime = dt.datetime(2026, 5, 21, 1, 20, 39, 959231, tzinfo=dt.timezone.utc)
    assert tick_of(aware, "Future", code="TXFR1")["timestamp"] == tick["timestamp"]
    assert tick_of(SimpleNamespace(**{**vars(STOCK_TICK), "simtrade": True}), "Stock") is None
    assert quote_of(STOCK_BIDASK) == {"bid_price": 29.75, "bid_volume": 337,
                                      "ask_price": 29.8, "ask_volume": 37}
    empty = SimpleNamespace(**{**vars(STOCK_BIDASK), "ask_price": [], "ask_volume": []})
    assert quote_of(empty)["ask_price"] == 0.0 and quote_of(empty)["ask_volume"] == 0


def event(op_type, order_quantity, cancel_quantity, op_code="00", op_msg="", event_id=None):
    """The stock order event of trade 97b63e2f (2 lots) after an operation."""
    msg = copy.deepcopy(STOCK_ORDER)
    msg["order"]["quantity"] = 2
    msg["operation"] = {"op_type": op_type, "op_code": op_code, "op_msg": op_msg}
    msg["status"].update(order_quantity=order_quantity, cancel_quantity=cancel_quantity)
    if event_id:
        msg["event_id"] = event_id
    return msg


def deal(quantity):
    return {**STOCK_DEAL, "trade_id": "97b63e2f", "quantity": quantity}


def test_a_sessions_reports_come_in_a_backtests_order_with_its_quantities():
    reports = LiveReports()
    reports.expect("97b63e2f", "2890", 2)
    assert reports.take("SDEAL", deal(1)) == []  # before its order's event: held
    taken = reports.take("SORDER", event("New", 2, 0, event_id="e1"))
    assert [(r.get("operation_type"), r.get("quantity", r.get("order", {}).get("quantity")))
            for r in taken] == [("New", 2), (None, 1)]
    assert reports.take("SORDER", event("New", 2, 0, event_id="e1")) == []  # seen before
    # Taking 1 lot off leaves none working: one was filled.
    reduced = reports.take("SORDER", event("UpdateQty", 1, 1))
    assert reduced[0]["order"]["quantity"] == 0 and reduced[0]["operation_status_code"] == "0002"
    assert reports.working("97b63e2f") == 0
    # An event that outran place_order's answer waits for its trade to be expected.
    early = event("New", 2, 0)
    early["order"]["id"] = "t2"
    assert reports.take("SORDER", early) == []
    assert [r["order"]["id"] for r in reports.expect("t2", "2330", 2)] == ["t2"]


def test_a_cancel_reports_what_was_working_and_a_refusal_ends_or_keeps_the_order():
    reports = LiveReports()
    reports.expect("97b63e2f", "2890", 2)
    reports.take("SORDER", event("New", 2, 0))
    reports.take("SDEAL", deal(1))
    cancelled = reports.take("SORDER", event("Cancel", 0, 1))[0]
    assert cancelled["operation_type"] == "Cancel" and cancelled["order"]["quantity"] == 1
    refused_cancel = event("Cancel", 1, 0, op_code="88", op_msg="order not found")
    assert report_of("SORDER", refused_cancel) is None
    assert failure_of("SORDER", refused_cancel) == (
        "the broker refused Cancel of 97b63e2f (2890): 88 order not found")
    refused = report_of("SORDER", event("New", 2, 0, op_code="88", op_msg="no balance"))
    assert (refused["operation_type"], refused["operation_status_code"],
            refused["operation_message"], refused["order"]["quantity"]) == (
        "Cancel", "88", "no balance", 2)
    assert failure_of("SDEAL", STOCK_DEAL) is None and failure_of("SORDER", STOCK_ORDER) is None
    with pytest.raises(ValueError, match="not an order or deal event"):
        report_of("QUOTE", STOCK_ORDER)


def test_a_strategys_orders_become_the_brokers_orders():
    def terms(order, *names):
        return tuple(str(getattr(getattr(order, name), "value", getattr(order, name)))
                     for name in names)

    assert terms(order_of("Stock", "Buy", 2, 27.1), "price_type", "order_type", "price",
                 "order_lot", "order_cond") == ("LMT", "ROD", "27.1", "Common", "Cash")
    assert terms(order_of("Future", "Sell", 1, None), "price_type", "order_type", "octype",
                 "price") == ("MKT", "IOC", "Auto", "0.0")
    with pytest.raises(ValueError, match="Action has no member"):
        order_of("Stock", "Hold", 1, 10.0)
