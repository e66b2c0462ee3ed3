"""The stand-in broker: its streams follow the offline broker's day, its exchange fills, refuses,
changes and cancels orders with the broker's event layouts, and it loses a session, survives a
restart and holds its calls to the published rate limits.  The engine's runs exercise it end to
end; these pin what those runs take for granted."""

import datetime as dt
import threading

import pytest
import shioaji as sj

from quorvel.live.standin import RateLimitExceeded, StandInBroker
from quorvel.market import broker_nanoseconds

DAY = "2024-03-04"
WAIT = 10.0


class Session:
    """A stand-in stepped by hand from 09:00 with 2330's market running, logged in, every
    callback recorded."""

    def __init__(self, **knobs):
        self.api = StandInBroker(DAY, speed=None, start="09:00", codes=["2330"], **knobs)
        self.events, self.ticks, self.quotes, self.orders = [], [], [], []
        self.api.quote.set_event_callback(lambda *event: self.events.append(event))
        self.api.set_on_tick_stk_v1_callback(lambda exchange, tick: self.ticks.append(tick))
        self.api.set_on_tick_fop_v1_callback(lambda exchange, tick: self.ticks.append(tick))
        self.api.set_on_bidask_stk_v1_callback(lambda exchange, quote: self.quotes.append(quote))
        self.api.set_order_callback(lambda state, msg: self.orders.append((state, msg)))
        self.api.login("key", "secret")
        self.stock = self.api.Contracts.Stocks["2330"]

    def buy(self, price, quantity, kind="ROD", price_type="LMT"):
        order = sj.StockOrder(action="Buy", price=price, quantity=quantity, price_type=price_type,
                              time_in_force=kind, account=self.api.stock_account)
        return self.api.place_order(self.stock, order)

    def upcoming(self):
        """2330's ticks of the offline day after the clock: (close, volume, ask volume)."""
        source = next(c for c in self.api.source.contracts if c.code == "2330")
        day, after = self.api.source.ticks(source, DAY), broker_nanoseconds(self.api.now)
        return [(c, v, ask) for ts, c, v, ask in zip(day.ts, day.close, day.volume,
                                                    day.ask_volume) if ts > after]


@pytest.fixture
def session():
    return Session()


def test_the_streams_play_the_offline_day_in_time_order_with_the_broker_layouts(session):
    api = session.api
    api.subscribe(session.stock, "tick")
    api.quote.subscribe(session.stock, sj.QuoteType.BidAsk)
    api.subscribe(api.Contracts.Futures.TXF.TXFR1, "tick")
    expected = [(close, volume) for close, volume, _ in session.upcoming()[:50]]
    assert api.step(200) == 200
    stock_ticks = [tick for tick in session.ticks if tick.code == "2330"]
    assert [(float(t.close), t.volume) for t in stock_ticks][:50] == expected
    moments = [tick.datetime for tick in session.ticks]
    assert moments == sorted(moments) and {t.code for t in session.ticks} == {"2330", "TXFR1"}
    last = stock_ticks[-1]
    assert float(last.price_chg) == pytest.approx(float(last.close) - session.stock.reference)
    assert float(last.high) == max(float(t.close) for t in stock_ticks)
    assert len(session.quotes) == len(stock_ticks)
    for quote, tick in zip(session.quotes, stock_ticks):  # each trade at the bid or the ask
        assert quote.bid_price[0] < quote.ask_price[0]
        assert tick.close in (quote.bid_price[0], quote.ask_price[0])
    api.unsubscribe(api.Contracts.Futures["TXFR1"], "tick")
    streamed = len(session.ticks)
    api.step(200)
    assert {tick.code for tick in session.ticks[streamed:]} == {"2330"}
    assert [event[1:] for event in session.events] == [
        (0, "host stand-in (local)", "Session up"),
        (16, "TIC/v1/STK/*/TSE/2330", "Subscribe or Unsubscribe ok"),
        (16, "QUO/v1/STK/*/TSE/2330", "Subscribe or Unsubscribe ok"),
        (16, "TIC/v1/FOP/*/TFE/TXFR1", "Subscribe or Unsubscribe ok"),
        (16, "TIC/v1/FOP/*/TFE/TXFR1", "Subscribe or Unsubscribe ok"),
    ]


@pytest.mark.parametrize("kind", ["ROD", "IOC", "FOK"])
def test_an_order_fills_on_the_ticks_after_it_at_their_prices_and_volumes(session, kind):
    quantity = 200
    upcoming = session.upcoming()
    trade = session.buy(session.stock.limit_up, quantity, kind)
    session.api.step(3000)
    (close, volume, asked), later = upcoming[0], upcoming[1:]
    first = min(quantity, volume + asked)  # the first tick also takes the ask's volume
    expected = [] if kind == "FOK" and first < quantity else [(close, first)]
    left = quantity - first if kind == "ROD" else 0
    for close, volume, _ in later:
        if not left:
            break
        expected.append((close, min(left, volume)))
        left -= expected[-1][1]
    deals = [msg for state, msg in session.orders if state == sj.OrderState.StockDeal]
    assert [(deal["price"], deal["quantity"]) for deal in deals] == expected
    assert {deal["trade_id"] for deal in deals} <= {trade.order.id}
    status = trade.status
    assert status.deal_quantity == sum(q for _, q in expected) == sum(
        deal.quantity for deal in status.deals)
    assert status.status == (sj.OrderStatus.Filled if status.deal_quantity == quantity
                             else sj.OrderStatus.Cancelled)
    held = [(p.code, p.quantity) for p in session.api.list_positions()]
    assert held == ([("2330", status.deal_quantity)] if status.deal_quantity else [])


# The keys of the broker's documented order and deal events (docs/live.md names the pages).
DOCUMENTED = {
    "SORDER": {"operation": {"op_type", "op_code", "op_msg"},
               "order": {"id", "seqno", "ordno", "account", "action", "price", "quantity",
                         "order_type", "price_type", "order_cond", "order_lot", "custom_field"},
               "status": {"id", "exchange_ts", "modified_price", "cancel_quantity",
                          "order_quantity", "web_id"},
               "contract": {"security_type", "exchange", "code", "symbol", "name", "currency"}},
    "SDEAL": {"trade_id", "seqno", "ordno", "exchange_seq", "broker_id", "account_id", "action",
              "code", "order_cond", "order_lot", "price", "quantity", "web_id", "custom_field",
              "ts"},
    "FORDER": {"operation": {"op_type", "op_code", "op_msg"},
               "order": {"id", "seqno", "ordno", "account", "action", "price", "quantity",
                         "order_type", "price_type", "market_type", "oc_type", "subaccount",
                         "combo"},
               "status": {"id", "exchange_ts", "modified_price", "cancel_quantity",
                          "order_quantity", "web_id"},
               "contract": {"security_type", "code", "exchange", "delivery_month", "full_code",
                            "delivery_date", "strike_price", "option_right"}},
    "FDEAL": {"trade_id", "seqno", "ordno", "exchange_seq", "action", "code", "price",
              "quantity", "subaccount", "security_type", "delivery_month", "ts", "broker_id",
              "account_id", "full_code", "strike_price", "option_right", "market_type", "combo"},
}


def test_the_order_and_deal_events_have_the_documented_layouts(session):
    future = session.api.Contracts.Futures["TXFR1"]
    session.buy(0, 1, price_type="MKT")
    session.api.place_order(future, sj.FuturesOrder(action="Sell", price=0, quantity=1,
                                                    price_type="MKT", time_in_force="IOC"))
    session.api.step(300)
    layouts = {}
    for state, msg in session.orders:
        assert msg.pop("event_id").startswith("v1:")
        parts = {key: set(value) for key, value in msg.items() if isinstance(value, dict)}
        layouts[state.value] = parts or set(msg)
    assert layouts == {state: DOCUMENTED[state] for state in layouts} and len(layouts) == 4
    deal = next(msg for state, msg in session.orders if state == sj.OrderState.FuturesDeal)
    assert (deal["code"], deal["full_code"], deal["security_type"]) == ("TXF", "TXFR1", "FUT")


def test_a_position_closed_is_booked_and_a_resting_order_waits_until_cancelled(session):
    session.buy(0, 2, price_type="MKT")
    session.api.step(500)
    sell = sj.StockOrder(action="Sell", price=0, quantity=2, price_type="MKT", time_in_force="ROD")
    sold = session.api.place_order(session.stock, sell)
    resting = session.buy(session.stock.limit_down, 3)
    session.api.step(500)
    bought = session.api.list_trades()[0]
    paid = sum(deal.price * deal.quantity for deal in bought.status.deals)
    got = sum(deal.price * deal.quantity for deal in sold.status.deals)
    booked = session.api.list_profit_loss()
    assert sum(entry.pnl for entry in booked) == pytest.approx((got - paid) * 1000)
    assert sum(entry.quantity for entry in booked) == 2
    assert session.api.list_positions() == [] and resting.status.status == sj.OrderStatus.Submitted
    session.api.update_order(resting, qty=1)
    session.api.update_order(resting, price=session.stock.limit_down + 0.5)
    session.api.update_order(resting, price=1000.0)  # refused: above the day's limit
    session.api.cancel_order(resting)
    session.api.step(0)
    operations = [(msg["operation"]["op_type"], msg["operation"]["op_code"],
                   msg["status"]["order_quantity"],
                   msg["status"]["cancel_quantity"],
                   msg["status"]["modified_price"] or msg["order"]["price"])
                  for state, msg in session.orders
                  if state == sj.OrderState.StockOrder and msg["order"]["id"] == resting.order.id]
    low = session.stock.limit_down
    assert operations == [("New", "00", 3, 0, low), ("UpdateQty", "00", 2, 1, low),
                          ("UpdatePrice", "00", 2, 1, low + 0.5),
                          ("UpdatePrice", "88", 2, 1, low + 0.5),
                          ("Cancel", "00", 0, 3, low + 0.5)]
    assert resting.status.status == sj.OrderStatus.Cancelled


@pytest.mark.parametrize("price, knob, message", [
    (700.0, None, "price 700 outside the day's limits 466.5 to 569"),
    (518.5, None, "518.5 is not on 2330's price step 1; 518 or 519"),
    (518.0, lambda contract, order: "no orders today", "no orders today"),
])
def test_a_refused_order_answers_as_a_failed_one(price, knob, message):
    session = Session(refuse=knob)
    trade = session.buy(price, 1)
    session.api.step(100)
    assert (trade.status.status, trade.status.msg) == (sj.OrderStatus.Failed, message)
    ((state, msg),) = session.orders
    assert (msg["operation"]["op_code"], msg["operation"]["op_msg"]) == ("88", message)
    assert trade.status.deals == []


def test_a_lost_session_loses_its_events_but_not_its_fills_and_comes_back(session):
    api = session.api
    api.set_session_down_callback(lambda: session.events.append("down"))
    api.subscribe(session.stock, "tick")
    api.step(20)
    trade = session.buy(session.stock.limit_up, 5)
    lost_at = api.now
    api.drop_session(seconds=600)
    for call in (lambda: session.buy(session.stock.limit_up, 1), api.login):
        with pytest.raises(sj.ShioajiConnectionError):
            call()
    ticks_before = len(session.ticks)
    api.step(2000)
    assert [e if e == "down" else e[1] for e in session.events[-3:]] == ["down", 12, 13]
    back = session.ticks[ticks_before:]
    assert back and min(t.datetime for t in back) >= lost_at + dt.timedelta(seconds=600)
    assert trade.status.status == sj.OrderStatus.Filled
    assert [state for state, _ in session.orders] == [sj.OrderState.StockOrder]  # deals lost
    api.update_status(api.stock_account)
    assert api.list_trades() == [trade]


def test_a_restart_finds_the_working_orders_and_positions_after_update_status():
    session = Session(positions={"2330": (3, 510.0)})
    filled, working = session.buy(0, 1, price_type="MKT"), session.buy(session.stock.limit_down, 2)
    session.api.step(300)
    session.api.logout()
    with pytest.raises(sj.ShioajiError):
        session.api.list_positions()
    session.api.login("key", "secret")
    assert session.api.list_trades() == []
    session.api.update_status()
    assert session.api.list_trades() == [filled, working]
    (held,) = session.api.list_positions()
    bought = filled.status.deals[0].price
    assert (held.code, held.quantity, held.yd_quantity) == ("2330", 4, 3)
    assert held.price == pytest.approx((3 * 510.0 + bought) / 4)


def test_calls_over_the_published_rate_are_refused_and_the_group_is_suspended(session):
    session.api.step(10)
    for _ in range(25):
        session.api.list_positions()
    with pytest.raises(RateLimitExceeded, match="more than 25 accounting calls in 5 s"):
        session.api.list_profit_loss()
    session.buy(session.stock.limit_down, 1)  # another group still answers
    suspended_at = session.api.now
    while (session.api.now - suspended_at).total_seconds() < 60:
        with pytest.raises(RateLimitExceeded, match="suspended until"):
            session.api.list_positions()
        session.api.step(1)
    assert session.api.list_positions() == []


def test_the_day_plays_on_the_stand_ins_own_thread_paced_and_to_its_end():
    paced, threads = [], set()
    api = StandInBroker(DAY, speed=50_000, start="13:40", pace=lambda: paced.append(1))
    api.set_on_tick_fop_v1_callback(lambda exchange, tick: threads.add(threading.get_ident()))
    api.login()
    api.subscribe(api.Contracts.Futures["TXFR1"], "tick")
    try:
        assert api.finished.wait(WAIT)
    finally:
        api.close()
    assert threads and threading.get_ident() not in threads
    assert len(paced) >= len(api.ticks(api.Contracts.Futures["TXFR1"],
                                       query_type="RangeTime", time_start="13:40",
                                       time_end="13:45").ts) > 0


def test_history_is_cut_at_the_clock_on_the_played_day(session):
    session.api.step(100)
    played = session.api.ticks(session.stock)
    assert played.ts[-1] == broker_nanoseconds(session.api.now) and len(played.ts) == 100
    last = session.api.ticks(session.stock, query_type="LastCount", last_cnt=3)
    assert last.close == played.close[-3:]
    bars = session.api.kbars(session.stock, start=DAY, end=DAY)
    assert sum(bars.Volume) == sum(played.volume) and bars.Close[-1] == played.close[-1]
    assert all(ts % (60 * 10**9) == 0 for ts in bars.ts) and bars.ts == sorted(bars.ts)
