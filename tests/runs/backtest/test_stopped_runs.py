"""A run stopped early hands over what it did: an exception from the strategy is told as the
strategy's, with the partial result; and a code never names a file outside the data directory."""

from pathlib import Path

import pytest
from backtest_support import CODES, backtest

from quorvel.backtest import (
    BacktestError,
    BacktestInterrupted,
    Strategy,
    RunSettings,
    StrategyError,
    StrategyStalled,
    run_backtest,
)
from quorvel.backtest.engine.backtest import cache_directory, load_ticks
from quorvel.backtest.engine.failures import failing_hook
from quorvel.data import CacheOnlyBroker
from quorvel.sim import SimulatedBroker

PERIOD = ("2024-01-08", "2024-01-08")
TICKS_PER_DAY = 100


@pytest.fixture(autouse=True)
def extensions_built():
    pytest.importorskip("quorvel.modules.ticker.ticker")
    pytest.importorskip("quorvel.modules.replay.replay")


def run(data_dir, strategy, engine="replay", broker=None, **settings):
    return backtest(data_dir, strategy, broker=broker, market_seed=1, ticks_per_day=TICKS_PER_DAY,
                    period=PERIOD, engine=engine, **settings)


class FailsIn(Strategy):
    """Buys on the first live tick, then divides by zero in `hook` once it has seen ten ticks."""

    def __init__(self, hook):
        super().__init__()
        self.hook = hook
        self.ticks = 0

    def fail_in(self, hook):
        if hook == self.hook and (hook in ("on_start", "on_end") or self.ticks >= 10):
            return 1 / 0  # FAILING LINE

    def on_start(self):
        self.fail_in("on_start")

    def warm_up(self, tick):
        self.ticks += 1
        self.fail_in("warm_up")

    def on_tick(self, tick):
        self.ticks += 1
        if not self.position("2330") and not self.working_orders():
            self.buy("2330", 1)
        self.fail_in("on_tick")

    def on_report(self, report):
        self.fail_in("on_report")

    def on_end(self):
        self.fail_in("on_end")


FAILING_LINE = next(
    number
    for number, line in enumerate(open(__file__, encoding="utf-8"), 1)
    if line.rstrip().endswith("# FAILING LINE")
)


class TestStrategyErrors:
    @pytest.mark.parametrize("hook", ["on_start", "warm_up", "on_tick", "on_report", "on_end"])
    def test_each_hook_is_named_with_the_exception_and_the_line(self, hook, tmp_path):
        with pytest.raises(StrategyError) as raised:
            run(tmp_path, FailsIn(hook))
        error = raised.value
        assert str(error) == (
            f"FailsIn.{hook} raised ZeroDivisionError: division by zero "
            f"(test_stopped_runs.py:{FAILING_LINE})"
        )
        assert isinstance(error.__cause__, ZeroDivisionError)
        assert error.result.stopped == str(error)

    @pytest.mark.parametrize("hook", ["on_bar", "on_margin_call"])
    def test_hooks_called_on_occasion_are_named_too(self, hook):
        class Occasional(Strategy):
            def on_bar(self, bar):
                1 / 0

            def on_margin_call(self, info):
                1 / 0

        strategy = Occasional()
        with pytest.raises(ZeroDivisionError) as raised:
            getattr(strategy, hook)({})
        named, _ = failing_hook(strategy, raised.value)
        assert named == f"Occasional.{hook}"

    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_the_result_so_far_comes_with_the_error(self, engine, tmp_path):
        with pytest.raises(StrategyError) as raised:
            run(tmp_path, FailsIn("on_tick"), engine)
        partial = raised.value.result
        # It failed on the first live tick, after its order.
        assert (partial.backfill_ticks, partial.live_ticks) == (len(CODES) * TICKS_PER_DAY, 1)
        assert [report["operation_type"] for report in partial.reports] == ["New"]
        # Cached: the period, the backfill and the day before, whose last prices set the limits.
        assert partial.positions is not None and partial.cache_files_after == 3 * len(CODES)

    def test_the_traceback_goes_to_the_runs_log_file(self, tmp_path):
        with pytest.raises(StrategyError):
            run(tmp_path, FailsIn("on_tick"))
        cache = cache_directory(str(tmp_path), SimulatedBroker(1, ticks_per_day=TICKS_PER_DAY))
        log = (Path(cache) / "logs" / "quorvel.log").read_text(encoding="utf-8")
        assert "FailsIn.on_tick raised ZeroDivisionError" in log
        assert "Traceback" in log and f'test_stopped_runs.py", line {FAILING_LINE}' in log

    def test_an_order_the_desk_refuses_is_placed_at_the_hooks_line(self, tmp_path):
        class NaNPrice(Strategy):
            def on_tick(self, tick):
                self.buy(tick["code"], 1, float("nan"))

        line = NaNPrice.on_tick.__code__.co_firstlineno + 1
        with pytest.raises(StrategyError) as raised:
            run(tmp_path, NaNPrice())
        assert str(raised.value) == (
            "NaNPrice.on_tick raised OrderError: price must be a positive finite number, "
            f"not nan (test_stopped_runs.py:{line})"
        )

    def test_an_exception_that_did_not_come_from_a_hook_is_not_the_strategys(self, tmp_path):
        class FailingBroker(SimulatedBroker):
            def ticks(self, contract, date):
                raise ConnectionError("the broker is gone")

        with pytest.raises(BacktestError, match="with ConnectionError: the broker is gone$"):
            run(tmp_path, Strategy(), broker=FailingBroker(1), broker_wait=0)

    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_a_hook_that_does_not_return_ends_the_run_at_the_stall_timeout(self, engine, tmp_path):
        class Endless(Strategy):
            def on_tick(self, tick):
                while True: pass  # ENDLESS LINE (one line: each interpreter reports the same)

        with pytest.raises(StrategyStalled) as raised:  # within the tests' own timeout
            run(tmp_path, Endless(), engine, stall_timeout=0.4)
        line = next(number for number, text in enumerate(open(__file__), 1) if "# ENDLESS" in text)
        message = f"Endless.on_tick did not return within 0.4 s (test_stopped_runs.py:{line})"
        assert (str(raised.value), raised.value.result.stopped) == (message, message)
        assert raised.value.result.live_ticks == 1

    def test_an_interrupted_result_says_so(self, tmp_path):
        class Interrupts(Strategy):
            def on_tick(self, tick):
                raise KeyboardInterrupt

        with pytest.raises(BacktestInterrupted) as raised:
            run(tmp_path, Interrupts())
        assert raised.value.result.stopped == "interrupted"
        assert raised.value.result.live_ticks == 1


ESCAPING_CODES = ["../../../escaped", "../escaped", "a/b", "a\\b", "..", "tab\tcode", "nl\n", ""]
SATURDAY = ("2024-01-06", "2024-01-06")  # a day the cache-only broker answers, and one cached


class TestCodesNameNoOutsideFile:
    @pytest.mark.parametrize("code", ESCAPING_CODES)
    @pytest.mark.parametrize("load", ["run_backtest", "load_ticks"])
    def test_a_code_that_could_leave_the_data_directory_is_refused(self, load, code, tmp_path):
        data_dir = tmp_path / "one" / "two" / "three" / "data"
        # The cache-only broker's registry knows every code, as a live broker's might not.
        call = run_backtest if load == "run_backtest" else load_ticks
        with pytest.raises(BacktestError, match="code"):
            call(CacheOnlyBroker(), [code], RunSettings(SATURDAY, None), data_dir=str(data_dir))
        written = [path for path in tmp_path.rglob("*") if path.is_file()]
        assert written == []

    def test_a_plain_code_of_the_same_registry_is_cached_under_the_data_directory(self, tmp_path):
        load_ticks(CacheOnlyBroker(), ["TXFR1"], RunSettings(SATURDAY, None), data_dir=str(tmp_path))
        written = sorted(path.name for path in (tmp_path / "sino" / "ticks").iterdir())
        assert "TXFR1 2024-01-06 - ticks.csv" in written
