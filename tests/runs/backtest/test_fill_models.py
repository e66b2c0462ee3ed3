"""The fill models in whole runs: both engines alike under each, an order on its way for the
run's latency, the call auctions' refusals, and what no fill may ever do."""

import random
from datetime import time

import pytest
from backtest_support import backtest, masked
from quorvel.examples.market_maker import MarketMaker
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import OrderError, Strategy

pytestmark = pytest.mark.usefixtures("engines_built")

MODELS = ["queue", "queue-prob", "touch"]


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize(
    "strategy",
    [MeanReversion(ma=20, band=0.0005, every=10, lot=2, max_position=4, rod_ttl=30),
     MarketMaker(spread=1, requote=1, every=5, lot=2, max_position=4)],
    ids=lambda s: type(s).__name__,
)
def test_both_engines_give_the_same_reports_under_every_model(data_dir, strategy, model):
    runs = [backtest(data_dir, strategy, engine=engine, window=4, fill_model=model,
                     latency_ms=137.0) for engine in ("replay", "paced")]
    assert len(runs[0].reports) > 20
    assert masked(runs[0].reports) == masked(runs[1].reports)
    assert runs[0].timeline == runs[1].timeline


class Recording(Strategy):
    """Records each tick of 2330 with the quote standing after it."""

    def on_start(self):
        self.seen, self.sent, self.warned = [], {}, []

    def on_tick(self, tick):
        if tick["code"] == "2330":
            self.seen.append((tick, self.quote("2330")))
            self.act(tick, self.seen[-1][1])

    def act(self, tick, quote):
        pass


class RandomOrders(Recording):
    """Random market and limit orders around the quote, a few cancelled."""

    def on_start(self):
        super().on_start()
        self.random, self.sent_at = random.Random(7), {}

    def act(self, tick, quote):
        if self.random.random() > 0.1:
            return
        position = self.position("2330")
        action = "Sell" if position > 2 else "Buy" if position < -2 else self.random.choice(
            ["Buy", "Sell"])
        if self.random.random() < 0.3:
            self._send(action, quote)
            return
        price = tick["close"]
        for _ in range(self.random.randint(0, 2)):  # steps up or down, each of its own size
            price = self.random.choice([price + self.tick_size("2330", price),
                                        price - self.tick_size("2330", price - 0.01)])
        self._send(action, quote, price, self.random.choice(["ROD", "ROD", "IOC", "FOK"]))
        for order in self.working_orders("2330")[:-3]:
            self.cancel(order["trade_id"])

    def _send(self, action, quote, price=None, kind=None):
        operation = self.buy if action == "Buy" else self.sell
        trade_id = operation("2330", 1, price, kind)
        self.sent[trade_id] = ("MKT" if price is None else price, quote)
        self.sent_at[trade_id] = len(self.seen) - 1


class JoinsTheBid(Recording):
    """Keeps one lot bid at the best bid while flat, and offered at the best ask while long."""

    def act(self, tick, quote):
        if not quote["bid_price"] or self.working_orders("2330"):
            return
        if self.position("2330") <= 0:
            self.buy("2330", 1, quote["bid_price"])
        else:
            self.sell("2330", 1, quote["ask_price"])


def deals_of(result):
    return [report for report in result.reports if "operation_type" not in report]


@pytest.fixture(scope="module")
def random_run(engines_built, data_dir):
    strategy = RandomOrders()
    result = backtest(data_dir, strategy, codes=["2330"], latency_ms=0.0, fill_model="queue",
                      account_rules=False, ticks_per_day=2000)
    return result, strategy


def test_no_fill_is_better_than_its_limit_or_the_quote_it_took(random_run):
    result, strategy = random_run
    deals = deals_of(result)
    assert len(deals) > 20
    for deal in deals:
        limit, quote = strategy.sent[deal["id"]]
        buy = deal["action"] == "Buy"
        if limit == "MKT":  # taken at the quote standing when it arrived, or at a later trade
            standing = quote["ask_price"] if buy else quote["bid_price"]
            assert (deal["price"] >= standing) if buy else (deal["price"] <= standing), deal
        else:
            assert (deal["price"] <= limit) if buy else (deal["price"] >= limit), deal


def resting_fills(result, strategy):
    """The deals of limit orders that did not reach the quote when sent, each with the ticks and
    quotes from the one after its sending to the one it filled at, and the quote it was sent
    under."""
    moments = [tick["timestamp"] for tick, _ in strategy.seen]
    for deal in deals_of(result):
        limit, quote = strategy.sent[deal["id"]]
        buy = deal["action"] == "Buy"
        other = quote["ask_price"] if buy else quote["bid_price"]
        if limit == "MKT" or (other and ((limit >= other) if buy else (limit <= other))):
            continue
        sent = strategy.sent_at[deal["id"]]
        filled = moments.index(deal["exchange_ts"], sent + 1)
        yield deal, limit, quote, strategy.seen[sent + 1 : filled + 1]


def test_a_resting_fill_waits_for_its_queue_and_never_exceeds_a_trade(random_run):
    result, strategy = random_run
    per_tick, checked = {}, 0
    for deal, limit, quote, seen in resting_fills(result, strategy):
        ticks = [tick for tick, _ in seen]
        buy, fill_tick = deal["action"] == "Buy", ticks[-1]
        through = (fill_tick["close"] < limit) if buy else (fill_tick["close"] > limit)
        assert through or fill_tick["close"] == limit, deal
        per_tick[fill_tick["timestamp"]] = per_tick.get(fill_tick["timestamp"], 0) + 1
        if any((tick["close"] < limit) if buy else (tick["close"] > limit) for tick in ticks):
            continue
        # Never filled at its price before as much traded there as was displayed ahead of it,
        # or shown later at its price (those ahead may have left meanwhile).
        side, volume = ("bid_price", "bid_volume") if buy else ("ask_price", "ask_volume")
        shown = [there[volume] if there[side] == limit else 0 if (there[side] < limit) == buy
                 else None for there in [quote] + [later for _, later in seen[:-1]]]
        ahead = min([volume for volume in shown if volume is not None], default=0)
        traded_there = sum(tick["qty"] for tick in ticks if tick["close"] == limit)
        assert traded_there >= ahead + deal["quantity"], deal
        checked += 1
    assert checked >= 8, checked
    traded = {tick["timestamp"]: tick["qty"] for tick, _ in strategy.seen}
    assert all(count <= traded[moment] for moment, count in per_tick.items())


def test_joining_the_bid_never_earns_more_in_a_queue_than_on_touch(data_dir):
    net = {model: backtest(data_dir, JoinsTheBid(), codes=["2330"], fill_model=model,
                           latency_ms=0.0, ticks_per_day=600).evaluate().total
           for model in MODELS}
    assert net["touch"].fills >= net["queue"].fills > 0
    # before costs: waiting in the queue fills fewer orders, and those the market ran through
    assert max(net["queue"].realized, net["queue-prob"].realized) <= net["touch"].realized


class LateOrders(Recording):
    """Sends a market buy at its first tick and cancels it with the second; a minute before the
    closing call it sends a market order and a limit order that arrive in the call."""

    def act(self, tick, quote):
        seen = len(self.seen)
        if seen == 1:
            self.first = self.buy("2330", 1)
            self.sent_at = tick["timestamp"]
        elif seen == 2:
            self.cancel(self.first)
        if time(13, 24, 5) <= self.clock.time() < time(13, 25) and not hasattr(self, "refusal"):
            with pytest.raises(OrderError) as refused:
                self.buy("2330", 1)
            self.refusal = str(refused.value)
            self.in_call = self.buy("2330", 1, self.limit_prices("2330")[1])


def test_an_order_reaches_the_exchange_after_the_latency_and_a_call_takes_limits_only(data_dir):
    strategy = LateOrders()
    result = backtest(data_dir, strategy, codes=["2330"], latency_ms=60_000.0, fill_model="queue",
                      account_rules=False, backfill=None, ticks_per_day=600)
    deals = {deal["id"]: deal for deal in deals_of(result)}
    first = deals[strategy.first]
    assert first["exchange_ts"] >= strategy.sent_at + 60
    assert any(f"cancel of {strategy.first} reached the exchange after the order had left" in
               warning for warning in result.warnings)
    assert strategy.refusal == (
        "MKT orders are not taken in 2330's closing call (13:25 to 13:30); a ROD limit order "
        "takes part in its auction")
    auction = [tick for tick, _ in strategy.seen if tick["tick_type"] == 0][0]
    assert deals[strategy.in_call]["price"] == auction["close"]  # its limit was the upper
