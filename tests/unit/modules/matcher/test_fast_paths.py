"""The matcher's native answers for deepcopy, from_value and .value.

Rebinding any name or attribute these calls resolve is obeyed, a profiler sees every call, and
for any record or value the result is the one the real call gives. The whole suite also runs
with QUORVEL_NO_FAST_PATHS=1 (see the Makefile), where only the real calls are made.
"""

import copy
import copyreg
import types
from enum import Enum

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvel.modules.matcher.matcher as matcher_module
from quorvel.constant import FLAG, Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType
from quorvel.constant import ValueEnum
from quorvel.modules.matcher.matcher import Matcher

from matcher_support import PositionsRecorder, place, stock_order, take_reports
from profiling import WATCHERS, watched_calls

ENUMERATIONS = [Action, OperationType, OrderType, OrderCond, OrderLot, PriceType, OCType]


class Text(str):
    """A str subclass: never answered natively."""


@pytest.fixture
def keeper():
    return PositionsRecorder()


@pytest.fixture
def kept(console, logger, keeper):
    return Matcher(keeper)


def fill(matcher, keeper, **extra):
    """Fills one ROD buy of 2330 with one tick; returns (the record, its trade copy)."""
    place(matcher, **stock_order())
    record = matcher.pending_orders[-1]
    record.update(extra)
    matcher.match_deal("2330", 99.0, 10, 1.0)
    take_reports(matcher)
    return record, keeper.trades[-1]


class TestRebindingIsObeyed:
    def test_a_rebound_copy_module(self, kept, keeper, monkeypatch):
        monkeypatch.setattr(matcher_module, "copy", types.SimpleNamespace(deepcopy=lambda r: {**r, "mark": 1}))
        _, trade = fill(kept, keeper)
        assert trade["mark"] == 1

    def test_a_rebound_deepcopy_of_the_copy_module(self, kept, keeper, monkeypatch):
        calls = []
        original = copy.deepcopy
        monkeypatch.setattr(copy, "deepcopy", lambda x, memo=None: calls.append(x) or original(x, memo))
        record, _ = fill(kept, keeper)
        assert calls == [record]

    def test_a_changed_dispatch_entry_of_the_copy_module(self, kept, keeper, monkeypatch):
        monkeypatch.setitem(copy._deepcopy_dispatch, float, lambda x, memo: x + 0.5)
        _, trade = fill(kept, keeper, note=1.5)
        assert trade["note"] == 2.0

    def test_a_member_with_its_own_deepcopy(self, kept, keeper, monkeypatch):
        monkeypatch.setattr(OrderLot.COMMON, "__deepcopy__", lambda memo: OrderLot.ODD, raising=False)
        _, trade = fill(kept, keeper)
        assert trade["order_lot"] is OrderLot.ODD

    # Before 3.11 a member is deep-copied by reduction (its class called with its value), from
    # 3.11 on it is its own copy: either way the trade holds what deepcopy gives.
    def test_a_member_copy_follows_the_value_table(self, kept, keeper, monkeypatch):
        place(kept, **stock_order())
        monkeypatch.setitem(OrderLot._value2member_map_, "Common", OrderLot.ODD)
        kept.match_deal("2330", 99.0, 10, 1.0)
        assert keeper.trades[-1]["order_lot"] is copy.deepcopy(OrderLot.COMMON)

    def test_a_reduction_registered_for_the_class(self, kept, keeper, monkeypatch):
        monkeypatch.setitem(copyreg.dispatch_table, OrderLot, lambda member: (OrderLot, ("Odd",)))
        _, trade = fill(kept, keeper)
        assert trade["order_lot"] is copy.deepcopy(OrderLot.COMMON)

    def test_from_value_rebound_on_the_class(self, kept, monkeypatch):
        monkeypatch.setattr(OrderCond, "from_value", classmethod(lambda cls, value: f"<{value}>"))
        kept.add_order(**stock_order())
        assert kept.pending_orders[-1]["order_cond"] == "<Cash>"
        assert take_reports(kept)[0]["order"]["order_cond"] == "<<Cash>>"

    def test_from_value_rebound_on_the_base_class(self, kept, monkeypatch):
        monkeypatch.setattr(ValueEnum, "from_value", classmethod(lambda cls, value: cls.__name__))
        kept.add_order(**stock_order())
        assert kept.pending_orders[-1]["action"] == "Action"

    def test_an_entry_added_to_the_value_table(self, kept, monkeypatch):
        monkeypatch.setitem(OrderLot._value2member_map_, "Lot", OrderLot.ODD)
        kept.add_order(**stock_order(order_lot="Lot"))
        assert kept.pending_orders[-1]["order_lot"] is OrderLot.ODD

    def test_a_replaced_value_property(self, kept, keeper, monkeypatch):
        # Every action reads as "Sell": a buy limit at 100 then matches ticks at 100 or above.
        monkeypatch.setattr(Action, "value", property(lambda self: "Sell"), raising=False)
        place(kept, **stock_order())
        kept.match_deal("2330", 99.0, 10, 1.0)
        assert keeper.trades == []
        kept.match_deal("2330", 101.0, 10, 1.0)
        assert len(keeper.trades) == 1

    def test_a_member_name_claimed_by_the_metaclass(self, kept, keeper, monkeypatch):
        # PriceType.LMT then reads as MKT: a limit order matches at any price.
        monkeypatch.setattr(type(PriceType), "LMT", property(lambda cls: PriceType.MKT), raising=False)
        place(kept, **stock_order())
        kept.match_deal("2330", 101.0, 10, 1.0)
        assert len(keeper.trades) == 1

    @pytest.mark.parametrize("watcher", WATCHERS)
    def test_a_watching_tool_sees_every_call(self, kept, keeper, watcher):
        place(kept, **stock_order())
        watched = [copy.deepcopy, ValueEnum.from_value.__func__, vars(Enum)["value"].fget]
        called = watched_calls(watcher, lambda: kept.match_deal("2330", 99.0, 10, 1.0), watched)
        assert "deepcopy" in called and "from_value" in called and "value" in called


MEMBERS = [member for enumeration in [*ENUMERATIONS, FLAG] for member in enumeration]
VALUES = st.one_of(
    st.sampled_from(MEMBERS),
    st.sampled_from([member.value for member in MEMBERS]),
    st.builds(Text, st.sampled_from([member.value for member in MEMBERS])),
    st.text(max_size=4),
    st.none(),
    st.integers(),
)
ENTRY_VALUES = st.one_of(
    VALUES,
    st.booleans(),
    st.floats(allow_nan=False),
    st.lists(st.integers(), max_size=2),
    st.builds(Text, st.text(max_size=3)),
)
SAME_RESULT = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def outcome(call):
    """What a call gives: ("value", result) or ("raises", type, message)."""
    try:
        return ("value", call())
    except Exception as error:  # the comparison is the point
        return ("raises", type(error), str(error))


def assert_same_outcome(got, expected):
    if expected[0] == "raises":
        assert got == expected
    else:
        assert got[0] == "value" and got[1] is expected[1]


class TestSameResults:
    @SAME_RESULT
    @given(extra=st.dictionaries(st.one_of(st.text(max_size=3).map("x_".__add__), st.integers()), ENTRY_VALUES,
                                 max_size=4))
    def test_a_trade_copy_is_what_deepcopy_makes(self, kept, keeper, extra):
        place(kept, **stock_order())
        record = kept.pending_orders[-1]
        record.update(extra)
        kept.match_deal("2330", 99.0, 10, 1.0)
        take_reports(kept)
        trade = keeper.trades[-1]
        expected = copy.deepcopy(record)
        expected.update(quantity=5, price=99.0, exchange_ts=1.0)
        assert type(trade) is type(expected)
        assert list(trade.items()) == list(expected.items())
        for key in record:
            assert type(trade[key]) is type(expected[key])
            assert (trade[key] is record[key]) == (expected[key] is record[key])

    @SAME_RESULT
    @given(enumeration=st.sampled_from(ENUMERATIONS[1:]), value=VALUES)
    def test_report_members_are_what_from_value_gives(self, kept, enumeration, value):
        fields = {"OperationType": "operation_type", "OrderType": "order_type", "OrderCond": "order_cond",
                  "OrderLot": "order_lot", "PriceType": "price_type", "OCType": "oc_type"}
        field = fields[enumeration.__name__]
        data = {"operation_type": "New", "operation_code": "0001", "operation_message": "ok", "trade_id": "T",
                "account_id": "A", "code": "2330", "action": Action.BUY, "price": 1.0, "quantity": 1,
                "order_type": "ROD", "order_cond": "Cash", "order_lot": "Common", "price_type": "LMT",
                "oc_type": "Auto", "exchange_ts": None, field: value}
        layout = (kept.get_simulation_future_order_response if enumeration is OCType
                  else kept.get_simulation_stock_order_response)
        report = outcome(lambda: layout(data))
        expected = outcome(lambda: enumeration.from_value(value))
        if report[0] == "value":
            part = report[1] if field == "operation_type" else report[1]["order"]
            report = ("value", part[field])
        assert_same_outcome(report, expected)

    @SAME_RESULT
    @given(value=st.one_of(st.sampled_from([member.value for member in MEMBERS]), st.text(max_size=4)))
    def test_record_actions_are_what_from_value_gives(self, kept, value):
        entered = outcome(lambda: kept.add_order(**stock_order(action=value)))
        take_reports(kept)
        expected = outcome(lambda: Action.from_value(value))
        if entered[0] == "value":
            entered = ("value", kept.pending_orders.pop()["action"])
        assert_same_outcome(entered, expected)


class TestPositionKeeperTick:
    """Matcher.set_current_tick hands the tick to Positions.set_current_tick, natively while that
    method is the one imported and the values have the exact types it expects."""

    import quorvel.modules.positions.positions as positions_module

    @pytest.fixture
    def keeper_matcher(self, console, logger):
        from quorvel.modules.positions.positions import Positions

        positions = Positions()
        return Matcher(positions), positions

    @pytest.mark.parametrize("close", [99.5, 100, True, float("nan")], ids=["float", "int", "bool", "nan"])
    def test_the_last_price_is_the_real_calls(self, keeper_matcher, close):
        from quorvel.modules.positions.positions import Positions

        matcher, positions = keeper_matcher
        tick = {"code": "2330", "timestamp": 1.0, "close": close}
        matcher.set_current_tick(tick)
        reference = Positions()
        reference.set_current_tick(tick)
        def kept(keeper):
            return [(code, type(price), repr(price)) for code, price in keeper.last_prices.items()]

        assert kept(positions) == kept(reference) == [("2330", float, repr(float(close)))]

    def test_a_rebound_method_is_called(self, keeper_matcher, monkeypatch):
        from quorvel.modules.positions.positions import Positions

        matcher, positions = keeper_matcher
        calls = []
        monkeypatch.setattr(Positions, "set_current_tick", lambda self, tick: calls.append(tick))
        tick = {"code": "2330", "timestamp": 1.0, "close": 99.5}
        matcher.set_current_tick(tick)
        assert calls == [tick] and positions.last_prices == {}

    def test_an_instance_attribute_is_called(self, keeper_matcher):
        matcher, positions = keeper_matcher
        calls = []
        positions.set_current_tick = calls.append
        matcher.set_current_tick({"code": "2330", "timestamp": 1.0, "close": 99.5})
        assert len(calls) == 1 and positions.last_prices == {}

    def test_a_rebound_float_of_the_positions_module(self, keeper_matcher, monkeypatch):
        matcher, positions = keeper_matcher
        monkeypatch.setattr(self.positions_module, "float", lambda value: "priced", raising=False)
        matcher.set_current_tick({"code": "2330", "timestamp": 1.0, "close": 99.5})
        assert positions.last_prices == {"2330": "priced"}

    def test_a_subclass_is_called(self, console, logger):
        from quorvel.modules.positions.positions import Positions

        class Doubling(Positions):
            def set_current_tick(self, tick):
                self.last_prices[tick["code"]] = 2 * tick["close"]

        positions = Doubling()
        Matcher(positions).set_current_tick({"code": "2330", "timestamp": 1.0, "close": 1.5})
        assert positions.last_prices == {"2330": 3.0}

    def test_a_missing_close_raises_as_the_method_does(self, keeper_matcher):
        matcher, _ = keeper_matcher
        with pytest.raises(KeyError, match="close"):
            matcher.set_current_tick({"code": "2330", "timestamp": 1.0})

    @pytest.mark.parametrize("watcher", WATCHERS)
    def test_a_watching_tool_sees_the_call(self, keeper_matcher, watcher):
        matcher, positions = keeper_matcher
        tick = {"code": "2330", "timestamp": 1.0, "close": 1.5}
        called = watched_calls(watcher, lambda: matcher.set_current_tick(tick), [type(positions).set_current_tick])
        assert "set_current_tick" in called
