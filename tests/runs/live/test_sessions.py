"""Whole sessions through the stand-in broker: the hooks and reports a backtest gives, the
broker's state taken over on a restart, refusals with one line each, and a lost session."""

import pytest
from conftest import CODES, live_session, standin

from quorvel.backtest import OrderError, RiskCaps, RunSettings, Strategy
from quorvel.live import events


class Trader(Strategy):
    """Every `every`-th tick of a code: buy at the tick's price when flat, else sell at the
    market; every hook call is logged."""

    every = 25
    bar_seconds = 300

    def on_start(self):
        self.log, self.seen, self.refusals = [("start", self.now)], 0, []
        self.found = (self.working_orders(), {code: self.position(code) for code in CODES})

    def on_tick(self, tick):
        self.log.append(("tick", tick["timestamp"] == self.now))
        self.seen += 1
        if self.seen % self.every or self.working_orders(tick["code"]):
            return
        try:
            if self.position(tick["code"]) <= 0:
                self.buy(tick["code"], 1, tick["close"])
            else:
                self.sell(tick["code"], 1)
        except OrderError as error:
            self.refusals.append(str(error))

    def on_report(self, report):
        self.log.append(("report", report))

    def on_bar(self, bar):
        self.log.append(("bar", (bar["end"], self.now)))

    def on_end(self):
        self.log.append(("end", None))


@pytest.fixture(scope="module")
def whole_day():
    strategy = Trader()
    result, lines, api = live_session(strategy)
    return strategy, result, lines, api


def test_a_session_gives_the_hooks_and_reports_of_a_backtest(whole_day):
    strategy, result, lines, api = whole_day
    kinds = [entry[0] for entry in strategy.log]
    assert kinds[0] == "start" and kinds[-1] == "end"
    assert strategy.found == ([], {"2330": 0, "TXFR1": 0})
    assert all(same for kind, same in strategy.log if kind == "tick")  # now is the tick's time
    bars = [entry[1] for entry in strategy.log if entry[0] == "bar"]
    # Each bar once it is over: at its end, or at its session's close before it.
    assert len(bars) > 10 and all(end - 300 < now for end, now in bars)
    assert sum(end > now for end, now in bars) <= 4
    reports = [entry[1] for entry in strategy.log if entry[0] == "report"]
    deals = [report for report in reports if "operation_type" not in report]
    assert deals and len(reports) == len(result.reports) and strategy.refusals == []
    assert set(deals[0]) >= {"id", "code", "action", "quantity", "price", "exchange_ts"}
    news = {r["order"]["id"] for r in reports if r.get("operation_type") == "New"}
    assert {deal["id"] for deal in deals} <= news  # each deal after its order's New report
    held = {code: sum(d["quantity"] * (1 if d["action"] == "Buy" else -1)
                      for d in deals if d["code"] == code) for code in CODES}
    broker_held = {p.code: p.quantity for p in api.list_positions(api.stock_account)}
    assert held["2330"] == broker_held.get("2330", 0)
    summary = result.positions.summary()["positions"]
    assert {code: summary[code]["quantity"] for code in CODES if code in summary} == {
        code: lots for code, lots in held.items() if code in summary}
    assert result.live_ticks > 100 and result.stopped is None
    assert result.evaluate() is not None  # the backtest's figures are made of it


class FirstTickOrder(Strategy):
    """Sends one order at the first tick of 2330 (a limit `price` below the tick's, or at the
    market), `times` times, and keeps what was refused."""

    qty = 1
    offset = 0.0
    times = 1
    market = False

    def on_start(self):
        self.refusals, self.done = [], False

    def on_tick(self, tick):
        if self.done or tick["code"] != "2330":
            return
        self.done = True
        for _ in range(self.times):
            price = None if self.market else tick["close"] - self.offset
            try:
                self.buy("2330", self.qty, price)
            except OrderError as error:
                self.refusals.append(str(error))


@pytest.mark.parametrize("params, caps, knobs, refused", [
    ({"qty": 3}, RiskCaps(max_order=2), {}, "3 lots of 2330 is more than the largest order, 2"),
    ({"qty": 2}, RiskCaps(max_position=1), {},
     "2330's position could reach +2, beyond the largest position, 1"),
    ({"times": 3, "offset": 5.0}, RiskCaps(orders_per_minute=2), {},
     "2 order operations in the last minute already, the cap on orders per minute"),
    ({"offset": 0.5}, RiskCaps(), {}, "is not on 2330's price step"),
    ({}, RiskCaps(), {"refuse": lambda contract, order: "the stand-in takes no order"},
     "the broker refused place: "),
])
def test_an_order_the_caps_or_the_broker_refuse_is_one_line_and_sends_nothing(
        params, caps, knobs, refused):
    strategy = FirstTickOrder(**params)
    settings = RunSettings(caps=caps, capital=10_000_000)
    result, _, _ = live_session(strategy, settings, **knobs)
    assert len(strategy.refusals) == 1 and refused in strategy.refusals[0]
    assert "\n" not in strategy.refusals[0]
    sent = [operation for operation in result.operations if operation[0] == "add"]
    assert len(sent) == params.get("times", 1) - 1  # the refused one is not among them


class Loser(Trader):
    every = 3


def test_the_daily_loss_cap_stops_the_strategy_and_cancels_its_orders():
    strategy = Loser()
    result, lines, _ = live_session(strategy, RunSettings(caps=RiskCaps(max_daily_loss=500)))
    stop = [line for line in lines if line.startswith("strategy stopped: the day's loss")]
    assert len(stop) == 1 and "reached the daily loss cap of 500 NTD" in stop[0]
    assert strategy.refusals
    assert all(r.startswith("the strategy takes no more orders") for r in strategy.refusals)


class TakesOver(Strategy):
    """Finds what the broker held at its start, and cancels the working order it finds."""

    def on_start(self):
        self.found = [dict(order) for order in self.working_orders()]
        self.held = self.position("2330")
        self.cancelled = []
        for order in self.found:
            self.cancel(order["trade_id"])

    def on_report(self, report):
        if report.get("operation_type") == "Cancel":
            self.cancelled.append(report["order"]["id"])


def test_a_restart_takes_over_the_brokers_working_orders_and_positions():
    earlier = standin(positions={"2330": (2, 580.0)})
    order = events.order_of("Stock", "Buy", 1, 530.0, account=earlier.stock_account)
    left = earlier.place_order(earlier.Contracts.Stocks["2330"], order)
    earlier.logout()  # the same object logged in again is the broker a restart meets
    earlier.login("key", "secret")
    strategy = TakesOver()
    _, lines, _ = live_session(strategy, api=earlier)
    trade_id = str(left.order.id)
    assert [order["trade_id"] for order in strategy.found] == [trade_id]
    assert strategy.found[0]["quantity"] == 1 and strategy.found[0]["price"] == 530.0
    assert strategy.held == 2 and strategy.cancelled == [trade_id]
    assert lines[0] == "taken over from the broker: 2330 +2, TXFR1 +0; 1 working orders"


class Dropped(Strategy):
    """Loses the broker's session at the 20th tick of 2330 and tries an order at once, then
    orders again at the first tick of 2330 after the session is back (`back_in` seconds of
    the market's time later; 0: never)."""

    back_in = 600
    resting = False  # a limit buy under the market working when the session goes

    def on_start(self):
        self.seen, self.refusals, self.after = 0, [], []

    def on_tick(self, tick):
        if tick["code"] != "2330":
            return
        self.seen += 1
        if self.seen == 19 and self.resting:
            self.buy("2330", 1, tick["close"] - 5)
        if self.seen == 20:
            self.broker.drop_session(self.back_in or None)  # seconds of the market's time
        if self.seen == 20 or (self.seen > 20 and not self.after):
            try:
                self.after.append(self.buy("2330", 1))
            except OrderError as error:
                self.refusals.append(str(error))


@pytest.mark.parametrize("reconnects", [False, True])
def test_a_session_lost_for_good_ends_once_every_attempt_is_spent(reconnects):
    strategy = Dropped(back_in=0, resting=not reconnects)
    strategy.broker = standin()
    relogin = {"reconnect": strategy.broker.restore_session} if reconnects else {}
    result, lines, _ = live_session(strategy, RunSettings(broker_attempts=2, broker_wait=0.01),
                                    api=strategy.broker, session=relogin)
    if reconnects:  # logged in again at the first back-off's end
        assert lines[1] == "broker session back (logged in again)"
        assert result.stopped is None and len(strategy.after) == 1
    else:
        assert lines[1:] == ["broker session still lost after every attempt; the session ends",
                             "1 working orders left at the broker: its session is lost, so they "
                             "could not be cancelled"]
        assert result.stopped == "the broker's session was lost" and strategy.after == []


def test_a_lost_session_is_said_refuses_orders_and_comes_back():
    strategy = Dropped()
    strategy.broker = standin()
    result, lines, _ = live_session(strategy, api=strategy.broker)
    assert [line.split(" (")[0] for line in lines[:2]] == [
        "broker session lost", "broker session back"]
    assert lines[0].endswith("retrying with back-off")
    assert strategy.refusals == [
        "the broker refused place: ShioajiConnectionError: place_order: the session is down, "
        "reconnecting"]
    filled = [r for r in result.reports if "operation_type" not in r and r["id"] in strategy.after]
    assert filled and result.stopped is None


class Reworks(Strategy):
    """Rests 3 lots of 2330 at the day's lower limit, takes 1 off and moves it up a step at
    the next tick, and cancels the rest at the one after; the broker then reports a fill of
    1 lot that the cancellation outran."""

    def on_start(self):
        self.sent, self.ticks, self.operations = None, 0, []

    def on_tick(self, tick):
        if tick["code"] != "2330":
            return
        self.ticks += 1
        lower = self.limit_prices("2330")[0]
        if self.ticks == 1:
            self.sent = self.buy("2330", 3, lower)
        elif self.ticks == 2:
            self.modify(self.sent, qty=1, price=lower + self.tick_size("2330", lower))
        elif self.ticks == 3:
            self.cancel(self.sent)

    def on_report(self, report):
        if "operation_type" in report:
            order = report["order"]
            self.operations.append((report["operation_type"], order["quantity"], order["price"]))
            if report["operation_type"] == "Cancel":
                late = {"trade_id": self.sent, "action": "Buy", "code": "2330", "quantity": 1,
                        "order_cond": "Cash", "order_lot": "Common", "price": order["price"],
                        "ts": self.now - events.TAIPEI_OFFSET}
                self.broker._callbacks["order"]("SDEAL", late)  # as its thread would


def test_a_working_order_is_changed_and_cancelled_through_the_broker():
    strategy = Reworks()
    strategy.broker = standin()
    result, _, _ = live_session(strategy, RunSettings(capital=5_000_000), api=strategy.broker)
    assert result.positions.positions["2330"].quantity == 1  # the late fill counted
    assert strategy.operations == [("New", 3, 520.0), ("UpdateQty", 2, 520.0),
                                   ("UpdatePrice", 2, 521.0), ("Cancel", 2, 521.0)]
    assert [operation[0] for operation in result.operations] == ["add", "modify", "cancel"]
    assert result.account.working(strategy.sent) is None  # nothing held for it any more


@pytest.mark.parametrize("mode, account, offline, refusal", [
    (None, None, False, "say the session's mode"),
    ("live", None, False, "only through the account named"),
    ("live", "9999999", False, "would trade through account"),
    ("demo", None, True, "stand-in (StandInBroker) only"),
])
def test_a_session_that_could_reach_the_market_unasked_is_refused_before_any_call(
        mode, account, offline, refusal):
    import re

    from quorvel.backtest import BacktestError
    from quorvel.live.engine import LiveSession, run_live
    from quorvel.sim import SimulatedBroker

    api = SimulatedBroker(3, ticks_per_day=200) if offline else standin()
    strategy = Trader()
    with pytest.raises(BacktestError, match=re.escape(refusal)):
        run_live(api, CODES, strategy, RunSettings(), LiveSession(mode=mode, account=account))
    assert not hasattr(strategy, "log")  # on_start never ran
