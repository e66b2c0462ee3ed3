"""Futures held over their month's end, on hand-made exchange files around the August 2024
expiry (Wednesday the 21st): settled at the final settlement price, rolled or not, under both
engines; an explicit month settled on its last day while the run goes on; the roll day's limits
taken from the new month."""

import json

import pytest
from data_support import write_daily_file

from quorvel import cli
from quorvel.backtest import CostModel, RunSettings, Strategy, run_backtest
from quorvel.data import CacheOnlyBroker, import_settlements, import_taifex

AUGUST, SEPTEMBER = 22_000, 21_850  # both months flat, 150 points apart
FINAL = 22_010  # the August contracts' final settlement price
PERIOD = ("2024-08-20", "2024-08-22")


def trades_of(day, night_before, august=True):
    """One trading day's trades: the night session from the evening before, then the day."""
    months = [("202408", AUGUST)] if august else []
    months += [("202409", SEPTEMBER)]
    times = [(night_before, "150000"), (day, "090000"), (day, "132900")]
    return [
        (date, "TX", month, time[:4] + f"{second:02d}", price)
        for date, time in times
        for second, (month, price) in enumerate(months)
    ]


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("expiry")
    days = [("20240820", "20240819"), ("20240821", "20240820"), ("20240822", "20240821")]
    files = [
        write_daily_file(folder / f"Daily_{day}.csv", trades_of(day, night, day <= "20240821"))
        for day, night in days
    ]
    data = str(folder / "data")
    import_taifex(files, data)
    table = folder / "final.csv"
    table.write_text(f"product,month,settlement_price\nTX,202408,{FINAL}\n")
    import_settlements([str(table)], data)
    return data


class BuyOnce(Strategy):
    """Buys one contract at the first tick and holds it; records what the run tells it."""

    def on_start(self):
        self.settlements, self.limits = [], {}

    def on_tick(self, tick):
        if not self.settlements and self.position(tick["code"]) == 0 and not self.working_orders():
            self.buy(tick["code"], 1)
        self.limits.setdefault(tick["timestamp"], self.limit_prices(tick["code"]))

    def on_settlement(self, info):
        self.settlements.append(info)


def run(data_dir, code, **settings):
    strategy = BuyOnce()
    result = run_backtest(
        CacheOnlyBroker(),
        [code],
        RunSettings(PERIOD, None, fill_model="touch", latency_ms=0, stall_timeout=30, **settings),
        data_dir=data_dir,
        strategy=strategy,
    )
    return result, strategy


@pytest.fixture(scope="module", params=["replay", "paced"])
def engine(request):
    return request.param


@pytest.mark.usefixtures("engines_built")
class TestContinuousCode:
    @pytest.mark.parametrize("roll", ["settle", "carry"])
    def test_a_position_over_the_expiry_nets_its_settlement_less_costs(self, data_dir, engine, roll):
        result, strategy = run(data_dir, "TXFR1", engine=engine, roll=roll)
        fills = result.fills_frame()
        fee, tax = 20.0, 88.0  # TX 20 NTD a side; 0.002 % of 4.4 million
        settled = [info["price"] for info in strategy.settlements]
        assert settled == [FINAL] and strategy.settlements[0]["price_source"] == "final settlement"
        assert strategy.settlements[0]["month"] == "202408"
        if roll == "settle":
            assert fills["kind"].to_list() == ["fill", "settlement"]
            assert result.evaluate().total.net == pytest.approx(10 * 200 - fee - tax - tax)
            assert result.positions.positions["TXFR1"].quantity == 0
            result.settings = result.settings.replace(costs=CostModel(futures_fee=0.0))
            assert result.evaluate().total.net == pytest.approx(10 * 200 - tax - tax)
        else:  # opened again at September's first trade, its costs paid too
            assert fills["kind"].to_list() == ["fill", "settlement", "roll"]
            assert fills["price"].to_list() == [AUGUST, FINAL, SEPTEMBER]
            roll_costs = fee + 87.0  # 0.002 % of 4.37 million
            assert result.evaluate().total.net == pytest.approx(2000 - fee - 2 * tax - roll_costs)
            assert result.positions.positions["TXFR1"].quantity == 1
            assert strategy.settlements[0]["carried_to"] == "202409"
        assert result.settled_at_last_trade == []

    def test_an_r2_position_is_closed_at_its_last_trade_as_its_month_trades_on(
        self, data_dir, engine
    ):
        result, strategy = run(data_dir, "TXFR2", engine=engine)
        [info] = strategy.settlements  # September becomes R1: no settlement price of it is known
        assert (info["month"], info["price"], info["price_source"]) == (
            "202409", SEPTEMBER, "last trade"
        )
        assert result.settled_at_last_trade == [] and result.per_code()["TXFR2"]["position"] == 0

    def test_the_roll_days_limits_are_the_new_months(self, data_dir, engine):
        _, strategy = run(data_dir, "TXFR1", engine=engine)
        limits = list(strategy.limits.values())
        # No reference on the run's first day (its day before is not imported); then the
        # trading day of the 21st, from its night session on, follows September.
        assert limits[0] is None and limits[3] == (19_665.0, 24_035.0)


@pytest.mark.usefixtures("engines_built")
def test_an_explicit_month_settles_on_its_last_day_and_the_run_goes_on(data_dir, engine):
    result, strategy = run(data_dir, "TXFH4", engine=engine)
    [info] = strategy.settlements
    # The last trading day's session ends at 13:30: the settlement comes then.
    assert (info["code"], info["quantity"], info["price"]) == ("TXFH4", 1, FINAL)
    assert result.per_code()["TXFH4"]["position"] == 0
    assert result.live_ticks == 6 and not result.stopped


def test_an_offline_run_goes_past_an_explicit_months_end(data_dir, tmp_path):
    output = tmp_path / "out"
    argv = ["--offline", "--data-dir", data_dir, "--codes", "TXFH4", "--no-backfill"]
    argv += ["--start", PERIOD[0], "--end", PERIOD[1], "--roll", "carry", "--output", str(output)]
    assert cli.main(argv) == 0
    summary = json.loads((output / "summary.json").read_text())
    assert summary["settings"]["roll"] == "carry"
    assert summary["settings"]["settlement_prices"] == {"TXF202408": FINAL}
