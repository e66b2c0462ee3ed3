"""set_current_tick's table update and the attributes the tick's road reads are done natively
while nothing could tell: the outcome is the steps' own for any tick, and every rebinding, every
subclass and every replaced entry is obeyed, also after ticks have gone through."""

import contextlib
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel.modules.matcher.matcher import Matcher
from quorvel.modules.positions.positions import Positions

from matcher_support import stock_order, take_reports


@contextlib.contextmanager
def steps_as_written():
    """A profile function is set: every shortcut is off and the steps run as written."""
    sys.setprofile(lambda frame, event, arg: None)
    try:
        yield
    finally:
        sys.setprofile(None)


def tick(code="2330", timestamp=1.0, close=100.0):
    return {"code": code, "timestamp": timestamp, "close": close}


def table(matcher):
    """The tick table, each tick named by its object's identity."""
    return {code: (record["ts"], id(record["tick"])) for code, record in matcher.current_tick_infos.items()}


TICKS = st.lists(
    st.fixed_dictionaries(
        {"code": st.sampled_from(["2330", "TXFR1", "2317"]), "close": st.floats(1.0, 1e6)},
        optional={"timestamp": st.one_of(st.floats(allow_nan=False), st.integers(), st.none())},
    ),
    max_size=12,
)


@settings(max_examples=60, deadline=None)
@given(ticks=TICKS)
def test_any_ticks_leave_the_table_and_the_prices_the_steps_leave(ticks):
    outcomes = []
    for run in (contextlib.nullcontext, steps_as_written):
        matcher = Matcher()
        errors = []
        with run():
            for given_tick in ticks:
                try:
                    matcher.set_current_tick(given_tick)
                except KeyError as error:
                    errors.append(str(error))
        outcomes.append((table(matcher), dict(matcher.positions.last_prices), errors))
        matcher.close()
    assert outcomes[0] == outcomes[1]


class Recorded(dict):
    """A dict subclass that records the reads and writes the steps make of it."""

    def __init__(self, *args, log):
        super().__init__(*args)
        self.log = log

    def __contains__(self, key):
        self.log.append(("in", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append(("get", key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append(("set", key))
        super().__setitem__(key, value)


@pytest.fixture
def ticked(console, logger):
    """A matcher that has had a tick of 2330, so that what it reads is remembered."""
    matcher = Matcher()
    matcher.set_current_tick(tick(timestamp=1.0))
    yield matcher
    matcher.close()


class TestRebindingIsObeyed:
    def test_a_table_that_is_a_dict_subclass(self, ticked):
        log = []
        ticked.current_tick_infos = Recorded(ticked.current_tick_infos, log=log)
        ticked.set_current_tick(tick(timestamp=2.0))
        assert log == [("in", "2330"), ("get", "2330"), ("get", "2330")]

    def test_a_record_that_is_a_dict_subclass(self, ticked):
        log = []
        ticked.current_tick_infos["2330"] = Recorded(ticked.current_tick_infos["2330"], log=log)
        ticked.set_current_tick(tick(timestamp=2.0))
        assert log == [("set", "tick"), ("set", "ts")]

    def test_a_table_rebound_after_ticks(self, ticked):
        ticked.current_tick_infos = {"2330": {"ts": None, "tick": None}}
        second = tick(timestamp=2.0)
        ticked.set_current_tick(second)
        assert ticked.current_tick_infos == {"2330": {"ts": 2.0, "tick": second}}

    def test_a_table_that_a_subclass_keeps_elsewhere(self, console, logger):
        class Elsewhere(Matcher):
            tables = {}

            @property
            def current_tick_infos(self):
                return self.tables

            @current_tick_infos.setter
            def current_tick_infos(self, value):
                pass

        matcher = Elsewhere()
        matcher.set_current_tick(tick(timestamp=3.0))
        assert Elsewhere.tables["2330"]["ts"] == 3.0
        matcher.close()

    def test_a_released_tick_that_rebinds_the_table_on_its_way_out(self, ticked):
        class Rebinds:
            def __del__(self):
                ticked.current_tick_infos = {"2330": {"ts": None, "tick": None}}

        ticked.set_current_tick({**tick(timestamp=2.0), "note": Rebinds()})
        third = tick(timestamp=3.0)
        ticked.set_current_tick(third)  # releases the tick holding the note, between two steps
        assert ticked.current_tick_infos == {"2330": {"ts": 3.0, "tick": None}}

    def test_a_record_entry_replaced_after_ticks(self, ticked):
        class Rebinds:
            def __del__(self):
                ticked.current_tick_infos = {"2330": {"ts": None, "tick": None}}

        ticked.set_current_tick(tick(timestamp=2.0))  # what the update wrote is remembered
        ticked.current_tick_infos["2330"]["tick"] = {"note": Rebinds()}
        ticked.set_current_tick(tick(timestamp=3.0))
        assert ticked.current_tick_infos == {"2330": {"ts": 3.0, "tick": None}}

    def test_a_released_tick_holding_one_object_twice_that_rebinds_the_table(self, ticked):
        class Rebinds:
            def __del__(self):
                ticked.current_tick_infos = {"2330": {"ts": None, "tick": None}}

        note = Rebinds()
        ticked.set_current_tick({**tick(timestamp=2.0), "note": note, "again": note})
        del note  # the tick alone holds it now, twice
        ticked.set_current_tick(tick(timestamp=3.0))
        assert ticked.current_tick_infos == {"2330": {"ts": 3.0, "tick": None}}

    def test_a_code_made_where_a_released_code_was(self, ticked):
        """A caller that feeds one dict again with each code: the update remembers the code of
        the last tick it wrote, and a str of another code made later must not be taken for it
        (strs are made until one sits at the released one's address, if any can)."""
        ticked.set_current_tick(tick("2317", timestamp=1.0))
        fed = tick(timestamp=2.0)
        fed["code"] = "".join(["23", "30"])
        ticked.set_current_tick(fed)
        address = id(fed["code"])
        fed["code"] = "TXFR1"  # the 2330 str made above goes
        made = ["".join(["23", "17"])]
        while len(made) < 1000 and id(made[-1]) != address:
            made.append("".join(["23", "17"]))
        fed["code"], fed["timestamp"] = made[-1], 3.0
        ticked.set_current_tick(fed)
        assert {code: record["ts"] for code, record in ticked.current_tick_infos.items()} == {
            "2330": 2.0, "2317": 3.0}

    def test_a_table_property_put_on_the_class_after_ticks(self, ticked, monkeypatch):
        table = {}
        monkeypatch.setattr(Matcher, "current_tick_infos", property(lambda self: table), raising=False)
        ticked.set_current_tick(tick(timestamp=4.0))
        assert table["2330"]["ts"] == 4.0

    def test_a_prices_property_put_on_the_keeper_class_after_ticks(self, ticked, monkeypatch):
        prices = {}
        monkeypatch.setattr(Positions, "last_prices", property(lambda self: prices), raising=False)
        ticked.set_current_tick(tick(close=104.5))
        assert prices == {"2330": 104.5}

    def test_a_position_keeper_rebound_after_ticks(self, ticked):
        keeper = Positions()
        ticked.positions = keeper
        ticked.set_current_tick(tick(close=101.5))
        assert keeper.last_prices == {"2330": 101.5}

    def test_last_prices_rebound_after_ticks(self, ticked):
        prices = {}
        ticked.positions.last_prices = prices
        ticked.set_current_tick(tick(close=102.5))
        assert prices == {"2330": 102.5}

    def test_an_instance_method_of_the_keeper_set_after_ticks(self, ticked):
        seen = []
        ticked.positions.set_current_tick = seen.append
        second = tick(close=103.5)
        ticked.set_current_tick(second)
        assert seen == [second] and ticked.positions.last_prices == {"2330": 100.0}

    def test_a_book_rebound_after_ticks(self, ticked):
        ticked.match_deal("2330", 101.0, 5, 1.0)  # the empty book is remembered
        ticked.add_order(**stock_order(qty=1))
        take_reports(ticked)
        book = ticked.pending_orders
        ticked.pending_orders = []
        ticked.match_deal("2330", 99.0, 5, 1.0)
        assert take_reports(ticked) == []
        ticked.pending_orders = book
        ticked.match_deal("2330", 99.0, 5, 1.0)
        assert [report["quantity"] for report in take_reports(ticked)] == [1]


def test_a_quantity_too_large_for_a_long_long_is_no_negative_one(ticked):
    ticked.match_deal("2330", 99.0, 10**30, 1.0)
    with pytest.raises(Exception, match="不可小於 0"):
        ticked.match_deal("2330", 99.0, -(10**30), 1.0)


def test_positional_and_keyword_calls_bind_alike(console, logger):
    positional, keywords = Matcher(), Matcher()
    for matcher in (positional, keywords):
        matcher.add_order(**stock_order(qty=2, price=100.0))
    positional.match_deal("2330", 99.0, 5, 1.0)
    keywords.match_deal(code="2330", tick_close=99.0, tick_qty=5, tick_ts=1.0)

    class Price(float):
        pass

    for matcher in (positional, keywords):
        matcher.match_deal("2330", Price(98.0), 5, 2)  # converted by the binder: nothing to fill
    deals = [[(report["price"], report["quantity"]) for report in take_reports(matcher)
              if "operation_type" not in report] for matcher in (positional, keywords)]
    assert deals[0] == deals[1] and len(deals[0]) == 1
    positional.close()
    keywords.close()
