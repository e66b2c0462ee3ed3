"""The backtest driver: a run's ledger, its pacing, its cache, and the command line."""

import math
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
from collections import defaultdict

import pytest

from quorvel import backtest
from quorvel.backtest import BacktestError, load_ticks, resolve_codes, run_backtest
from quorvel.backtest.engine import cache_directory
from quorvel.constant import BASIC_INFO, FLAG, Action
from quorvel.examples.mean_reversion import MeanReversion
from quorvel.sim import SimulatedBroker

PERIOD = ("2024-01-08", "2024-01-10")  # Monday to Wednesday
BACKFILL = ("2024-01-05", "2024-01-05")  # the Friday before
TICKS_PER_DAY = 400
CODES = ["2330", "TXFR1"]
# Trades often, so that a short run uses every kind of order.
PARAMS = dict(ma=20, band=0.0005, every=10, lot=2, max_position=4, rod_ttl=30)
WAIT = 30  # seconds any single wait of a test may take


@pytest.fixture(scope="module")
def ticker_built():
    return pytest.importorskip("quorvel.modules.ticker.ticker")


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("backtest-data"))


def run(data_dir, broker=None, **kwargs):
    return run_backtest(
        broker or SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY),
        CODES,
        PERIOD,
        BACKFILL,
        data_dir=data_dir,
        strategy=MeanReversion(**PARAMS),
        stall_timeout=30,
        **kwargs,
    )


@pytest.fixture(scope="module")
def result(ticker_built, data_dir):
    return run(data_dir)


def deal_reports(result):
    return [report for report in result.reports if "operation_type" not in report]


class TestLedger:
    def test_run_replays_every_tick_and_ends_with_the_end_status(self, result):
        assert result.statuses[-1] == FLAG.exit_send_tick.value
        assert result.live_ticks == 3 * len(CODES) * TICKS_PER_DAY
        assert result.backfill_ticks == len(CODES) * TICKS_PER_DAY

    def test_the_strategy_uses_every_order_kind(self, result):
        kinds = result.order_kinds()
        assert {("LMT", "ROD"), ("LMT", "FOK"), ("MKT", "IOC")} <= set(kinds)
        assert all(counts["filled"] for counts in kinds.values())

    def test_every_fill_reported_is_in_positions(self, result):
        deals = [
            (r["id"], r["code"], r["action"], r["quantity"], r["price"])
            for r in deal_reports(result)
        ]
        ledger = [
            (t.trade_id, t.code, t.action, t.quantity, t.price)
            for t in result.positions.trade_records
            if t.trade_status == "Deal"
        ]
        assert deals and deals == ledger

    def test_every_expiry_in_positions_was_reported_as_a_cancellation(self, result):
        cancelled = {
            r["order"]["id"]: r["order"]["quantity"]
            for r in result.reports
            if r.get("operation_type") == "Cancel"
        }
        expired = [t for t in result.positions.trade_records if t.trade_status == "Cancel"]
        assert expired
        assert all(cancelled[t.trade_id] == t.quantity for t in expired)

    def test_positions_are_the_sum_of_the_fills(self, result):
        net = defaultdict(int)
        for report in deal_reports(result):
            net[report["code"]] += report["quantity"] * (
                1 if report["action"] == Action.BUY else -1
            )
        per_code = result.per_code()
        assert {code: row["position"] for code, row in per_code.items()} == {
            c: net[c] for c in CODES
        }
        assert all(abs(row["position"]) <= PARAMS["max_position"] for row in per_code.values())

    def test_pnl_equals_the_cash_flows_marked_to_the_last_price(self, result):
        per_code = result.per_code()
        for code in CODES:
            cash = sum(
                r["price"] * r["quantity"] * (-1 if r["action"] == Action.BUY else 1)
                for r in deal_reports(result)
                if r["code"] == code
            )
            row = per_code[code]
            marked = cash + row["position"] * row["last_price"]
            assert math.isclose(row["realized_pnl"] + row["unrealized_pnl"], marked, abs_tol=1e-6)

    def test_per_code_counts_add_up_to_the_reports(self, result):
        per_code = result.per_code()
        assert sum(row["fills"] for row in per_code.values()) == len(deal_reports(result))
        news = sum(1 for r in result.reports if r.get("operation_type") == "New")
        assert sum(row["orders"] for row in per_code.values()) == news
        assert news == sum(1 for action, _ in result.operations if action == "add")


class TestPacingAndCache:
    def test_strictly_paced_run_trades_exactly_like_the_run_ahead_one(self, result, data_dir):
        paced = run(data_dir, engine="paced", window=1)
        ahead = run(data_dir, engine="paced", window=8)

        def fills(res):
            return [(r["code"], r["action"], r["quantity"], r["price"]) for r in deal_reports(res)]

        assert fills(paced) == fills(ahead) == fills(result)
        assert paced.positions.summary() == ahead.positions.summary()

    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_second_run_reads_the_cache_without_asking_the_broker(self, result, data_dir, engine):
        broker = SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY)
        again = run(data_dir, broker=broker, engine=engine)
        assert broker.tick_requests == []
        assert again.cache_files_before == again.cache_files_after == result.cache_files_after
        day_files = [
            name
            for name in os.listdir(
                os.path.join(cache_directory(data_dir, broker), "sino", "ticks")
            )
            if name.endswith(".csv")
        ]
        assert result.cache_files_after == len(day_files) > 0

    def test_loading_ticks_fills_the_cache_a_run_then_reads(self, ticker_built, tmp_path, result):
        loaded = load_ticks(
            SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY),
            CODES,
            PERIOD,
            BACKFILL,
            data_dir=str(tmp_path),
        )
        assert loaded == result.live_ticks + result.backfill_ticks
        broker = SimulatedBroker(3, ticks_per_day=TICKS_PER_DAY)
        again = run(str(tmp_path), broker=broker)
        assert broker.tick_requests == []

        def fills(res):
            return [(r["code"], r["action"], r["quantity"], r["price"]) for r in deal_reports(res)]

        assert fills(again) == fills(result)

    def test_a_feed_that_stops_sending_ends_the_run_with_an_error(
        self, ticker_built, tmp_path, monkeypatch
    ):
        monkeypatch.setattr(
            ticker_built.Ticker, "_Ticker__push_tick_to_queue", lambda self, df: None
        )
        before = set(threading.enumerate())
        with pytest.raises(BacktestError, match="no tick came"):
            run_backtest(
                SimulatedBroker(3, ticks_per_day=10),
                ["2330"],
                PERIOD,
                None,
                data_dir=str(tmp_path),
                engine="paced",
                stall_timeout=1,
            )
        assert threads_started_since(before) == []


def threads_started_since(before):
    return [thread.name for thread in threading.enumerate() if thread not in before]


class SlowBroker(SimulatedBroker):
    """Takes its time over each day's ticks, like a broker on the network."""

    def ticks(self, contract, date):
        time.sleep(0.1)
        return super().ticks(contract=contract, date=date)


class GatedBroker(SimulatedBroker):
    """Holds the first tick query until the test opens the gate."""

    def __init__(self):
        super().__init__(3, ticks_per_day=10)
        self.waiting = threading.Event()
        self.gate = threading.Event()

    def ticks(self, contract, date):
        self.waiting.set()
        assert self.gate.wait(WAIT)
        return super().ticks(contract=contract, date=date)


class TestRunBoundaries:
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_a_period_without_trading_days_stops_the_backfill_before_returning(
        self, ticker_built, tmp_path, monkeypatch, engine
    ):
        # The weekend yields no tick: the feed ends at once while the backfill still loads.
        outside = tmp_path / "outside"
        monkeypatch.setattr(BASIC_INFO, "data_dir", str(outside))
        before = set(threading.enumerate())
        result = run_backtest(
            SlowBroker(3, ticks_per_day=50),
            CODES,
            ("2024-01-06", "2024-01-07"),
            ("2024-01-02", "2024-01-05"),
            data_dir=str(tmp_path / "data"),
            engine=engine,
            stall_timeout=WAIT,
        )
        assert threads_started_since(before) == []
        assert result.live_ticks == 0 and result.statuses[-1] == FLAG.exit_send_tick.value
        assert BASIC_INFO.data_dir == str(outside) and not outside.exists()

    def test_a_second_concurrent_run_is_refused(self, ticker_built, tmp_path):
        broker = GatedBroker()
        outcome = {}

        def first_run():
            outcome["result"] = run_backtest(
                broker, ["2330"], PERIOD, None, data_dir=str(tmp_path / "first")
            )

        first = threading.Thread(target=first_run)
        first.start()
        try:
            assert broker.waiting.wait(WAIT)
            with pytest.raises(BacktestError, match="separate processes"):
                run_backtest(
                    SimulatedBroker(3, ticks_per_day=10),
                    ["2330"],
                    PERIOD,
                    None,
                    data_dir=str(tmp_path / "second"),
                )
        finally:
            broker.gate.set()
            first.join(WAIT)
        assert outcome["result"].live_ticks == 3 * 10

    def test_repeated_codes_are_resolved_once(self):
        assert resolve_codes(SimulatedBroker(), ["2330", "TXFR1", "2330"]) == [
            {"code": "2330", "market": "Stock"},
            {"code": "TXFR1", "market": "Future"},
        ]


class TestCommandLine:
    @pytest.mark.parametrize(
        "argv, message",
        [
            (["--window", "0"], "--window: must be at least 1"),
            (["--start", "2024-02-30"], "--start: not a date"),
            (["--start", "2024-01-12", "--end", "2024-01-08"], "lies after --end"),
            (["--backfill-end", "2024-01-08"], "backfill must end before"),
            (["--codes", "9999"], "unknown code '9999'"),
            (["--param", "ma=abc"], "--strategy/--param: ma=abc: expected a whole number"),
            (["--param", "nope=1"], "MeanReversion has no parameter 'nope'"),
            (["--strategy", "no_such_file.py:X"], "no such strategy file: no_such_file.py"),
            (["--strategy", "quorvel.sim:SimulatedBroker"], "has no Strategy subclass named"),
            (["--engine", "fast"], "invalid choice: 'fast'"),
            (["--plot", "equity.svg"], "ending in .png"),
            (["--no-such-option"], "unrecognized arguments"),
        ],
    )
    def test_bad_options_exit_with_2_and_say_why(self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            backtest.main(argv)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err

    def test_dates_without_leading_zeros_are_read_as_dates(self):
        args = backtest.cli.build_parser().parse_args(["--start", "2024-1-8", "--end", "2024-1-9"])
        assert (args.start, args.end) == ("2024-01-08", "2024-01-09")

    def test_bad_option_prints_no_traceback(self):
        child = subprocess.run(
            [sys.executable, "-m", "quorvel.backtest", "--window", "x"],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert child.returncode == 2
        assert "Traceback" not in child.stderr and "--window" in child.stderr

    def test_a_run_prints_the_tables(self, ticker_built, tmp_path, capsys):
        argv = [
            "--ticks-per-day",
            "100",
            "--data-dir",
            str(tmp_path),
            "--start",
            "2024-01-08",
            "--end",
            "2024-01-08",
            "--backfill-start",
            "2024-01-05",
            "--backfill-end",
            "2024-01-05",
        ]
        assert backtest.main(argv) == 0
        out = capsys.readouterr().out
        assert "Per code" in out and "ticks per second" in out and "TXFR1" in out

    def test_plot_writes_the_equity_curve_as_png(self, ticker_built, tmp_path):
        pytest.importorskip("matplotlib")
        image = tmp_path / "equity.png"
        argv = ["--ticks-per-day", "100", "--data-dir", str(tmp_path), "--end", "2024-01-08"]
        assert backtest.main([*argv, "--plot", str(image)]) == 0
        assert image.read_bytes().startswith(b"\x89PNG")

    def test_help_states_each_default_once(self, capsys):
        with pytest.raises(SystemExit):
            backtest.main(["--help"])
        text = " ".join(capsys.readouterr().out.split())
        assert text.count("(default: a temporary directory)") == 1
        assert "(default: None)" not in text and "(default: False)" not in text
        assert "(default: 3000)" in text

    def test_repeated_codes_are_collapsed_and_said_so(self, ticker_built, tmp_path, capsys):
        argv = ["--codes", "2330", "2330", "--ticks-per-day", "100", "--no-backfill"]
        argv += ["--data-dir", str(tmp_path), "--end", "2024-01-08"]
        assert backtest.main(argv) == 0
        out = " ".join(capsys.readouterr().out.split())
        assert "repeated codes collapsed: 2330" in out
        assert "ticks replayed (backfill + live) 0 + 100" in out


def run_command_line(argv, cwd, **kwargs):
    """quorvel-backtest in a child process, without SJ_LOG_PATH from the caller."""
    env = {key: value for key, value in os.environ.items() if key != "SJ_LOG_PATH"}
    return subprocess.Popen(
        [sys.executable, "-c", SLOW_REPLAY, *argv],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


# The command line with a strategy that takes a millisecond per live tick, and says on stderr
# when the first one comes.
SLOW_REPLAY = textwrap.dedent("""
    import sys, time
    from quorvel.backtest import cli
    from quorvel.examples.mean_reversion import MeanReversion

    on_tick = MeanReversion.on_tick

    def slow_on_tick(self, tick):
        if not getattr(self, "replaying", False):
            self.replaying = True
            print("replaying", file=sys.stderr, flush=True)
        time.sleep(0.001)
        return on_tick(self, tick)

    MeanReversion.on_tick = slow_on_tick
    sys.exit(cli.main(sys.argv[1:]))
""")

SHORT_RUN = ["--codes", "2330", "--no-backfill", "--end", "2024-01-08"]


class TestCommandLineProcess:
    @pytest.mark.skipif(sys.platform == "win32", reason="Ctrl-C is a console event on Windows")
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_ctrl_c_prints_the_partial_result_and_exits_130(self, ticker_built, tmp_path, engine):
        argv = [*SHORT_RUN, "--ticks-per-day", "20000", "--data-dir", str(tmp_path / "data")]
        argv += ["--engine", engine]
        child = run_command_line(argv, tmp_path)
        try:
            assert select.select([child.stderr], [], [], WAIT)[0], "the replay did not start"
            assert child.stderr.readline() == "replaying\n"
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=WAIT)
        finally:
            child.kill()
        assert child.returncode == 130, err
        assert "Traceback" not in err
        assert "interrupted" in out and "Per code" in out and "ticks per second" in out
        assert "0 + 20,000" not in out  # the replay was cut short

    def test_the_broker_log_goes_into_the_data_directory(self, ticker_built, tmp_path):
        work = tmp_path / "work"
        work.mkdir()
        data = tmp_path / "data"
        argv = [*SHORT_RUN, "--ticks-per-day", "10", "--data-dir", str(data)]
        child = run_command_line(argv, work)
        out, err = child.communicate(timeout=WAIT)
        assert child.returncode == 0, err
        assert list(work.iterdir()) == []
        assert (data / "logs" / "shioaji.log").is_file()
