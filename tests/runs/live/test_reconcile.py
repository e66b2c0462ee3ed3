"""A recorded live day replayed through the backtest: a fill the backtest missed is found, and a
fill both made is compared in price and time."""

import datetime as dt

import pytest

from quorvel.backtest import AccountRules, CostModel, RunSettings
from quorvel.live.reconcile import reconcile, reconciliation_text, settings_of
from quorvel.live.record import RecordError, RecordedSession, SessionHeader, SessionRecord

DAY = "2024-01-08"
STRATEGY = '''from quorvel.backtest import Strategy

class Entries(Strategy):
    size = 1  # a limit buy at 579 at the first tick, a market buy at the third
    _seen = 0

    def on_tick(self, tick):
        self._seen += 1
        if self._seen in (1, 3):
            self.buy("2330", self.size, price=579.0 if self._seen == 1 else None)
'''
SETTINGS = RunSettings(fill_model="touch", latency_ms=0.0, capital=5e6)


def at(clock):
    moment = dt.datetime.combine(dt.date.fromisoformat(DAY), dt.time.fromisoformat(clock))
    return moment.replace(tzinfo=dt.timezone.utc).timestamp()


def order(trade_id, price):
    """A live New report (the keys a pairing reads) of a 1-lot buy: at `price`, or at market."""
    return {"operation_type": "New", "order": {
        "id": trade_id, "code": "2330", "action": "Buy", "price": price or 0.0, "quantity": 1,
        "price_type": "LMT" if price else "MKT", "order_lot": "Common"}}


def deal(trade_id, price, clock):
    return {"id": trade_id, "code": "2330", "action": "Buy", "quantity": 1, "price": price,
            "exchange_ts": at(clock), "order_lot": "Common"}


@pytest.fixture(scope="module")
def reconciled(tmp_path_factory):
    """A live day whose limit buy at 579 filled though no tick traded there (the backtest
    misses it), and whose market buy filled a step above the next tick's price, half a
    second after it."""
    folder = tmp_path_factory.mktemp("live")
    (folder / "entries.py").write_text(STRATEGY)
    header = SessionHeader(codes=("2330",), strategy=f"{folder / 'entries.py'}:Entries",
                           parameters={"size": 1}, settings=SETTINGS.as_dict(), mode="demo",
                           day=DAY)
    with SessionRecord(str(folder / "record"), header) as record:
        for number, (clock, close) in enumerate(
            [("09:00:01", 580.0), ("09:00:02", 581.0), ("09:00:03", 580.0),
             ("09:00:04", 582.0), ("09:00:05", 583.0)]
        ):
            record.quote("2330", {"bid_price": close - 1, "bid_volume": 3,
                                  "ask_price": close + 1, "ask_volume": 3})
            record.tick({"market_type": "Stock", "timestamp": at(clock), "code": "2330",
                         "close": close, "qty": 5, "tick_type": 1, "is_simulate": False,
                         "is_backfilling": False})
            if number in (0, 2):
                record.report(order(f"L{number}", 579.0 if number == 0 else None))
        record.report(deal("L2", 583.0, "09:00:04.500"))
        record.report(deal("L0", 579.0, "09:00:06"))
    return reconcile(str(folder / "record"))


def test_a_fill_the_backtest_missed_is_found_and_a_shared_fill_compared(reconciled):
    rows = reconciled.orders.select(
        "entry", "state", "live_id", "live_filled", "live_price", "simulated_filled",
        "simulated_price", "price_steps", "price_ntd", "seconds",
    ).rows()
    assert rows == [
        (1, "missed", "L0", 1, 579.0, 0, None, None, None, None),
        (2, "filled", "L2", 1, 583.0, 1, 582.0, 1.0, 1000.0, 0.5),
    ]
    summary = reconciled.summary
    assert (summary["paired"], summary["missed"], summary["missed_quantity"], summary["extra"],
            summary["total_price_ntd"], summary["mean_seconds"]) == (2, 1, 1, 0, 1000.0, 0.5)
    text = reconciliation_text(reconciled)
    assert max(len(line) for line in text.splitlines()) <= 80
    assert "1 @ 579           -" in text and "1 orders, 1 lots or contracts" in text


@pytest.mark.parametrize("settings", [
    RunSettings(),
    RunSettings(fill_model="queue-prob", latency_ms=50, seed=None, market_rules=None,
                costs=CostModel(stock_commission_discount=0.3, futures_fee=40.0),
                account=AccountRules(stock_account="margin"), account_rules=False),
])
def test_the_recorded_settings_come_back_as_they_ran(settings):
    header = SessionHeader(codes=("2330",), strategy="x:Y", parameters={},
                           settings=settings.as_dict(), mode="paper", day=DAY)
    restored = settings_of(RecordedSession("/nowhere", header))
    assert restored.replace(period=settings.period, backfill=settings.backfill).as_dict() == (
        settings.as_dict())
    custom = SessionHeader(**{**vars(header), "settings": {**settings.as_dict(),
                                                          "market_rules": "MarketRules(...)"}})
    with pytest.raises(RecordError, match="cannot be rebuilt from the record: give the settings"):
        settings_of(RecordedSession("/nowhere", custom))
