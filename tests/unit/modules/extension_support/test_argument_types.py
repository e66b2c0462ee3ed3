"""Every parameter of both compiled classes: what its type test refuses, with which message, and
what it takes.

Each call goes to the class's function with a stand-in `self` that raises on any attribute use, so
an accepted call stops at the body's first step and nothing else runs.
"""

from typing import Any, Dict, List, Tuple

import pytest

from quorvel.modules.matcher.matcher import Matcher
from quorvel.modules.ticker.ticker import Ticker

SUBCLASS_SENTENCE = ". Subclasses of builtin types are refused here; pass an instance of the type itself."


class Text(str):
    pass


class Whole(int):
    pass


class Real(float):
    pass


class Mapping(dict):
    pass


class Items(list):
    pass


class ConvertsToFloat:
    def __float__(self) -> float:
        return 2.5


# Per kind of parameter: a value the other parameters get, what it takes besides, and what it
# refuses with the message's tail after "Argument 'name' has incorrect type " (exact-type kinds)
# or with the whole message (the converting float).
KINDS: Dict[str, Dict[str, Any]] = {
    "str": dict(valid="x", takes=[""], refuses=[(5, "(expected str, got int)"), (b"x", "(expected str, got bytes)"),
                                                (Text("x"), "(expected str, got Text)" + SUBCLASS_SENTENCE)]),
    "int": dict(valid=5, takes=[0, -3, 2**70], refuses=[(5.0, "(expected int, got float)"),
                                                        ("5", "(expected int, got str)"),
                                                        (True, "(expected int, got bool)" + SUBCLASS_SENTENCE),
                                                        (Whole(5), "(expected int, got Whole)" + SUBCLASS_SENTENCE)]),
    "dict": dict(valid={}, takes=[{"a": 1}], refuses=[([], "(expected dict, got list)"),
                                                      (Mapping(), "(expected dict, got Mapping)" + SUBCLASS_SENTENCE)]),
    "list": dict(valid=[], takes=[[{"code": "x"}]], refuses=[((), "(expected list, got tuple)"),
                                                             (Items(), "(expected list, got Items)" + SUBCLASS_SENTENCE)]),
    "float": dict(valid=1.5, takes=[1, Real(1.5), ConvertsToFloat(), True],
                  refuses=[("1.5", "must be real number, not str"), (None, "must be real number, not NoneType")]),
    "float_or_none": dict(valid=1.5, takes=[None], refuses=[(1, "(expected float, got int)"),
                                                            (Real(1.5), "(expected float, got Real)" + SUBCLASS_SENTENCE)]),
    "object": dict(valid=object(), takes=[None, 5, "x"], refuses=[]),
}

# Every method of both classes with its parameters' kinds, in declaration order.
METHODS: Dict[Tuple[type, str], Dict[str, str]] = {
    (Matcher, "__init__"): {"positions": "object"},
    (Matcher, "_Matcher__init_current_tick_info"): {"code": "str"},
    (Matcher, "_Matcher__get_random_uuid"): {},
    (Matcher, "_Matcher__receive_pending_order"): {},
    (Matcher, "reset_tick_infos"): {},
    (Matcher, "set_current_tick"): {"tick": "dict"},
    (Matcher, "add_order"): {"code": "str", "product_type": "str", "action": "str", "price": "float", "qty": "int",
                             "price_type": "str", "order_type": "str", "order_cond": "str", "order_lot": "str",
                             "oc_type": "str"},
    (Matcher, "modify_order"): {"trade_id": "str", "qty": "int", "price": "float_or_none"},
    (Matcher, "cancel_order"): {"trade_id": "str"},
    (Matcher, "match_deal"): {"code": "str", "tick_close": "float", "tick_qty": "int", "tick_ts": "float"},
    (Matcher, "build_order_response"): {"trade": "dict", "operation_type": "object", "code_obj": "object"},
    (Matcher, "build_deal_response"): {"trade": "dict"},
    (Matcher, "get_simulation_stock_order_response"): {"data": "dict"},
    (Matcher, "get_simulation_future_order_response"): {"data": "dict"},
    (Matcher, "get_simulation_stock_deal_response"): {"data": "dict"},
    (Matcher, "get_simulation_future_deal_response"): {"data": "dict"},
    (Matcher, "pop_response"): {},
    (Matcher, "add_pending_order_queue"): {"action": "str", "payload": "dict"},
    (Matcher, "add_response_to_queue"): {"response": "dict"},
    (Matcher, "close"): {"timeout": "float"},
    (Ticker, "__init__"): {"sino_api": "object"},
    (Ticker, "_Ticker__generate_save_path"): {"file_name": "str"},
    (Ticker, "_Ticker__make_sino_contract_object"): {"code": "str", "market_type": "str"},
    (Ticker, "_Ticker__tick_filename_formatter"): {"code": "str", "date": "str"},
    (Ticker, "_Ticker__auto_fetch_ticks"): {"code": "str", "product_type": "str", "date": "str"},
    (Ticker, "fetch_sino_history_ticks"): {"code": "str", "product_type": "object", "start_from": "str",
                                           "end_to": "str"},
    (Ticker, "_Ticker__process_and_combine_ticks"): {"codes": "list", "start_from": "str", "end_to": "str"},
    (Ticker, "_Ticker__notify_backfilling_finish"): {},
    (Ticker, "get_ticks_df"): {"code": "str", "market_type": "object", "start_from": "str", "end_to": "str"},
    (Ticker, "send_ticks"): {"codes": "list", "start_from": "str", "end_to": "str", "backfilling_start_from": "str",
                             "backfilling_end_to": "str"},
    (Ticker, "backfilling"): {"codes": "list", "start_from": "str", "end_to": "str"},
    (Ticker, "_Ticker__push_tick_to_queue"): {"df": "object"},
    (Ticker, "pop_tick"): {},
    (Ticker, "allow_next_tick"): {},
    (Ticker, "stop_send_ticks"): {},
}


class Reached(Exception):
    """Raised by the stand-in self: the call got past the argument binding into the body."""


class StandInSelf:
    def __getattribute__(self, name: str) -> Any:
        raise Reached(name)

    def __setattr__(self, name: str, value: Any) -> None:
        raise Reached(name)


def defaults_of(cls: type, key: str) -> Dict[str, Any]:
    function = cls.__dict__[key]
    names = list(METHODS[cls, key])
    defaults = function.__defaults__ or ()
    return dict(zip(names[len(names) - len(defaults):], defaults))


def cases(kind_of_case: str) -> List[Any]:
    found = []
    for (cls, key), params in METHODS.items():
        defaults = defaults_of(cls, key)
        for name, kind in params.items():
            method_id = f"{cls.__name__}.{key}.{name}"
            if kind_of_case == "refuses":
                refused = list(KINDS[kind]["refuses"])
                if kind in ("str", "int", "dict", "list") and not (name in defaults and defaults[name] is None):
                    refused.append((None, f"(expected {kind}, got NoneType)"))
                for value, message in refused:
                    if kind != "float":
                        message = f"Argument '{name}' has incorrect type {message}"
                    found.append(pytest.param(cls, key, name, value, message, id=f"{method_id}={value!r}"))
            else:
                taken = [KINDS[kind]["valid"], *KINDS[kind]["takes"]]
                if name in defaults and defaults[name] is None:
                    taken.append(None)
                for value in taken:
                    found.append(pytest.param(cls, key, name, value, id=f"{method_id}={value!r}"))
    return found


def call_with(cls: type, key: str, name: str, value: Any) -> None:
    """The method called with `value` for `name` and a valid value for every other parameter."""
    arguments = {param: KINDS[kind]["valid"] for param, kind in METHODS[cls, key].items()}
    arguments[name] = value
    getattr(cls, key)(StandInSelf(), **arguments)


def test_the_table_lists_every_method_and_parameter():
    for cls in (Matcher, Ticker):
        keys = [key for key, value in vars(cls).items() if callable(value)]
        assert [key for table_cls, key in METHODS if table_cls is cls] == keys
        for key in keys:
            parameters = list(vars(cls)[key].__signature__.parameters.values())
            declared = [p.name for p in parameters[1:] if p.kind is p.POSITIONAL_OR_KEYWORD]
            assert declared == list(METHODS[cls, key]), key


@pytest.mark.parametrize("cls, key, name, value, message", cases("refuses"))
def test_parameter_refuses_a_wrong_type(cls, key, name, value, message):
    with pytest.raises(TypeError) as raised:
        call_with(cls, key, name, value)
    assert str(raised.value) == message


@pytest.mark.parametrize("cls, key, name, value", cases("takes"))
def test_parameter_takes_its_type(cls, key, name, value):
    try:
        call_with(cls, key, name, value)
    except TypeError as error:  # the binder's refusals are all TypeErrors
        pytest.fail(f"refused: {error}")
    except Exception:  # the body ran and failed at the stand-in self or the placeholder values
        pass
