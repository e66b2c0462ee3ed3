"""Contract sizes, trading costs, and the money arithmetic of fills, round trips and equity."""

import math

import pytest

from quorvel import market
from quorvel.backtest import BacktestResult, CostModel, RunSettings, run_backtest
from quorvel.backtest.account.account import Account
from quorvel.backtest.results.evaluation import Sample, evaluate, revalued
from quorvel.backtest.settings.costs import DayTrading
from quorvel.market.contracts import ContractError, contract_for
from quorvel.modules.positions.positions import Positions
from quorvel.sim import SimContract, SimulatedBroker

DAY = 86_400
MONDAY = 1_704_672_000.0  # 2024-01-08 00:00, exchange time counted as UTC


def deal(trade_id, code, action, quantity, price, ts, order_lot="Common"):
    report = {"id": trade_id, "code": code, "action": action, "quantity": quantity}
    report.update(price=price, exchange_ts=ts)
    if order_lot is not None:
        report["order_lot"] = order_lot
    return report


def valued(reports, timeline, costs, capital, min_sharpe_days=20):
    """The evaluation of `reports` over `timeline`, valued with `costs`."""
    ledger, curve = revalued(reports, timeline, STOCK_AND_FUTURE, costs, DayTrading())
    prices = timeline[-1].prices if timeline else {}
    return evaluate(ledger, curve, prices, capital, market.trading_day_of, min_sharpe_days)


class TestContracts:
    @pytest.mark.parametrize(
        "code, market, order_lot, ntd_per_point",
        [
            ("2330", "Stock", "Common", 1000),
            ("2330", "Stock", "Fixing", 1000),
            ("2330", "Stock", "Odd", 1),
            ("2330", "Stock", "IntradayOdd", 1),
            ("TXFR1", "Future", None, 200),
            ("TXFA4", "Future", None, 200),
            ("MXFR1", "Future", None, 50),
            ("TMFR1", "Future", None, 10),
            ("CDFR1", "Future", None, 2000),
        ],
    )
    def test_value_of_one_price_unit(self, code, market, order_lot, ntd_per_point):
        assert contract_for(code, market).value_per_point(order_lot) == ntd_per_point

    def test_unknown_futures_product_is_an_error_naming_the_code(self):
        with pytest.raises(ContractError) as error:
            contract_for("ZZFR1", "Future")
        assert str(error.value) == (
            "ZZFR1: unknown futures product 'ZZF'; known products: TXF, MXF, TMF, CDF, DHF"
        )

    def test_run_with_an_unknown_futures_product_fails_before_asking_for_ticks(
        self, ticker_built, tmp_path
    ):
        broker = SimulatedBroker(
            contracts=[SimContract("ZZFR1", "?", "FUT", "TAIFEX", "ZZF", 100.0)]
        )
        with pytest.raises(ContractError, match="ZZFR1"):
            run_backtest(
                broker, ["ZZFR1"], RunSettings(("2024-01-08", "2024-01-08"), None), data_dir=str(tmp_path)
            )
        assert broker.tick_requests == []


class TestCosts:
    def test_stock_commission_is_rounded_down_with_a_minimum_and_tax_is_on_sells(self):
        costs = CostModel()
        assert costs.stock_costs(568_000, is_sell=False) == (809.0, 0.0)  # 809.4
        assert costs.stock_costs(568_000, is_sell=True) == (809.0, 1704.0)
        assert costs.stock_costs(10_000, is_sell=True) == (20.0, 30.0)  # 14.25 -> minimum

    def test_discount_applies_before_the_minimum(self):
        costs = CostModel(stock_commission_discount=0.6)
        assert costs.stock_costs(568_000, is_sell=False) == (485.0, 0.0)  # 485.64
        assert costs.stock_costs(20_000, is_sell=False) == (20.0, 0.0)  # 17.1

    def test_whole_amounts_are_not_cut_by_float_error(self):
        # 0.003 x 200,100 and 0.001425 x 40,000 are whole but not exact in binary.
        assert CostModel().stock_costs(200_100, is_sell=True)[1] == 600.0
        assert CostModel().stock_costs(40_000, is_sell=False)[0] == 57.0

    @pytest.mark.parametrize(
        "tax_class, day, day_trade, tax",
        [
            ("stock", "2024-01-08", 0, 300),
            ("stock", "2024-01-08", 100_000, 150),  # the reduced day-trade rate
            ("stock", "2016-06-01", 100_000, 300),  # before it
            ("fund", "2024-01-08", 100_000, 100),  # ETFs: 0.1 %, no day-trade rate
            ("bond fund", "2024-01-08", 0, 0),  # exempt through 2026-12-31
            ("bond fund", "2027-01-04", 0, 100),
        ],
    )
    def test_the_sell_tax_follows_the_class_and_the_day(self, tax_class, day, day_trade, tax):
        costs = CostModel()
        assert costs.stock_costs(100_000, True, day_trade, tax_class, day)[1] == tax

    def test_futures_pay_their_products_fee_per_contract_and_a_tax_rounded_half_up(self):
        costs = CostModel()
        assert costs.futures_costs("TXF", 3_751_000, 1) == (20.0, 75.0)  # 75.02
        assert costs.futures_costs("TMF", 7_050_000, 2) == (16.0, 141.0)  # 141.0
        assert costs.futures_costs("CDF", 3_525_000, 1) == (5.0, 71.0)  # 70.5: a stock future
        one_fee = CostModel(futures_fee=50.0, futures_fees={"TXF": 99.0})
        assert [one_fee.fee_of(product) for product in ("TXF", "MXF", "CDF")] == [50.0] * 3


STOCK_AND_FUTURE = {"2330": contract_for("2330", "Stock"), "TXFR1": contract_for("TXFR1", "Future")}
FREE = CostModel(0, 1, 0, 0, 0, 0)


class TestFills:
    FILLS = [
        deal("a", "2330", "Buy", 2, 100.0, MONDAY + 1),
        deal("b", "2330", "Buy", 1, 103.0, MONDAY + 2),
        deal("c", "2330", "Sell", 2, 104.5, MONDAY + 3),
        deal("d", "2330", "Sell", 3, 99.0, MONDAY + 4),  # through flat: short 2
        deal("e", "2330", "Buy", 2, 98.5, MONDAY + 5),
        deal("f", "TXFR1", "Sell", 3, 17_000.0, MONDAY + 6, None),
        deal("g", "TXFR1", "Buy", 1, 16_990.0, MONDAY + 7, None),
    ]

    def test_realised_pnl_is_the_position_keepers_times_the_contract_size(self):
        evaluation = valued(self.FILLS, [], FREE, 1e6)
        keeper = Positions()
        for report in self.FILLS:
            keeper.set_positions(report, "Stock")
        for code, size in (("2330", 1000), ("TXFR1", 200)):
            points = keeper.positions[code].realized_pnl
            assert math.isclose(evaluation.per_code[code].realized / size, points, rel_tol=1e-12)
        assert [fill.position for fill in evaluation.fills] == [2, 3, 1, -2, 0, -3, -2]

    def test_odd_lot_size_comes_from_the_orders_new_report(self):
        new = {"operation_type": "New", "order": {"id": "a", "order_lot": "IntradayOdd"}}
        reports = [new, deal("a", "2330", "Buy", 30, 600.0, MONDAY, order_lot=None)]
        [fill] = valued(reports, [], CostModel(), 1e6).fills
        assert (fill.value_per_point, fill.value, fill.fee) == (1, 18_000.0, 25.0)  # 25.65

    @pytest.mark.parametrize(
        "order_lot, deal_lot, shown",
        [(None, "Bogus", "'Bogus'"), ("Bogus", None, "'Bogus'"), (None, None, "None")],
        ids=["the deal's lot", "the order's lot", "no lot"],
    )
    def test_a_stock_fill_of_an_unknown_lot_is_an_error_not_a_guessed_size(
        self, order_lot, deal_lot, shown
    ):
        reports = [deal("a", "2330", "Buy", 1, 600.0, MONDAY, order_lot=deal_lot)]
        if order_lot is not None:
            new = {"operation_type": "New", "order": {"id": "a", "order_lot": order_lot}}
            reports.insert(0, new)
        with pytest.raises(ContractError) as refused:
            valued(reports, [], CostModel(), 1e6)
        assert str(refused.value) == (
            f"2330: unknown order lot {shown} (expected one of Common, Fixing, Odd, IntradayOdd)"
        )

    def test_a_fill_through_flat_ends_one_round_trip_and_starts_the_next(self):
        costs = CostModel(stock_min_commission=0)
        evaluation = valued(self.FILLS[:5], [], costs, 1e6)
        values = [200_000, 103_000, 209_000, 297_000, 197_000]
        commission = [math.floor(v * 0.001425) for v in values]  # 285, 146, 297, 423, 280
        tax = [0, 0, 627, 891, 0]
        first, second = evaluation.round_trips
        # Long 3 at 101 on average: sold 2 at 104.5, then 1 at 99 on the way through flat.
        assert first.gross == pytest.approx(2 * 3.5 * 1000 - 2 * 1000)
        assert first.costs == pytest.approx(sum(commission[:3]) + tax[2] + (423 + 891) / 3)
        # Short 2 at 99, bought back at 98.5.
        assert second.gross == pytest.approx(2 * 0.5 * 1000)
        assert second.costs == pytest.approx((423 + 891) * 2 / 3 + commission[4])
        figures = evaluation.per_code["2330"]
        assert first.net > 0 > second.net
        assert (figures.round_trips, figures.winning_round_trips, figures.win_rate) == (2, 1, 0.5)
        assert figures.profit_factor == pytest.approx(first.net / -second.net)
        assert figures.net == pytest.approx(first.net + second.net)

    def test_a_round_trip_netting_exactly_zero_is_neither_a_win_nor_a_loss(self):
        # Bought and sold at one price on two days, free of costs (no day-trade tax either).
        flat = [deal(trade_id, "2330", action, 1, 100.0, at) for trade_id, action, at in
                (("a", "Buy", MONDAY), ("b", "Sell", MONDAY + DAY))]
        evaluation = valued(flat, [], FREE, 1e6)
        figures = evaluation.per_code["2330"]
        assert [trip.net for trip in evaluation.round_trips] == [0.0]
        assert (figures.round_trips, figures.winning_round_trips, figures.win_rate) == (1, 0, 0.0)
        assert (figures.gains, figures.losses, figures.profit_factor) == (0.0, 0.0, None)

    def test_an_open_round_trip_is_not_counted(self):
        evaluation = valued(self.FILLS[5:], [], FREE, 1e6)
        assert evaluation.round_trips == [] and evaluation.per_code["TXFR1"].win_rate is None


class TestEquityCurve:
    REPORTS = [
        deal("a", "TXFR1", "Buy", 1, 17_000.0, MONDAY + 100, None),
        deal("b", "TXFR1", "Sell", 1, 17_010.0, MONDAY + DAY + 100, None),
    ]
    TIMELINE = [
        Sample(MONDAY + 100, {"TXFR1": 17_000.0}, 1),
        Sample(MONDAY + 200, {"TXFR1": 16_950.0}, 1),  # 50 points down
        Sample(MONDAY + 300, {"TXFR1": 16_980.0}, 1),  # Monday's close
        Sample(MONDAY + DAY + 100, {"TXFR1": 17_010.0}, 2),
    ]

    def test_net_pnl_is_marked_at_each_point_after_that_points_fills(self):
        costs = CostModel(futures_fee=50, futures_tax_pct=0)
        evaluation = valued(self.REPORTS, self.TIMELINE, costs, 1e6, min_sharpe_days=2
        )
        assert evaluation.curve.net_pnl["TXFR1"] == [-50.0, -10_050.0, -4_050.0, 1_900.0]
        assert evaluation.curve.net_pnl["2330"] == [0.0] * 4
        total = evaluation.total
        assert total.max_drawdown == 10_050.0  # the capital is the first peak
        assert total.max_drawdown_share == pytest.approx(0.01005)
        returns = [-4_050 / 1e6, 5_950 / 1e6]
        mean, deviation = sum(returns) / 2, abs(returns[0] - returns[1]) / math.sqrt(2)
        assert total.sharpe == pytest.approx(mean / deviation * math.sqrt(252))
        assert total.turnover == pytest.approx((17_000 + 17_010) * 200 / 1e6)

    @pytest.mark.parametrize("samples, min_days", [(3, 2), (3, 1), (4, 3)])
    def test_sharpe_needs_two_days_and_at_least_the_minimum(self, samples, min_days):
        evaluation = valued(self.REPORTS, self.TIMELINE[:samples], FREE, 1e6, min_days
        )
        assert evaluation.total.sharpe is None
        assert evaluation.trading_days == (1 if samples == 3 else 2)


class TestTimeline:
    def test_a_sample_holds_every_codes_last_price_and_the_reports_so_far(self):
        result = BacktestResult([{"code": "2330", "market": "Stock"}])
        result.positions = Positions()
        result.account = Account(result.contracts, result.settings, result.positions.last_prices)
        result.positions.set_current_tick({"code": "2330", "close": 600.0})
        result.reports.append({})
        result.sample(MONDAY + 10)
        result.positions.set_current_tick({"code": "2330", "close": 601.0})
        assert result.timeline == [Sample(MONDAY + 10, {"2330": 600.0}, 1)]
