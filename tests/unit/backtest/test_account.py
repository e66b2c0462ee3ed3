"""The account on its own: what it holds, refuses, charges and calls, fed reports by hand."""

import datetime as dt
import math

import pytest

from quorvel import market
from quorvel.backtest import AccountRules, CostModel, FuturesMargin, RunSettings
from quorvel.backtest.account.account import Account, session_close
from quorvel.backtest.account.ledger import DIVIDEND, SHARES, DayTrades, HoldingEvent
from quorvel.backtest.errors import AccountRefusal
from quorvel.backtest.settings.account import MarginTable
from quorvel.backtest.settings.costs import DayTrading
from quorvel.market.contracts import contract_for

MONDAY = 1_704_672_000.0  # 2024-01-08 00:00, exchange time counted as UTC
NINE = MONDAY + 9 * 3600
CONTRACTS = {
    "2330": contract_for("2330", "Stock"),
    "TXFR1": contract_for("TXFR1", "Future"),
    "CDFR1": contract_for("CDFR1", "Future"),
}


# The margins of one of the exchange's tables on every day, and a fee of 50 NTD a contract.
TXF_MARGINS = {"TXF": FuturesMargin(338_000, 259_000)}
COSTS = CostModel(futures_fee=50.0)


def account(capital=1_000_000.0, enforced=True, **rules):
    prices = {}
    rules.setdefault("futures_margins", TXF_MARGINS)
    settings = RunSettings(
        capital=capital, costs=COSTS, account=AccountRules(**rules), account_rules=enforced
    )
    made = Account(CONTRACTS, settings, prices)
    return made, prices


def deal(trade_id, code, action, quantity, price, ts=NINE):
    report = {"id": trade_id, "code": code, "action": action, "quantity": quantity}
    report.update(price=price, exchange_ts=ts)
    if code == "2330":
        report["order_lot"] = "Common"
    return report


def order_report(operation, trade_id, quantity, price=0.0):
    return {
        "operation_type": operation,
        "order": {"id": trade_id, "quantity": quantity, "price": price},
    }


def placed(book, trade_id, code, action, qty, price):
    """An order checked and entered, as the desk does it."""
    book.reserve(trade_id, book.hold(code, action, qty, price))


def filled(book, trade_id, code, action, qty, price, ts=NINE):
    placed(book, trade_id, code, action, qty, price)
    book.receive(deal(trade_id, code, action, qty, price, ts))


class TestCashAccount:
    def test_a_buy_holds_its_value_and_commission_and_refuses_beyond_the_cash(self):
        book, _ = account()
        placed(book, "a", "2330", "Buy", 1, 570.0)
        assert book.balances().buying_power == 1_000_000 - 570_812
        with pytest.raises(AccountRefusal) as refused:
            book.hold("2330", "Buy", 1, 570.0)
        assert str(refused.value) == (
            "buying 1 lot of 2330 at 570 needs 570,812 NTD; 429,188 available"
        )
        assert book.refused == 1

    @pytest.mark.parametrize("working", [0, 3])
    def test_an_order_needing_exactly_the_buying_power_is_accepted(self, working):
        book, _ = account(capital=(working + 1) * 570_812)  # after `working` orders as large
        for trade_id in [*range(working), "last"]:
            placed(book, trade_id, "2330", "Buy", 1, 570.0)
        assert book.balances().buying_power == 0
        for trade_id in list(book.orders):
            book.receive(order_report("Cancel", trade_id, 1))
        assert book.balances().buying_power == book.cash == (working + 1) * 570_812

    @pytest.mark.parametrize(
        "report",
        [order_report("Cancel", "a", 2), order_report("UpdateQty", "a", 0)],
        ids=["cancel", "reduction"],
    )
    def test_a_cancel_or_a_reduction_releases_the_hold(self, report):
        book, _ = account()
        placed(book, "a", "2330", "Buy", 2, 400.0)
        book.receive(order_report("UpdateQty", "a", 1))  # one lot of the two taken off
        assert book.balances().buying_power == pytest.approx(1e6 - 400_570)
        book.receive(report)
        assert book.balances().buying_power == 1e6 and book.orders == {}

    def test_a_fill_moves_the_cash_by_value_fee_and_tax_and_ends_the_hold(self):
        book, _ = account()
        filled(book, "a", "2330", "Buy", 1, 570.0)
        assert book.cash == 1e6 - 570_000 - 812 and book.orders == {}
        filled(book, "b", "2330", "Sell", 1, 580.0, NINE + 86_400)  # the next day
        assert book.cash == 1e6 - 570_812 + 580_000 - 826 - 1740

    def test_a_sell_needs_shares_held_and_not_already_offered(self):
        book, _ = account()
        filled(book, "a", "2330", "Buy", 1, 100.0)
        placed(book, "b", "2330", "Sell", 1, 101.0)
        with pytest.raises(AccountRefusal) as refused:
            book.hold("2330", "Sell", 1, 101.0)
        assert str(refused.value) == (
            "selling 1 lot of 2330 needs 1 lot held; 0 held and not in working sells "
            "(a cash account sells what it holds; day trades need --day-trade)"
        )

    def test_a_market_order_needs_a_price(self):
        book, _ = account()
        with pytest.raises(AccountRefusal, match="at the market needs a last price"):
            book.hold("2330", "Buy", 1, 0.0)

    def test_a_higher_price_needs_the_difference_and_a_lower_one_nothing(self):
        book, _ = account(capital=300_000)
        placed(book, "a", "2330", "Buy", 1, 290.0)
        book.check_reprice("a", 280.0)
        with pytest.raises(AccountRefusal) as refused:
            book.check_reprice("a", 300.0)
        assert str(refused.value) == (
            "repricing a (buying 1 lot of 2330) to 300 needs 10,014 NTD more; 9,587 available"
        )
        book.check_reprice("a", 300.0, taken_off=1)  # nothing left to pay for
        book.receive(order_report("UpdatePrice", "a", 1, 280.0))
        assert book.balances().buying_power == 300_000 - 280_399


class TestDayTrades:
    def test_selling_first_is_allowed_with_day_trade_and_bought_back_at_the_close(self):
        book, _ = account(day_trade=True)
        placed(book, "s", "2330", "Sell", 1, 500.0)
        assert book.balances().buying_power == 1e6 - 500_000 - 712 - 1500
        book.receive(deal("s", "2330", "Sell", 1, 500.0))
        assert book.watched == {"2330"}
        close = session_close(market.TAIWAN, "2330", NINE)
        assert close == market.session_at("2330", NINE).close_timestamp == MONDAY + 13.5 * 3600
        # before the open: that day's
        assert session_close(market.TAIWAN, "2330", MONDAY + 8 * 3600) == close
        assert book.day_trade_due("2330", close - 1) == 0
        assert book.day_trade_due("2330", close) == 1
        book.force("f", "2330", False, 1)
        book.receive(deal("f", "2330", "Buy", 1, 490.0, close))
        assert book.watched == set() and book.day_trade_due("2330", close + 86_400) == 0
        # Sold at the day-trade rate: 500,000 x 0.15 % = 750.
        assert book.cash == pytest.approx(1e6 + 10_000 - 712 - 750 - 698)

    def test_a_day_trade_short_left_overnight_stays_due(self):
        book, _ = account(day_trade=True)
        filled(book, "s", "2330", "Sell", 2, 400.0)
        assert book.day_trade_due("2330", NINE + 86_400) == 2

    @pytest.mark.parametrize(
        "rule, fills, expected",
        [
            # bought, then sold the same day: the sell is a day trade, and marks the buy
            (
                DayTrading(True),
                [("B", 2000, 0, 0), ("S", 1000, 0, 2000)],
                [(0, []), (1000, [(0, 1000)])],
            ),
            # a sell of shares held overnight is not
            (DayTrading(True), [("S", 1000, 1, 3000)], [(0, [])]),
            # nor a purchase sold the next day
            (DayTrading(True), [("B", 1000, 0, 0), ("S", 1000, 1, 1000)], [(0, []), (0, [])]),
            # selling first: the short part, and the buy back
            (
                DayTrading(True, sell_first=True),
                [("S", 3000, 0, 1000), ("B", 2000, 0, -2000)],
                [(2000, []), (2000, [])],
            ),
            # a short sale that need not be bought back the same day is not
            (DayTrading(True), [("S", 3000, 0, 1000), ("B", 2000, 0, -2000)], [(0, []), (0, [])]),
            # a margin account's trades never are
            (DayTrading(False), [("B", 2000, 0, 0), ("S", 1000, 0, 2000)], [(0, []), (0, [])]),
        ],
    )
    def test_which_shares_of_a_fill_are_day_trades(self, rule, fills, expected):
        trades = DayTrades(rule)
        got = [
            trades.fill(day, side == "S", shares, held, tag)
            for tag, (side, shares, day, held) in enumerate(fills)
        ]
        assert got == expected

    def test_a_day_trades_sell_pays_the_reduced_rate_on_its_day_trade_part(self):
        costs = CostModel()
        assert costs.stock_costs(570_000, True, 570_000) == (812.0, 855.0)  # 855.0
        assert costs.stock_costs(570_000, True, 285_000) == (812.0, 1282.0)  # 1282.5
        assert CostModel(stock_day_trade_tax_pct=0.3).stock_costs(570_000, True, 570_000)[1] == 1710


class TestMarginAccount:
    def test_margin_purchase_and_short_sale_hold_their_shares_and_move_cash_as_lent(self):
        book, prices = account(capital=2e6, stock_account="margin")
        assert book.hold("2330", "Buy", 1, 500.0).amount == 200_000 + 712
        assert book.hold("2330", "Sell", 1, 500.0).amount == 450_000 + 712 + 1500  # no day_trade
        fills = [
            ("a", "2330", "Buy", 2, 500.0),
            ("b", "2330", "Sell", 1, 510.0, NINE + 86_400),
            ("c", "2330", "Sell", 3, 520.0, NINE + 86_400),  # through flat: short 2
        ]
        filled(book, *fills[0])
        assert book.cash == 2e6 - 400_000 - 1425
        assert book.balances().margin_in_use == 400_000
        filled(book, *fills[1])
        # 510,000 in, half of the 600,000 lent repaid, fee and tax out.
        assert book.cash == pytest.approx(2e6 - 401_425 + 510_000 - 300_000 - 726 - 1530)
        assert book.balances().margin_in_use == pytest.approx(200_000)
        filled(book, *fills[2])
        assert book.balances().margin_in_use == pytest.approx(2 * 520_000 * 0.9)
        # Closed at 515, the account is worth its capital plus the net P&L of the fills.
        prices["2330"] = 515.0
        net = sum(book.ledger.net_pnl(prices).values())
        assert book_value(book, prices) == pytest.approx(2e6 + net)


def book_value(book, prices):
    """What the account would be worth with every stock position closed at `prices`."""
    total = book.cash
    for code, holding in book.holdings.items():
        if holding.contract.is_stock:
            total += holding.collateral - holding.loan + holding.shares * prices.get(code, 0.0)
    return total


class TestFutures:
    def test_an_order_holds_the_initial_margin_and_is_refused_beyond_it(self):
        book, _ = account(capital=700_000)
        hold = book.hold("TXFR1", "Buy", 2, 17_900.0)
        assert hold.amount == 2 * 338_000 + 100 + 143  # fee 2 x 50, tax 0.002 % of 7,160,000
        with pytest.raises(AccountRefusal) as refused:
            book.hold("TXFR1", "Buy", 3, 17_900.0)
        assert str(refused.value) == (
            "buying 3 contracts of TXFR1 at 17,900 needs 1,014,365 NTD; 700,000 available"
        )

    def test_closing_needs_no_margin(self):
        book, _ = account(capital=400_000)
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        assert book.hold("TXFR1", "Sell", 1, 17_000.0).amount == 0

    def test_stock_futures_hold_a_share_of_the_contract_value(self):
        book, _ = account()
        assert book.hold("CDFR1", "Buy", 1, 1000.0).per_lot == pytest.approx(270_000)  # 13.5 %

    def test_the_open_pnl_counts_in_the_buying_power(self):
        book, prices = account()
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        prices["TXFR1"] = 17_950.0
        cash = book.cash
        assert book.balances() == (cash, 338_000, cash + 50 * 200 - 338_000)

    @pytest.mark.parametrize("mode, action", [("immediate", "liquidate"), ("warn", "warn")])
    def test_a_margin_call_comes_below_the_maintenance_margin(self, mode, action):
        book, prices = account(capital=400_000, margin_call=mode)
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        cash = book.cash
        prices["TXFR1"] = 17_900.0 - (cash - 259_000) / 200 + 1  # a point above the call
        assert book.margin_call(MONDAY) is None
        prices["TXFR1"] -= 2
        call = book.margin_call(MONDAY + 1)
        assert call == {
            "timestamp": MONDAY + 1,
            "equity": pytest.approx(259_000 - 200),
            "maintenance_margin": 259_000,
            "initial_margin": 338_000,
            "positions": {"TXFR1": 1},
            "action": action,
            "reason": "maintenance",
            "due": None,
        }
        if action == "warn":  # once per fall
            assert book.margin_call(MONDAY + 2) is None
        else:  # not while the engine's closing order works
            book.force("f", "TXFR1", True, 1)
            assert book.margin_call(MONDAY + 2) is None
            book.receive(order_report("Cancel", "f", 1))
            assert book.margin_call(MONDAY + 3) is not None
        prices["TXFR1"] += 10  # back above, then below again: a new call
        assert book.margin_call(MONDAY + 4) is None
        prices["TXFR1"] -= 10
        assert book.margin_call(MONDAY + 5) is not None

    def test_margins_are_watched_only_while_futures_are_held(self):
        book, _ = account()
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        assert book.watched == {"TXFR1"}
        filled(book, "b", "TXFR1", "Sell", 1, 17_910.0)
        assert book.watched == set() and book.peak_margin == 338_000


class TestFuturesByDate:
    def test_a_margin_table_change_moves_the_buying_power_from_the_next_day(self):
        tables = (
            MarginTable("2024-01-01", {"TXF": FuturesMargin(300_000, 200_000)}),
            MarginTable("2024-01-08", {"TXF": FuturesMargin(350_000, 250_000)}),
        )
        book, prices = account(futures_margins={}, margin_tables=tables)
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        before = book.balances()
        assert before.margin_in_use == 300_000  # the 8th's change counts from the 9th on
        book.day_settled(MONDAY + 14 * 3600, dt.date(2024, 1, 9))
        assert book.balances().buying_power == before.buying_power - 50_000

    def test_a_day_trade_holds_half_the_margin_until_its_session_closes(self):
        book, _ = account(day_trade=True)
        assert book.hold("TXFR1", "Buy", 1, 17_900.0).per_lot == 169_000
        filled(book, "a", "TXFR1", "Buy", 2, 17_900.0)
        filled(book, "b", "TXFR1", "Sell", 1, 17_900.0)  # one day trade closed
        assert book.balances().margin_in_use == 169_000
        book.session_closed(["TXFR1"])
        assert book.balances().margin_in_use == 338_000

    def test_as_a_broker_a_dip_that_recovers_is_no_call_and_a_call_is_due_next_noon(self):
        book, prices = account(capital=400_000)
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        cash = book.cash
        below_maintenance = 17_900.0 - (cash - 259_000) / 200 - 10
        prices["TXFR1"] = below_maintenance  # during the session: nothing
        assert book.margin_call(MONDAY + 10 * 3600) is None
        prices["TXFR1"] = 17_900.0  # back up by the settlement: no call
        assert book.day_settled(MONDAY + 14 * 3600, dt.date(2024, 1, 9)) is None
        prices["TXFR1"] = below_maintenance  # down at the next settlement: a call
        call = book.day_settled(MONDAY + 86_400 + 14 * 3600, dt.date(2024, 1, 10))
        noon = MONDAY + 2 * 86_400 + 12 * 3600
        assert (call["action"], call["reason"], call["due"]) == ("call", "maintenance", noon)
        assert book.margin_call(noon - 1) is None
        liquidated = book.margin_call(noon)  # not back at the initial margin by noon
        assert (liquidated["action"], liquidated["reason"]) == ("liquidate", "deadline")
        assert book.margin_call(noon + 1) is None  # one deadline, once

    def test_as_a_broker_a_fall_below_the_risk_threshold_is_liquidated_at_once(self):
        book, prices = account(capital=400_000)
        filled(book, "a", "TXFR1", "Buy", 1, 17_900.0)
        at_threshold = 17_900.0 - (book.cash - 0.25 * 338_000) / 200
        prices["TXFR1"] = at_threshold
        assert book.margin_call(NINE + 60) is None
        prices["TXFR1"] = at_threshold - 1
        call = book.margin_call(NINE + 120)
        assert (call["action"], call["reason"]) == ("liquidate", "risk indicator")


class TestDividends:
    def test_a_dividend_counts_on_its_ex_date_and_moves_the_cash_on_its_payment_date(self):
        book, _ = account(capital=20_000_000.0)
        filled(book, "a", "2330", "Buy", 30, 500.0)
        cash = book.cash
        dividend = HoldingEvent("2330", NINE, 1.0, 30_000, DIVIDEND)
        valued = book.enter_event(dividend, 0, dt.date(2024, 1, 10))
        assert (valued.value, valued.tax) == (30_000, 633)  # the 2.11 % premium above 20,000
        assert book.ledger.books["2330"].figures.dividends == 30_000 and book.cash == cash
        book.day_settled(NINE + 5 * 3600, dt.date(2024, 1, 9))
        assert book.cash == cash
        book.day_settled(NINE + 86_400 + 5 * 3600, dt.date(2024, 1, 10))
        assert book.cash == cash + 30_000 - 633
        ledger = book.ledger.books["2330"]
        assert (ledger.open_trip.gross, ledger.open_trip.costs) == (
            30_000, ledger.figures.fees + valued.tax
        )

    def test_new_shares_are_whole_and_a_holding_reduced_to_none_loses_its_cost(self):
        book, _ = account(capital=20_000_000.0, day_trade=True)
        filled(book, "a", "2330", "Sell", 1, 500.0)  # a short of 1,000 shares
        book.enter_event(HoldingEvent("2330", NINE, 1.05, -1_000, SHARES), 0)
        assert (book.holdings["2330"].shares, book.lots_held("2330")) == (-1_050, -1)
        filled(book, "b", "2330", "Buy", 1, 500.0)
        ledger = book.ledger.books["2330"]
        assert ledger.position.quantity == -50
        cash, realized = book.cash, ledger.figures.realized
        valued = book.enter_event(HoldingEvent("2330", NINE, 0.0199, -50, SHARES), 0)
        assert (ledger.position.quantity, ledger.open_trip) == (0, None)
        lost = valued.realized
        assert lost == ledger.figures.realized - realized == pytest.approx(50 * 500 / 1.05)
        assert book.cash == cash  # nothing is paid for the cancelled shares


class TestRules:
    def test_without_rules_nothing_is_refused_or_watched(self):
        book, _ = account(capital=1.0, enforced=False)
        filled(book, "a", "2330", "Sell", 5, 500.0)
        filled(book, "b", "TXFR1", "Buy", 9, 17_900.0)
        assert book.watched == set() and book.margin_call(MONDAY) is None
        assert book.refused == 0 and book.cash < 0

    @pytest.mark.parametrize(
        "rules, message",
        [
            (dict(stock_account="credit"), "stock_account must be one of cash, margin"),
            (dict(margin_call="ignore"), "margin_call must be one of broker, immediate, warn"),
            (dict(margin_buy_pct=0.0), "margin_buy_pct must be more than 0 and at most 100"),
            (
                dict(futures_margins={"TXF": FuturesMargin(100, 200)}),
                "TXF: a margin needs 0 <= maintenance <= initial, not 100/200",
            ),
            (dict(futures_margins={"TXF": FuturesMargin(math.nan, 1)}), "TXF: a margin needs"),
        ],
    )
    def test_bad_settings_are_refused_with_one_line(self, rules, message):
        with pytest.raises(ValueError, match=message):
            AccountRules(**rules)

    def test_a_futures_product_without_a_margin_is_an_error_before_the_run(self):
        rules = AccountRules(margin_tables=(MarginTable("2024-01-01", {}),))
        with pytest.raises(ValueError) as error:
            rules.check(CONTRACTS, market.TAIWAN, dt.date(2024, 1, 8))
        assert str(error.value) == (
            "TXFR1: no margin is known for futures product 'TXF'; "
            "give it with --futures-margin TXF=INITIAL/MAINTENANCE"
        )
