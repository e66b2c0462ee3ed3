import datetime as dt
import random

import pytest

from quorvel import market
from quorvel.sim import (
    TICK_COLUMNS,
    SimulatedApiError,
    SimulatedBroker,
    _arrival_offsets,
)

TUESDAY, SATURDAY, SUNDAY = "2024-01-02", "2024-01-06", "2024-01-07"


def day_ticks(api, code, date=TUESDAY):
    registry = api.Contracts.Stocks if code in api.Contracts.Stocks else api.Contracts.Futures
    return api.ticks(contract=registry[code], date=date)


def wall_clock(ts):
    """Decode a broker timestamp: local wall time stored as if it were UTC."""
    return dt.datetime.fromtimestamp(ts // 10**9, tz=dt.timezone.utc).replace(tzinfo=None)


@pytest.fixture(scope="module")
def api():
    return SimulatedBroker(seed=7, ticks_per_day=400)


class TestDeterminism:
    def test_same_seed_same_ticks_whatever_was_asked_before(self, api):
        fresh = SimulatedBroker(seed=7, ticks_per_day=400)
        day_ticks(fresh, "2317")
        assert dict(day_ticks(fresh, "2330")) == dict(day_ticks(api, "2330"))

    def test_seed_code_and_date_each_change_the_ticks(self, api):
        base = day_ticks(api, "2330").close
        assert day_ticks(SimulatedBroker(seed=8, ticks_per_day=400), "2330").close != base
        assert day_ticks(api, "2330", "2024-01-03").close != base
        assert day_ticks(api, "6488").close != base


class TestCalendar:
    @pytest.mark.parametrize("date", [SATURDAY, SUNDAY])
    def test_weekend_has_eight_empty_columns(self, api, date):
        assert {**day_ticks(api, "2330", date)} == {name: [] for name in TICK_COLUMNS}

    def test_extra_holiday_is_empty(self):
        api = SimulatedBroker(holidays=["2024-01-03"])
        assert day_ticks(api, "TXFR1", "2024-01-03").ts == []

    def test_stock_session_with_closing_auction(self, api):
        ticks = day_ticks(api, "2330")
        times = [wall_clock(ts) for ts in ticks.ts]
        assert len(times) == 400
        assert all(t.date() == dt.date(2024, 1, 2) for t in times)
        assert dt.datetime(2024, 1, 2, 9) <= times[0]
        assert times[-2] < dt.datetime(2024, 1, 2, 13, 25)
        assert times[-1] == dt.datetime(2024, 1, 2, 13, 30) and ticks.tick_type[-1] == 0

    @pytest.mark.parametrize("code", ["2330", "TXFR1"])
    def test_ts_strictly_increasing(self, api, code):
        ts = day_ticks(api, code).ts
        assert all(a < b for a, b in zip(ts, ts[1:]))

    def test_crowded_arrivals_stay_distinct_and_inside_the_session(self):
        offsets = _arrival_offsets(90, 100, random.Random(1))
        assert len(set(offsets)) == 90 and offsets == sorted(offsets)
        assert 0 <= offsets[0] and offsets[-1] < 100


class TestPrices:
    @pytest.mark.parametrize(
        "code", ["2888", "2884", "2303", "1301", "2317", "2330", "2454", "TXFR1"]
    )
    def test_quotes_one_tick_apart_on_the_ladder(self, api, code):
        ticks = day_ticks(api, code)
        for bid, ask, close in zip(ticks.bid_price, ticks.ask_price, ticks.close):
            assert market.is_on_step(code, bid)
            assert ask == market.price_above(code, bid)
            assert close in (bid, ask)

    def test_prices_stay_near_reference_and_sizes_positive(self, api):
        ticks = day_ticks(api, "2330")
        assert all(580 * 0.8 < price < 580 * 1.2 for price in ticks.close)
        assert min(ticks.volume + ticks.bid_volume + ticks.ask_volume) >= 1


class TestResultShape:
    def test_mapping_in_broker_column_order_becomes_typed_frame(self, api):
        pl = pytest.importorskip("polars")
        ticks = day_ticks(api, "2330")
        assert list({**ticks}) == list(TICK_COLUMNS)
        frame = pl.DataFrame(dict(ticks))
        assert frame.shape == (400, 8)
        ints, floats = pl.Int64, pl.Float64
        assert frame.dtypes == [ints, floats, ints, floats, ints, floats, ints, ints]


class TestRegistryAndFailures:
    def test_contract_attributes(self, api):
        contract = api.Contracts.Stocks["2330"]
        fields = (contract.code, contract.exchange, contract.security_type, contract.reference)
        assert fields == ("2330", "TSE", "STK", 580.0)
        assert api.Contracts.Futures["TXFR1"].exchange == "TAIFEX"

    def test_unknown_code_is_none_by_default(self, api):
        assert api.Contracts.Stocks["9999"] is None and api.Contracts.Futures["2330"] is None

    def test_unknown_code_can_raise(self):
        with pytest.raises(KeyError):
            SimulatedBroker(unknown_code="raise").Contracts.Futures["TXFZ9"]

    def test_fail_dates_raise_and_requests_are_logged(self):
        api = SimulatedBroker(fail_dates=["2024-01-03"])
        day_ticks(api, "2330")
        with pytest.raises(SimulatedApiError):
            day_ticks(api, "2330", "2024-01-03")
        assert api.tick_requests == [("2330", TUESDAY), ("2330", "2024-01-03")]

    def test_none_contract_is_refused(self, api):
        with pytest.raises(TypeError):
            api.ticks(contract=api.Contracts.Stocks["9999"], date=TUESDAY)
