"""Stocks held over their ex-dates: the dividend paid on its payment date (a short owes it), the
shares of a stock dividend, and the strategy told, alike under both engines."""

import pytest
from backtest_support import backtest

from quorvel.backtest import AccountRules, Strategy
from quorvel.backtest.output.charts import chart_series
from quorvel.market.actions import CorporateAction
from quorvel.sim import SimulatedBroker

EX_DATE, PAID = "2024-01-09", "2024-01-10"
ACTIONS = (
    CorporateAction("2330", EX_DATE, cash_dividend=5.0, payment_date=PAID),
    CorporateAction("2317", EX_DATE, stock_dividend=0.1),
    CorporateAction("2303", EX_DATE, cash_dividend=30.0),  # 30,000 NTD: the premium withheld
)
LOTS = {"2330": 1, "2317": 2, "2303": -1}  # a short sale of 2303


class Holder(Strategy):
    """Takes its position in each code at the first tick and holds it."""

    def on_start(self):
        self.told, self.taken, self.cash = [], set(), {}

    def on_tick(self, tick):
        code = tick["code"]
        if code not in self.taken:
            self.taken.add(code)
            (self.buy if LOTS[code] > 0 else self.sell)(code, abs(LOTS[code]))

    def on_corporate_action(self, info):
        self.told.append(info)


@pytest.fixture(scope="module", params=["replay", "paced"])
def run(request, tmp_path_factory):
    strategy = Holder()
    result = backtest(
        tmp_path_factory.mktemp("data"),
        strategy,
        codes=list(LOTS),
        broker=SimulatedBroker(5, ticks_per_day=300, corporate_actions=ACTIONS),
        period=("2024-01-08", "2024-01-10"),
        backfill=None,
        engine=request.param,
        account=AccountRules(stock_account="margin"),
    )
    return result, strategy


@pytest.mark.usefixtures("engines_built")
def test_holders_are_paid_shorts_owe_and_stock_dividends_add_shares(run):
    result, strategy = run
    told = {info["code"]: info for info in strategy.told}
    assert {code: info["shares_held"] for code, info in told.items()} == {
        "2330": 1_000, "2317": told["2317"]["shares_held"], "2303": -1_000
    }
    figures = result.evaluate().per_code
    assert (figures["2330"].dividends, figures["2303"].dividends) == (5_000, -30_000)
    assert (told["2330"]["dividend"], told["2330"]["payment_date"]) == (5_000, PAID)
    held = told["2317"]["shares_held"]
    assert held > 0 and told["2317"]["new_shares"] == held // 10
    assert result.account.holdings["2317"].shares == held * 11 // 10
    assert result.positions.positions["2317"].quantity == held // 1000  # whole lots kept
    dividends = result.fills_frame().filter(kind="dividend")
    assert sorted(dividends["value"].to_list()) == [-30_000, 5_000]
    assert result.account.payments == []  # every payment made by the run's end
    series = chart_series(result, result.evaluate())
    assert all(fill.kind == "fill" for fills in series.buys.values() for fill in fills)


@pytest.mark.usefixtures("engines_built")
def test_the_payment_moves_the_cash_on_its_day_and_the_pl_adds_up(run):
    result, _ = run
    evaluation = result.evaluate()
    total = evaluation.total
    assert total.net == pytest.approx(
        total.realized + total.unrealized + total.dividends - total.fees - total.taxes
    )
    # A long's dividend above 20,000 NTD would have the premium withheld; a short's debit has none.
    assert [fill.tax for fill in evaluation.fills if fill.kind == "dividend"] == [0.0, 0.0]
