"""How the compiled methods bind arguments, check types and describe themselves."""

import inspect
import traceback

import pytest

import quorvel.modules.matcher.matcher as matcher_module
from quorvel.modules.matcher.matcher import Matcher

from matcher_support import stock_order


class TestArgumentCounts:
    def test_too_few_positionals_counts_self(self, matcher):
        with pytest.raises(TypeError, match=r"^set_current_tick\(\) takes exactly 2 positional arguments \(1 given\)$"):
            matcher.set_current_tick()

    def test_too_many_positionals(self, matcher):
        with pytest.raises(TypeError, match=r"^modify_order\(\) takes at most 4 positional arguments \(5 given\)$"):
            matcher.modify_order("a", 1, 1.0, 2)

    def test_count_of_one_has_no_plural(self, matcher):
        with pytest.raises(TypeError, match=r"^pop_response\(\) takes exactly 1 positional argument \(2 given\)$"):
            matcher.pop_response(1)

    def test_missing_slot_after_keywords_reports_its_index(self, matcher):
        with pytest.raises(TypeError, match=r"^add_order\(\) takes at least 8 positional arguments \(2 given\)$"):
            matcher.add_order(code="x")

    def test_unbound_call_without_self(self):
        with pytest.raises(TypeError, match=r"^reset_tick_infos\(\) takes exactly 1 positional argument \(0 given\)$"):
            Matcher.reset_tick_infos()


class TestKeywords:
    def test_self_can_be_passed_by_keyword(self, matcher):
        tick = {"code": "2330", "timestamp": 1.0, "close": 10.0}
        Matcher.set_current_tick(self=matcher, tick=tick)
        assert matcher.current_tick_infos["2330"]["tick"] is tick

    def test_unexpected_keyword(self, matcher):
        with pytest.raises(TypeError, match=r"^cancel_order\(\) got an unexpected keyword argument 'order_id'$"):
            matcher.cancel_order(order_id="x")

    def test_multiple_values(self, matcher):
        with pytest.raises(TypeError, match=r"^cancel_order\(\) got multiple values for keyword argument 'trade_id'$"):
            matcher.cancel_order("x", trade_id="x")

    def test_first_bad_keyword_in_call_order_wins(self, matcher):
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            matcher.modify_order("x", bogus=1, trade_id="y")
        with pytest.raises(TypeError, match="multiple values for keyword argument 'trade_id'"):
            matcher.modify_order("x", trade_id="y", bogus=1)

    def test_too_many_positionals_is_checked_before_keywords(self, matcher):
        with pytest.raises(TypeError, match="takes exactly 2 positional arguments \\(3 given\\)"):
            matcher.cancel_order("x", "y", bogus=1)


class TestTypeTests:
    def test_exact_type_message(self, matcher):
        with pytest.raises(TypeError) as raised:
            matcher.cancel_order(5)
        assert str(raised.value) == "Argument 'trade_id' has incorrect type (expected str, got int)"

    def test_subclass_is_refused_with_a_sentence_in_the_message(self, matcher):
        class Text(str):
            pass

        with pytest.raises(TypeError) as raised:
            matcher.cancel_order(Text("x"))
        message = str(raised.value)
        assert message.startswith("Argument 'trade_id' has incorrect type (expected str, got Text). ")
        assert len(message) > len("Argument 'trade_id' has incorrect type (expected str, got Text). ")

    def test_bool_is_not_an_int(self, matcher):
        with pytest.raises(TypeError, match=r"\(expected int, got bool\)\. "):
            matcher.match_deal("2330", 1.0, True, 1.0)

    def test_none_only_where_the_default_is_none(self, matcher):
        with pytest.raises(TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got NoneType\)$"):
            matcher.add_order(**stock_order(code=None))
        matcher.modify_order("missing", None, 1.5)  # None accepted for qty

    def test_float_with_none_default_is_an_exact_test(self, matcher):
        with pytest.raises(TypeError, match=r"^Argument 'price' has incorrect type \(expected float, got int\)$"):
            matcher.modify_order("x", 1, 100)

    def test_float_without_default_is_converted_first(self, matcher):
        class Price:
            def __float__(self):
                return 101.5

        matcher.add_order(**stock_order(price=Price()))
        assert matcher.pending_orders[0]["price"] == 101.5
        assert type(matcher.pending_orders[0]["price"]) is float
        # conversion runs before the exact tests: the bad price wins over the bad code
        with pytest.raises(TypeError, match="must be real number, not str"):
            matcher.add_order(**stock_order(code=1, price="x"))

    def test_type_tests_run_in_parameter_order(self, matcher):
        with pytest.raises(TypeError, match="Argument 'code'"):
            matcher.match_deal(1, 1.0, "x", 1.0)


class TestResultTests:
    def test_pop_response_refuses_a_non_dict(self, matcher):
        matcher.response_queue.put("text")
        with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
            matcher.pop_response()
        assert matcher.response_queue.empty()

    def test_pop_response_passes_none(self, matcher):
        matcher.response_queue.put(None)
        assert matcher.pop_response() is None


class TestDescription:
    def test_class_namespace_in_declared_order(self):
        methods = [key for key in Matcher.__dict__ if not key.startswith("__") or key == "__init__"]
        assert methods == [
            "__init__", "_Matcher__init_current_tick_info", "_Matcher__get_random_uuid",
            "_Matcher__receive_pending_order", "reset_tick_infos", "set_current_tick", "add_order",
            "modify_order", "cancel_order", "match_deal", "build_order_response", "build_deal_response",
            "get_simulation_stock_order_response", "get_simulation_future_order_response",
            "get_simulation_stock_deal_response", "get_simulation_future_deal_response", "pop_response",
            "add_pending_order_queue", "add_response_to_queue", "close",
        ]
        assert Matcher.__module__ == "quorvel.modules.matcher.matcher"
        assert Matcher.__qualname__ == "Matcher" and Matcher.__doc__ is None
        assert Matcher.__bases__ == (object,)

    def test_method_attributes(self):
        method = Matcher.__dict__["_Matcher__init_current_tick_info"]
        assert method.__name__ == "__init_current_tick_info"
        assert method.__qualname__ == "Matcher.__init_current_tick_info"
        assert method.__module__ == "quorvel.modules.matcher.matcher"
        assert method.__doc__ == "初始化當前 Tick 資訊"
        assert method.__annotations__ == {"code": "str"}
        assert Matcher.match_deal.__annotations__ == {
            "code": "str", "tick_close": "float", "tick_qty": "int", "tick_ts": "float"}
        assert Matcher.pop_response.__annotations__ == {"return": "Dict[str, Any]"}
        assert Matcher.modify_order.__defaults__ == (None, None)
        assert Matcher.add_order.__defaults__ == ("Cash", "Common", "Auto")

    def test_docstring_layout(self):
        assert Matcher.__init__.__doc__ == (
            "Matcher Module Constructor\n        \n        Args:\n"
            "            positions (Positions, optional): Positions Module. Defaults to None.\n        ")
        assert Matcher.pop_response.__doc__ == (
            "從回報佇列中取出回報資料\n\n        Returns:\n            Dict[str, Any]: 回報資料\n        ")

    def test_signature_and_binding(self, matcher):
        signature = inspect.signature(matcher.modify_order)
        assert str(signature) == "(trade_id: 'str', qty: 'int' = None, price: 'float' = None)"
        assert list(inspect.signature(Matcher.match_deal).parameters)[0] == "self"
        assert matcher.cancel_order.__self__ is matcher
        assert "修改委託單的數量或價格" in (inspect.getdoc(Matcher.modify_order) or "")


class TestTracebackEntries:
    def test_failing_method_names_its_source_and_method(self, matcher):
        try:
            matcher.match_deal("2330", 1.0, 1, 1.0, 5)
        except TypeError:
            text = traceback.format_exc()
        assert "src/quorvel/modules/matcher/matcher" in text
        assert "match_deal" in text


class TestModuleNamespace:
    def test_rebinding_a_module_name_takes_effect_at_the_next_call(self, matcher, monkeypatch):
        monkeypatch.setattr(matcher_module, "generate", lambda size: "x" * size)
        assert matcher._Matcher__get_random_uuid() == "x" * 16

    def test_unbound_name_raises_name_error(self, matcher, monkeypatch):
        monkeypatch.delattr(matcher_module, "generate")
        with pytest.raises(NameError, match="name 'generate' is not defined"):
            matcher._Matcher__get_random_uuid()
