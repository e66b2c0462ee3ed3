"""The account in whole runs: both engines apply it alike, and the examples trade within it."""

import pytest
from quorvel.examples.bar_trend import BarTrend
from quorvel.examples.breakout import Breakout
from quorvel.examples.market_maker import MarketMaker
from quorvel.examples.mean_reversion import MeanReversion
from test_engines import run

from quorvel.backtest import AccountRules, FuturesMargin, OrderError, Strategy
from quorvel.backtest.messages import MarginCall
from quorvel.backtest.output.tables import render

ENGINES = ["replay", "paced"]
TRADE_ID_KEYS = ("id", "seqno", "ordno", "exchange_seqno")
# Maintenance equal to initial: the first loss after the margin is used up calls.
TIGHT = {"TXF": FuturesMargin(340_000, 340_000)}


pytestmark = pytest.mark.usefixtures("engines_built")


class Scenario(Strategy):
    """Records what the account refuses and calls."""

    def on_start(self):
        self.refusals, self.calls = [], []

    def on_margin_call(self, info):
        self.calls.append(info)

    def attempt(self, operation, *args):
        try:
            operation(*args)
        except OrderError as error:
            self.refusals.append(str(error))


class DayTrader(Scenario):
    """Sells 2330 first once a day after 13:00 and never buys it back."""

    def on_start(self):
        super().on_start()
        self.days = set()

    def on_tick(self, tick):
        day = tick["timestamp"] // 86_400
        if tick["code"] == "2330" and tick["timestamp"] % 86_400 >= 13 * 3600:
            if day not in self.days:
                self.days.add(day)
                self.attempt(self.sell, "2330", 1)
                upper = self.limit_prices("2330")[1]
                self.attempt(self.sell, "2330", 1, upper)  # a ROD left working


class Leveraged(Scenario):
    """Buys TXFR1 at the market, one contract a tick, up to `most`."""

    most = 5

    def on_tick(self, tick):
        code = tick["code"]
        if code == "TXFR1" and not self.working_orders(code) and self.position(code) < self.most:
            self.attempt(self.buy, code, 1)


def masked(reports):
    numbers = {}

    def mask(part):
        return {
            key: mask(value)
            if isinstance(value, dict)
            else numbers.setdefault(value, len(numbers))
            if key in TRADE_ID_KEYS
            else value
            for key, value in part.items()
        }

    return [mask(report) for report in reports]


def deals(result, code):
    return [r for r in result.reports if "operation_type" not in r and r["code"] == code]


DAY_TRADES = dict(capital=2_000_000, account=AccountRules(day_trade=True))
SCENARIOS = [
    (DayTrader, DAY_TRADES),
    (Leveraged, dict(capital=700_000, account=AccountRules(futures_margins=TIGHT))),
    (
        Leveraged,
        dict(capital=700_000, account=AccountRules(futures_margins=TIGHT, margin_call="immediate")),
    ),
    (
        Leveraged,
        dict(capital=700_000, account=AccountRules(futures_margins=TIGHT, margin_call="warn")),
    ),
]


@pytest.mark.parametrize(
    "strategy, account", SCENARIOS, ids=["day-trade", "margin-call-broker", "margin-call", "margin-call-warn"]
)
def test_both_engines_apply_the_account_alike(data_dir, strategy, account):
    runs = {}
    for engine in ENGINES:
        scenario = strategy()
        runs[engine] = (run(data_dir, scenario, engine, **account), scenario)
    (replayed, first), (paced, second) = runs["replay"], runs["paced"]
    assert replayed.warnings and replayed.warnings == paced.warnings
    assert masked(replayed.reports) == masked(paced.reports)
    assert first.refusals == second.refusals and first.calls == second.calls
    assert replayed.balances == paced.balances and len(replayed.balances) > 5
    assert replayed.refused_orders == len(first.refusals)


class TestDayTrade:
    def test_a_short_left_at_the_close_is_bought_back_at_its_last_tick(self, data_dir):
        strategy = DayTrader()
        result = run(data_dir, strategy, **DAY_TRADES)
        fills = deals(result, "2330")
        sells = [fill for fill in fills if fill["action"] == "Sell"]
        buys = [fill for fill in fills if fill["action"] == "Buy"]
        assert len(sells) == 2 and len(buys) == 2
        for sell, buy in zip(sells, buys):
            close = sell["exchange_ts"] // 86_400 * 86_400 + 13.5 * 3600
            assert sell["exchange_ts"] < close <= buy["exchange_ts"] < close + 60
        assert result.positions.positions["2330"].quantity == 0
        assert [w.split(" 2330: ")[1] for w in result.warnings] == [
            "1 lot sold first and not bought back by the close; bought back at market"
        ] * 2
        # The working ROD was cancelled before the buy back.
        cancels = [r for r in result.reports if r.get("operation_type") == "Cancel"]
        assert len(cancels) == 2
        frame = result.fills_frame()
        assert frame["day_trade_qty"].to_list() == frame["quantity"].to_list()

    def test_without_day_trade_a_cash_account_sells_only_what_it_holds(self, data_dir):
        strategy = DayTrader()
        result = run(data_dir, strategy)
        assert deals(result, "2330") == [] and not result.warnings
        assert strategy.refusals[0].startswith("selling 1 lot of 2330 needs 1 lot held; 0 held")


class TestFuturesMargin:
    def test_orders_beyond_the_margin_are_refused_and_a_fall_is_liquidated(self, data_dir):
        strategy = Leveraged()
        rules = AccountRules(futures_margins=TIGHT, margin_call="immediate")
        result = run(data_dir, strategy, capital=700_000, account=rules)
        assert strategy.refusals[0].startswith("buying 1 contract of TXFR1 at ")
        fills = deals(result, "TXFR1")
        held, most = 0, 0
        for fill in fills:
            held += fill["quantity"] if fill["action"] == "Buy" else -fill["quantity"]
            most = max(most, held)
        assert most == 2  # 2 x 340,000 fits in 700,000, 3 do not
        assert strategy.calls and all(
            call["equity"] < call["maintenance_margin"] == 680_000 for call in strategy.calls
        )
        assert all(call.keys() == MarginCall.__annotations__.keys() for call in strategy.calls)
        # Each call is followed by the engine's sale of both contracts at the market, which
        # fills at the next tick as far as its quantity goes.
        closing = [
            report["order"]
            for report in result.reports
            if report.get("operation_type") == "New" and report["order"]["action"] == "Sell"
        ]
        assert [
            (order["price_type"], order["order_type"], order["quantity"]) for order in closing
        ] == [("MKT", "IOC", 2)] * len(strategy.calls)
        for call in strategy.calls:
            after = [fill for fill in fills if fill["exchange_ts"] > call["timestamp"]]
            assert after[0]["action"] == "Sell"
        assert result.peak_margin == 680_000

    def test_warn_only_keeps_the_positions(self, data_dir):
        strategy = Leveraged()
        rules = AccountRules(futures_margins=TIGHT, margin_call="warn")
        result = run(data_dir, strategy, capital=700_000, account=rules)
        assert strategy.calls and all(call["action"] == "warn" for call in strategy.calls)
        assert all(fill["action"] == "Buy" for fill in deals(result, "TXFR1"))
        assert all(
            warning.endswith("futures positions kept (warn only)") for warning in result.warnings
        )

    def test_without_account_rules_nothing_is_refused(self, data_dir):
        strategy = Leveraged()
        result = run(data_dir, strategy, capital=700_000, account_rules=False)
        assert strategy.refusals == [] and strategy.calls == [] and not result.warnings
        assert result.positions.positions["TXFR1"].quantity == Leveraged.most


@pytest.mark.parametrize("example", [MeanReversion, Breakout, MarketMaker, BarTrend])
def test_examples_trade_within_the_default_capital(data_dir, example):
    result = run(data_dir, example())
    assert result.reports
    held = 0
    for fill in deals(result, "2330"):
        held += fill["quantity"] if fill["action"] == "Buy" else -fill["quantity"]
        assert held >= 0  # a cash account never sells what it does not hold
    assert min(balances.cash for balances in result.balances) > 0


def test_the_run_table_shows_the_account_and_its_warnings(data_dir):
    from rich.console import Console

    rules = AccountRules(futures_margins=TIGHT, margin_call="immediate")
    result = run(data_dir, Leveraged(), capital=700_000, account=rules)
    console = Console(record=True, width=120)
    render(result, console)
    text = " ".join(console.export_text().split())
    assert "account cash; margin calls immediate" in text
    assert f"orders the account refused {result.refused_orders:,} " in text
    assert "peak margin in use (NTD) 680,000" in text
    assert f"{result.warnings[0]} " in text
