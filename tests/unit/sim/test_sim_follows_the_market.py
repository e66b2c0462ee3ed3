"""The offline broker trades as the market allows: on trading days, in sessions, on the step,
inside the day's limits around the previous trading day's last price."""

import datetime as dt

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import market, sim
from quorvel.market.actions import CorporateAction
from quorvel.sim import DEFAULT_CONTRACTS, SimulatedBroker


def day_ticks(api, code, date):
    registry = api.Contracts.Stocks if code in api.Contracts.Stocks else api.Contracts.Futures
    return api.ticks(contract=registry[code], date=date)


def wall_clock(ts):
    return market.wall_clock(ts / 1e9)


CODES = [contract.code for contract in DEFAULT_CONTRACTS]


@settings(max_examples=40, deadline=None)
@given(
    seed=st.integers(0, 1000),
    code=st.sampled_from(CODES),
    day=st.dates(dt.date(2022, 1, 3), dt.date(2025, 12, 31)),
    count=st.integers(1, 60),
)
def test_every_tick_is_one_the_market_allows(seed, code, day, count):
    api = SimulatedBroker(seed, ticks_per_day=count)
    ticks = day_ticks(api, code, day.isoformat())
    if not market.is_trading_day(day):
        assert ticks.ts == []
        return
    assert len(ticks.ts) == count
    previous = market.previous_trading_days(day, 1)[0]
    reference = day_ticks(api, code, previous.isoformat()).close[-1]
    lower, upper = market.limit_prices(code, reference)
    sessions = market.sessions(code, day)
    for ts, close, bid, ask in zip(ticks.ts, ticks.close, ticks.bid_price, ticks.ask_price):
        assert any(wall_clock(ts) in session for session in sessions)
        assert market.is_on_step(code, close) and lower <= close <= upper
        assert market.is_on_step(code, bid) and market.price_above(code, bid) == ask
        assert close in (bid, ask) and lower <= bid and ask <= upper
    assert ticks.ts == sorted(set(ticks.ts))


class TestSessions:
    def test_a_taiex_futures_day_holds_its_night_session_first(self):
        ticks = day_ticks(SimulatedBroker(ticks_per_day=100), "TXFR1", "2024-01-08")
        times = [wall_clock(ts) for ts in ticks.ts]
        night = [t for t in times if t.date() < dt.date(2024, 1, 8)]
        assert len(night) == 30 and times[: len(night)] == night
        assert dt.datetime(2024, 1, 5, 15) <= night[0]
        assert night[-1] <= dt.datetime(2024, 1, 6, 5)
        assert dt.datetime(2024, 1, 8, 8, 45) <= times[len(night)]

    @pytest.mark.parametrize("code", ["2330", "0050", "CDFR1"])
    def test_other_instruments_trade_on_the_day_itself(self, code):
        ticks = day_ticks(SimulatedBroker(ticks_per_day=50), code, "2024-01-08")
        assert {wall_clock(ts).date() for ts in ticks.ts} == {dt.date(2024, 1, 8)}

    @pytest.mark.parametrize("date", ["2024-01-01", "2024-02-06", "2024-02-08", "2024-02-14"])
    def test_no_ticks_on_holidays(self, date):
        assert day_ticks(SimulatedBroker(ticks_per_day=5), "TXFR1", date).ts == []


class TestLastPrices:
    def test_the_day_closes_at_the_next_days_reference(self):
        api = SimulatedBroker(3, ticks_per_day=20)
        friday = day_ticks(api, "2330", "2024-02-05").close[-1]
        lower, upper = market.limit_prices("2330", friday)
        after_closure = day_ticks(api, "2330", "2024-02-15")
        assert all(lower <= price <= upper for price in after_closure.close)

    def test_a_day_does_not_depend_on_what_was_asked_before(self):
        asked_late = SimulatedBroker(11, ticks_per_day=30)
        day_ticks(asked_late, "TXFR1", "2025-06-02")
        fresh = SimulatedBroker(11, ticks_per_day=30)
        late = day_ticks(asked_late, "TXFR1", "2024-01-08")
        assert day_ticks(fresh, "TXFR1", "2024-01-08") == late

    def test_the_daily_last_prices_do_not_depend_on_the_tick_count(self):
        few, many = SimulatedBroker(4, ticks_per_day=3), SimulatedBroker(4, ticks_per_day=300)
        last = day_ticks(many, "2317", "2024-01-09").close[-1]
        assert day_ticks(few, "2317", "2024-01-09").close[-1] == last


    def test_an_ex_dates_reference_is_the_engines_from_its_first_trading_day(self):
        dividend = CorporateAction("2330", "2024-01-06", cash_dividend=3.55)  # a Saturday
        api = SimulatedBroker(3, ticks_per_day=20, corporate_actions=[dividend])
        friday = day_ticks(api, "2330", "2024-01-05").close[-1]
        closes = sim._closing_prices(3, api.Contracts.Stocks["2330"], api.rules, (dividend,))
        # To the cent, off the price step: the day's limits are counted from it, as a run does.
        assert closes.reference(dt.date(2024, 1, 8)) == dividend.ex_reference(friday)


class TestTickSource:
    def test_names_every_setting_that_shapes_the_ticks(self):
        sources = {
            SimulatedBroker(0).tick_source,
            SimulatedBroker(7).tick_source,
            SimulatedBroker(0, ticks_per_day=500).tick_source,
            SimulatedBroker(0, holidays=["2024-01-03"]).tick_source,
            SimulatedBroker(0, contracts=DEFAULT_CONTRACTS[:1]).tick_source,
        }
        assert len(sources) == 5
        failing = SimulatedBroker(0, fail_dates=["2024-01-03"])
        assert failing.tick_source == SimulatedBroker(0).tick_source
        named = SimulatedBroker(7, ticks_per_day=500).tick_source
        assert named.startswith("offline-seed7-500ticks-")
