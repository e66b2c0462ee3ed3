"""Price steps: the ladders of stocks, ETFs and futures at their band boundaries, and rounding."""

from dataclasses import replace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import market
from quorvel.market import TAIWAN, Kind, PriceSteps


class TestKinds:
    @pytest.mark.parametrize(
        "code, kind",
        [
            ("2330", Kind.STOCK),
            ("6488", Kind.STOCK),  # TPEx
            ("0050", Kind.ETF),
            ("00878", Kind.ETF),
            ("TXFR1", Kind.INDEX_FUTURE),
            ("MXFA4", Kind.INDEX_FUTURE),
            ("TMFR1", Kind.INDEX_FUTURE),
            ("CDFR1", Kind.STOCK_FUTURE),
        ],
    )
    def test_code_gives_its_kind(self, code, kind):
        assert TAIWAN.kind(code) is kind

    def test_empty_code_is_refused(self):
        with pytest.raises(ValueError, match="non-empty str"):
            TAIWAN.kind("")


class TestLadders:
    @pytest.mark.parametrize(
        "price, step",
        [
            (0.01, 0.01),
            (9.99, 0.01),
            (10, 0.05),  # a band holds its lowest price
            (49.95, 0.05),
            (50, 0.1),
            (99.9, 0.1),
            (100, 0.5),
            (499.5, 0.5),
            (500, 1),
            (999, 1),
            (1000, 5),
            (1e6, 5),
        ],
    )
    @pytest.mark.parametrize("code", ["2330", "CDFR1"])  # stock futures share the stock ladder
    def test_stock_ladder(self, code, price, step):
        assert market.tick_size(code, price) == step

    @pytest.mark.parametrize(
        "price, step", [(9.99, 0.01), (49.99, 0.01), (50, 0.05), (131.05, 0.05)]
    )
    def test_etf_ladder(self, price, step):
        assert market.tick_size("0050", price) == step

    @pytest.mark.parametrize("code", ["TXFR1", "MXFR1", "TMFR1"])
    @pytest.mark.parametrize("price", [1, 9.5, 17_900, 25_000])
    def test_taiex_futures_move_in_points(self, code, price):
        assert market.tick_size(code, price) == 1

    @pytest.mark.parametrize("price", [0, -1, float("nan"), float("inf")])
    def test_a_price_must_be_finite_and_above_zero(self, price):
        with pytest.raises(ValueError, match="a price must be a finite number above 0"):
            market.tick_size("2330", price)


class TestOnStep:
    @pytest.mark.parametrize(
        "code, price, on_step",
        [
            ("2330", 568, True),
            ("2330", 568.3, False),
            ("2330", 10.0 + 3 * 0.05, True),  # 10.149999999999999: float noise
            ("2330", 10.01, False),
            ("2330", 9.99, True),
            ("2330", 1005, True),
            ("2330", 1001, False),
            ("0050", 49.99, True),
            ("0050", 50.01, False),
            ("TXFR1", 17_900.5, False),
        ],
    )
    def test_is_on_step(self, code, price, on_step):
        assert market.is_on_step(code, price) is on_step

    @pytest.mark.parametrize(
        "price, message",
        [
            (568.3, "568.3 is not on 2330's price step 1; 568 or 569"),
            (49.97, "49.97 is not on 2330's price step 0.05; 49.95 or 50"),
            (999.5, "999.5 is not on 2330's price step 1; 999 or 1000"),
            (1002, "1002 is not on 2330's price step 5; 1000 or 1005"),
            (0.004, "0.004 is not on 2330's price step 0.01; 0.01"),
            (568, None),
        ],
    )
    def test_off_step_message_names_the_nearest_valid_prices(self, price, message):
        assert market.off_step_message("2330", price) == message

    @pytest.mark.parametrize(
        "price, down, up, below, above",
        [
            (49.97, 49.95, 50.0, 49.95, 50.0),
            (50.0, 50.0, 50.0, 49.95, 50.1),  # the step below a boundary is the lower band's
            (1000.0, 1000.0, 1000.0, 999.0, 1005.0),
            (0.01, 0.01, 0.01, None, 0.02),
        ],
    )
    def test_rounding_and_neighbours(self, price, down, up, below, above):
        assert market.step_down("2330", price) == down
        assert market.step_up("2330", price) == up
        assert market.price_below("2330", price) == below
        assert market.price_above("2330", price) == above

    @settings(deadline=None)
    @given(st.floats(min_value=0.01, max_value=1e6))
    def test_rounded_prices_are_on_step_and_bracket_the_price(self, price):
        down, up = market.step_down("2330", price), market.step_up("2330", price)
        assert market.is_on_step("2330", up) and up >= round(price, 6)
        assert down == 0 or (market.is_on_step("2330", down) and down <= round(price, 6))
        assert up - down <= market.tick_size("2330", price) + 1e-9


class TestTablesAreData:
    def test_a_replaced_ladder_applies(self):
        coarse = PriceSteps(((0, 0.5),))
        rules = replace(TAIWAN, stock=replace(TAIWAN.stock, steps=coarse))
        assert rules.tick_size("2330", 3) == 0.5 and rules.tick_size("0050", 3) == 0.01

    @pytest.mark.parametrize(
        "bands, message",
        [
            ((), "starts with a band at 0"),
            (((1, 0.01),), "starts with a band at 0"),
            (((0, 0.01), (10, 0)), "must be above 0"),
            (((0, 0.01), (10, 0.05), (5, 0.1)), "the bands must rise"),
            (((0, 0.05), (10.01, 0.1)), "must start and end on its step"),
        ],
    )
    def test_a_ladder_that_could_leave_its_grid_is_refused(self, bands, message):
        with pytest.raises(ValueError, match=message):
            PriceSteps(bands)

    def test_every_table_names_its_source_and_date(self):
        for rules in (TAIWAN.stock, TAIWAN.etf, TAIWAN.index_future, TAIWAN.stock_future):
            for table in (rules.steps, rules.limit):
                assert table.source and table.as_of
