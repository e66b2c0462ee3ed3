"""Order and deal reports in the live layouts, and the report queue."""

import threading

import pytest

from quorvel.constant import OCType, OperationType, OrderCond, SuccessCode

from matcher_support import TIMEOUT, future_order, place, take_report, take_reports


def trade(**overrides):
    record = {"trade_id": "T1", "code": "2330", "action": "Buy", "price": 100.0, "quantity": 5,
              "price_type": "LMT", "order_type": "ROD", "product_type": "Stock", "exchange_ts": 9.0,
              "order_cond": "Cash", "order_lot": "Common", "oc_type": "Auto"}
    record.update(overrides)
    return record


class TestOrderReports:
    def test_stock_layout(self, matcher):
        report = matcher.build_order_response(trade(), OperationType.NEW, SuccessCode.CreateOrder)
        assert list(report) == ["operation_type", "operation_status_code", "operation_message", "order",
                                "trade_status"]
        assert report["operation_type"] is OperationType.NEW
        assert report["operation_status_code"] == SuccessCode.CreateOrder.code
        assert list(report["order"]) == ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity",
                                         "order_type", "order_cond", "order_lot", "price_type"]
        assert report["order"]["order_cond"] is OrderCond.CASH and report["order"]["account"] == "BT-00001"
        assert report["trade_status"] == {"id": "T1", "exchange": "DARQ Backtest Exchange", "exchange_ts": None}

    def test_future_layout_has_oc_type_only(self, matcher):
        report = matcher.build_order_response(trade(product_type="Future"), OperationType.CANCEL,
                                              SuccessCode.OrderBeCancel)
        assert list(report["order"]) == ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity",
                                         "order_type", "price_type", "oc_type"]
        assert report["order"]["oc_type"] is OCType.AUTO

    def test_exchange_ts_follows_the_tick_table(self, matcher):
        def exchange_ts():
            return matcher.build_order_response(trade(), OperationType.NEW, SuccessCode.CreateOrder)[
                "trade_status"]["exchange_ts"]

        assert exchange_ts() is None
        matcher.set_current_tick({"code": "2330", "timestamp": 3.0, "close": 1.0})
        assert exchange_ts() == 3.0
        matcher.reset_tick_infos()
        assert exchange_ts() is None

    def test_unsupported_product_type(self, matcher):
        for build in (lambda t: matcher.build_order_response(t, OperationType.NEW, SuccessCode.CreateOrder),
                      matcher.build_deal_response):
            with pytest.raises(Exception, match="^不支援的商品類型: Bond$"):
                build(trade(product_type="Bond"))

    def test_missing_code_attribute(self, matcher):
        with pytest.raises(AttributeError):
            matcher.build_order_response(trade(), OperationType.NEW, object())


class TestDealReports:
    def test_stock_layout(self, matcher):
        report = matcher.build_deal_response(trade())
        assert list(report) == ["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account", "action", "code",
                                "quantity", "price", "order_cond", "order_lot", "exchange_ts"]
        assert report["exchange_ts"] == 9.0 and report["broker_id"] == "DARQ Backtest Exchange"

    def test_future_layout(self, matcher):
        report = matcher.build_deal_response(trade(product_type="Future"))
        assert list(report) == ["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account", "action", "code",
                                "quantity", "price", "exchange_ts"]

    def test_layout_builder_with_a_hand_made_dict(self, matcher):
        data = {key: key.upper() for key in ["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account",
                                             "action", "code", "quantity", "price", "exchange_ts"]}
        report = matcher.get_simulation_future_deal_response(data)
        assert report == data and report is not data
        del data["price"]
        with pytest.raises(KeyError, match="price"):
            matcher.get_simulation_future_deal_response(data)

    def test_report_values_are_the_records_objects(self, matcher):
        price = 123.25
        record = trade(price=price)
        assert matcher.build_deal_response(record)["price"] is record["price"]


class TestReportQueue:
    def test_queued_report_is_the_same_object(self, matcher):
        report = {"id": 1}
        matcher.add_response_to_queue(report)
        assert matcher.pop_response() is report

    def test_wrong_types_queue_nothing(self, matcher):
        class Report(dict):
            pass

        for bad in (Report(), None):
            with pytest.raises(TypeError, match="Argument 'response'"):
                matcher.add_response_to_queue(bad)
        assert matcher.response_queue.empty()

    def test_pop_waits_for_another_thread(self, matcher):
        report = {"late": True}
        timer = threading.Timer(0.1, matcher.add_response_to_queue, (report,))
        timer.start()
        result = []
        popper = threading.Thread(target=lambda: result.append(matcher.pop_response()), daemon=True)
        popper.start()
        popper.join(TIMEOUT)
        assert result == [report]

    def test_new_and_cancel_reports_of_one_order(self, matcher):
        trade_id = place(matcher, **future_order())
        new_report = matcher.build_order_response(matcher.pending_orders[0], OperationType.NEW,
                                                  SuccessCode.CreateOrder)
        matcher.cancel_order(trade_id)
        cancel_report = take_report(matcher)
        assert cancel_report["operation_type"] != new_report["operation_type"]
        assert cancel_report["operation_message"] != new_report["operation_message"]
        assert [cancel_report["order"][k] for k in ("id", "seqno", "ordno")] == [trade_id] * 3
        assert take_reports(matcher) == []
