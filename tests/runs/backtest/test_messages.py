"""The types of the dicts a strategy is handed (`Tick`, `OrderReport`, `DealReport`) against
the dicts of a real run, so that the two cannot drift apart."""

import datetime as dt
import typing

import pytest

from quorvel import market
from backtest_support import backtest

from quorvel.backtest import Strategy
from quorvel.backtest.messages import DealReport, OrderReport, ReportedOrder, Tick

# The keys that only the reports of one market carry.
ORDER_KEYS_OF_ONE_MARKET = {"Stock": {"order_cond", "order_lot"}, "Future": {"oc_type"}}
DEAL_KEYS_OF_ONE_MARKET = {"Stock": {"order_cond", "order_lot"}, "Future": set()}


class EveryKindOfMessage(Strategy):
    """Enters a market and a limit order on the fifth live tick of each code, then changes the
    limit order's price and cancels it: every kind of report, stock and futures."""

    def on_start(self):
        self.ticks, self.reports, self.live, self.resting = [], [], {}, {}

    def warm_up(self, tick):
        self.ticks.append(tick)

    def on_tick(self, tick):
        self.ticks.append(tick)
        code = tick["code"]
        count = self.live[code] = self.live.get(code, 0) + 1
        lower, _ = self.limit_prices(code)
        if count == 5:
            self.buy(code, 1)
            self.resting[code] = self.buy(code, 1, lower)
        elif count == 10:
            self.modify(self.resting[code], price=lower + self.tick_size(code, lower))
            self.cancel(self.resting[code])

    def on_report(self, report):
        self.reports.append(report)


@pytest.fixture(scope="module", params=["replay", "paced"])
def messages(request, ticker_built, tmp_path_factory):
    strategy = EveryKindOfMessage()
    # Capital with room for the stock's two orders and the futures' margin.
    backtest(tmp_path_factory.mktemp("data"), strategy, market_seed=0, ticks_per_day=50,
             period=("2024-01-08", "2024-01-08"), engine=request.param, capital=3_000_000)
    orders = [report for report in strategy.reports if "operation_type" in report]
    deals = [report for report in strategy.reports if "operation_type" not in report]
    return strategy.ticks, orders, deals


def conforms(value, hint):
    """Whether `value` is of the annotated type, nested TypedDicts checked key by key."""
    origin = typing.get_origin(hint)
    if origin is typing.Literal:
        return value in typing.get_args(hint)
    if origin is typing.Union:
        return any(conforms(value, option) for option in typing.get_args(hint))
    if hasattr(hint, "__required_keys__"):  # a TypedDict
        return holds_its_keys(value, hint)
    return type(value) is hint


def holds_its_keys(value, typed_dict):
    """Every required key, only known keys, each value of its type."""
    hints = typing.get_type_hints(typed_dict)
    keys = set(value)
    return typed_dict.__required_keys__ <= keys <= set(hints) and all(
        conforms(value[key], hints[key]) for key in keys
    )


class TestTheTypesDescribeTheDicts:
    def test_every_tick_has_exactly_the_keys_and_types_of_tick(self, messages):
        ticks, _, _ = messages
        assert {tick["is_backfilling"] for tick in ticks} == {True, False}
        assert {tick["market_type"] for tick in ticks} == {"Stock", "Future"}
        for tick in ticks:
            assert set(tick) == Tick.__required_keys__ and holds_its_keys(tick, Tick), tick

    def test_every_order_report_conforms_and_has_its_markets_keys(self, messages):
        ticks, orders, _ = messages
        markets = {tick["code"]: tick["market_type"] for tick in ticks}
        operations = {str(report["operation_type"]) for report in orders}
        assert operations == {"New", "UpdatePrice", "Cancel"}
        for report in orders:
            assert set(report) == OrderReport.__required_keys__
            assert holds_its_keys(report, OrderReport), report
            market_only = set(report["order"]) - ReportedOrder.__required_keys__
            assert market_only == ORDER_KEYS_OF_ONE_MARKET[markets[report["order"]["code"]]]
        seen = set().union(*(report["order"] for report in orders))
        assert seen == set(typing.get_type_hints(ReportedOrder))

    def test_every_deal_report_conforms_and_has_its_markets_keys(self, messages):
        ticks, _, deals = messages
        markets = {tick["code"]: tick["market_type"] for tick in ticks}
        assert {markets[report["code"]] for report in deals} == {"Stock", "Future"}
        for report in deals:
            assert holds_its_keys(report, DealReport), report
            market_only = set(report) - DealReport.__required_keys__
            assert market_only == DEAL_KEYS_OF_ONE_MARKET[markets[report["code"]]]
        assert set().union(*deals) == set(typing.get_type_hints(DealReport))

    def test_a_tick_time_read_as_utc_shows_the_exchanges_wall_clock(self, messages):
        ticks, _, _ = messages
        for tick in ticks:
            clock = dt.datetime.fromtimestamp(tick["timestamp"], dt.timezone.utc).replace(tzinfo=None)
            session = market.session_at(tick["code"], clock)
            assert session is not None and session.opens <= clock <= session.closes, tick


def test_the_strategy_hooks_are_annotated_with_the_types():
    hooks = {
        name: typing.get_type_hints(getattr(Strategy, name)) for name in ("warm_up", "on_tick")
    }
    assert hooks == {name: {"tick": Tick, "return": type(None)} for name in hooks}
    on_report = typing.get_type_hints(Strategy.on_report)["report"]
    assert set(typing.get_args(on_report)) == {OrderReport, DealReport}
