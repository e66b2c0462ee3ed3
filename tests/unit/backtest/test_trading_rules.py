"""The market's rules as a run applies them: price checks, session closes, and what is done at
a close."""

import datetime as dt
from dataclasses import replace

import pytest

from quorvel import market
from quorvel.backtest import OrderError
from quorvel.backtest.engine.market_rules import TradingRules, session_closes
from quorvel.market.actions import CorporateAction

CODES = ["2330", "TXFR1"]
DAYS = ("2024-01-08", "2024-01-09")


def at(text):
    """Broker seconds of a wall-clock time "YYYY-MM-DD HH:MM"."""
    return market.broker_seconds(dt.datetime.fromisoformat(text))


class TestPriceChecks:
    @pytest.fixture
    def rules(self):
        return TradingRules(market.TAIWAN, CODES, DAYS, {"2330": 580.0, "TXFR1": 17500.0})

    def test_a_price_off_the_step_names_the_nearest_valid_prices(self, rules):
        with pytest.raises(OrderError) as refused:
            rules.check_price("2330", 568.3)
        assert str(refused.value) == "568.3 is not on 2330's price step 1; 568 or 569"

    @pytest.mark.parametrize(
        "code, price, message",
        [
            ("2330", 852.0, "852 is beyond 2330's price limits of the day, 522 to 638"),
            ("2330", 521.0, "521 is beyond 2330's price limits of the day, 522 to 638"),
            ("TXFR1", 19251.0, "19251 is beyond TXFR1's price limits of the day, 15750 to 19250"),
        ],
    )
    def test_a_price_beyond_the_days_limits_is_refused_with_the_limits(
        self, rules, code, price, message
    ):
        with pytest.raises(OrderError) as refused:
            rules.check_price(code, price)
        assert str(refused.value) == message

    @pytest.mark.parametrize("price", [522.0, 638.0, 600.0, 521.9999999999])
    def test_prices_on_the_step_within_the_limits_pass(self, rules, price):
        rules.check_price("2330", price)

    def test_without_a_reference_only_the_step_is_checked(self):
        rules = TradingRules(market.TAIWAN, CODES, DAYS, {})
        assert rules.limit_prices("2330") is None
        rules.check_price("2330", 5000.0)
        with pytest.raises(OrderError, match="not on 2330's price step 5"):
            rules.check_price("2330", 5001.0)

    def test_the_raw_exchange_checks_nothing_and_knows_no_limits(self):
        rules = TradingRules(None, CODES, DAYS, {"2330": 580.0})
        rules.check_price("2330", 568.3)
        assert rules.limit_prices("2330") is None
        assert rules.tick_size("2330", 568.3) == 1.0
        desk = Desk({"2330": 600.0})
        rules.pass_closes(at("2024-01-08 15:00"), desk)  # sessions close, no closing call
        assert desk.calls == [("TXFR1",), ("2330",), ("TXFR1",), ("day ends", "2024-01-09")]

    def test_custom_rules_set_the_limits(self):
        seven = replace(market.TAIWAN.stock.limit, fraction=0.07)
        custom = replace(market.TAIWAN, stock=replace(market.TAIWAN.stock, limit=seven))
        rules = TradingRules(custom, CODES, DAYS, {"2330": 580.0})
        assert rules.limit_prices("2330") == (540.0, 620.0)


class TestSessionCloses:
    def test_each_close_names_its_codes_and_those_whose_trading_day_ends(self):
        closes = session_closes(market.TAIWAN, CODES, *DAYS)
        rows = [(close.timestamp, close.closing, close.day_over, close.calls_begin) for close in closes]
        assert rows == [
            (at("2024-01-06 05:00"), ("TXFR1",), (), ()),  # Monday's night session, from Friday
            (at("2024-01-08 13:25"), (), (), ("2330",)),  # continuous trading ends: the call
            (at("2024-01-08 13:30"), ("2330",), ("2330",), ()),
            (at("2024-01-08 13:45"), ("TXFR1",), ("TXFR1",), ()),
            (at("2024-01-09 05:00"), ("TXFR1",), (), ()),
            (at("2024-01-09 13:25"), (), (), ("2330",)),
            (at("2024-01-09 13:30"), ("2330",), ("2330",), ()),
            (at("2024-01-09 13:45"), ("TXFR1",), ("TXFR1",), ()),
        ]
        assert all(close.ts == int(close.timestamp) * 1_000_000_000 for close in closes)

    def test_codes_closing_together_share_one_close(self):
        closes = session_closes(market.TAIWAN, ["2330", "2317"], "2024-01-08", "2024-01-08")
        assert [close.closing or close.calls_begin for close in closes] == [("2330", "2317")] * 2

    def test_days_without_trading_have_no_close(self):
        assert session_closes(market.TAIWAN, CODES, "2024-02-06", "2024-02-14") == []


class Desk:
    """Records what the closes ask of the desk."""

    def __init__(self, last_prices):
        self.last_prices = last_prices
        self.calls = []

    def last_price(self, code):
        return self.last_prices.get(code)

    def sessions_close(self, codes):
        self.calls.append(codes)

    def calls_begin(self, codes):
        self.calls.append(("call", *codes))

    def months_end(self, codes, timestamp, day):
        self.calls.append(("months end", day.isoformat(), *codes))

    def day_ends(self, timestamp, next_day):
        self.calls.append(("day ends", next_day.isoformat()))

    def corporate_action(self, action, reference, timestamp):
        self.calls.append(("action", action.code, reference))


class TestPassingCloses:
    def test_closes_before_the_moment_close_sessions_in_order_and_move_references_on(self):
        rules = TradingRules(market.TAIWAN, CODES, DAYS, {"2330": 580.0, "TXFR1": 17500.0})
        desk = Desk({"2330": 600.0, "TXFR1": 18000.0})
        rules.pass_closes(at("2024-01-08 13:30"), desk)  # a tick at the stock's close
        assert desk.calls == [("TXFR1",), ("call", "2330")]
        assert rules.limit_prices("2330") == (522.0, 638.0)  # the day's own, still
        assert rules.pass_closes(at("2024-01-08 15:00"), desk) == at("2024-01-09 05:00")
        assert desk.calls == [
            ("TXFR1",), ("call", "2330"), ("2330",), ("TXFR1",), ("day ends", "2024-01-09")
        ]
        assert rules.limit_prices("2330") == market.limit_prices("2330", 600.0)
        assert rules.limit_prices("TXFR1") == market.limit_prices("TXFR1", 18000.0)
        assert rules.next_close == at("2024-01-09 05:00")

    def test_a_code_without_a_last_price_keeps_its_reference(self):
        rules = TradingRules(market.TAIWAN, CODES, DAYS, {"2330": 580.0})
        rules.pass_closes(float("inf"), Desk({}))
        assert rules.limit_prices("2330") == (522.0, 638.0)
        assert rules.limit_prices("TXFR1") is None


class TestExDates:
    def test_the_ex_dates_reference_is_the_adjusted_close_and_the_limits_follow_it(self):
        dividend = CorporateAction("1301", "2024-01-09", cash_dividend=5.0)
        rules = TradingRules(market.TAIWAN, ["1301"], DAYS, {"1301": 99.0}, actions=[dividend])
        desk = Desk({"1301": 100.0})
        rules.pass_closes(at("2024-01-08 14:00"), desk)
        assert ("action", "1301", 95.0) in desk.calls
        assert rules.limit_prices("1301") == (85.5, 104.5)
        rules.check_price("1301", 86.0)
        with pytest.raises(OrderError, match="beyond 1301's price limits of the day"):
            rules.check_price("1301", 108.0)

    @pytest.mark.parametrize(
        "days, ex_date, taken",
        [
            (("2024-01-08", "2024-01-09"), "2024-01-06", "at the start"),  # a Saturday: Monday's
            (("2024-01-06", "2024-01-09"), "2024-01-08", "at the start"),  # run from a Saturday
            (("2024-01-08", "2024-01-09"), "2024-01-09", "at the eve"),
            (("2024-01-05", "2024-01-08"), "2024-01-07", "at the eve"),  # a Sunday: Monday's
            (("2024-01-08", "2024-01-08"), "2024-01-09", None),  # after the run's last day
        ],
    )
    def test_an_action_takes_effect_on_its_first_trading_day_within_the_run(
        self, days, ex_date, taken
    ):
        dividend = CorporateAction("1301", ex_date, cash_dividend=5.0)
        rules = TradingRules(market.TAIWAN, ["1301"], days, {"1301": 99.0}, actions=[dividend])
        opening = 94.0 if taken == "at the start" else 99.0
        assert rules.limit_prices("1301") == market.TAIWAN.limit_prices("1301", opening)
        desk = Desk({"1301": 100.0})
        rules.pass_closes(float("inf"), desk)
        told = [call for call in desk.calls if call[0] == "action"]
        assert told == ([("action", "1301", 95.0)] if taken == "at the eve" else [])

    @pytest.mark.parametrize("ex_date", ["20240613", "2024-6-13", "2024-06-13T00:00"])
    def test_an_ex_date_is_a_date_of_the_form_yyyy_mm_dd(self, ex_date):
        with pytest.raises(ValueError, match="is not a date of the form YYYY-MM-DD"):
            CorporateAction("1301", ex_date, cash_dividend=5.0)

    @pytest.mark.parametrize(
        "action, close, reference",
        [
            (dict(stock_dividend=0.1), 110.0, 100.0),
            (dict(cash_dividend=2.5, stock_dividend=0.05), 107.5, 100.0),
            (dict(cash_dividend=3.8, capital_reduction=0.38), 13.0, 14.83),  # 14.838, cut
        ],
    )
    def test_the_exchanges_formula(self, action, close, reference):
        found = CorporateAction("2317", "2024-01-09", **action).ex_reference(close)
        assert found == pytest.approx(reference)

    @pytest.mark.parametrize(
        "reference, limits", [(91.45, (82.4, 100.5)), (14.75, (13.3, 16.2))]
    )
    def test_limits_from_a_reference_off_the_step_round_inward(self, reference, limits):
        # Published by the exchange for 6548 on 2026-06-17 and 5314.
        assert market.TAIWAN.limit_prices("6548", reference) == limits

    @pytest.mark.parametrize(
        "code, reference, limits",
        [
            ("00631L", 100.0, (80.0, 120.0)),  # twice the market's
            ("00632R", 10.0, (9.0, 11.0)),
            ("00646", 40.0, None),  # a foreign index: no limit
            ("00633L", 20.0, None),  # a foreign index's leveraged ETF, none either
        ],
    )
    def test_leveraged_and_foreign_index_etfs_limits(self, code, reference, limits):
        rules = TradingRules(market.TAIWAN, [code], DAYS, {code: reference})
        assert rules.limit_prices(code) == limits
