"""The command line at its edges: usage errors in one line, options that do nothing refused, a
strategy file without its class name, the sweep's table and each run's output kept."""

import textwrap

import pytest
from rich.console import Console

import quorvel
from quorvel import cli
from quorvel.data import command as import_command
from quorvel.sweep import FIGURES, SweepResult, SweepRow, SweepSettings, render_sweep

ONE_DAY = ["--codes", "2330", "--start", "2024-01-08", "--end", "2024-01-08", "--no-backfill"]
ONE_DAY += ["--ticks-per-day", "20"]


def refusal(main, argv, capsys):
    """The exit status and the lines on stderr of a command that refuses `argv`."""
    with pytest.raises(SystemExit) as exited:
        main(argv)
    return exited.value.code, capsys.readouterr().err.splitlines()


class TestUsageErrors:
    @pytest.mark.parametrize(
        "main, argv, line",
        [
            (
                cli.main,
                ["--window", "0"],
                "quorvel-backtest: error: argument --window: must be at least 1, got 0 "
                "(see quorvel-backtest --help)",
            ),
            (
                cli.main,
                ["--no-such-option"],
                "quorvel-backtest: error: unrecognized arguments: --no-such-option "
                "(see quorvel-backtest --help)",
            ),
            (cli.main, ["--strat", "x"],  # a prefix of an option is none: the nearest are named
             "quorvel-backtest: error: unrecognized arguments: --strat x; did you mean --start, "
             "--strategy or --trials? (see quorvel-backtest --help)"),
            (import_command.main, ["taifex", "a.zip", "--data-dir", "d", "--dta-dir=e"],
             "quorvel-import: error: unrecognized arguments: --dta-dir=e; did you mean "
             "--data-dir? (see quorvel-import --help)"),
            (
                import_command.main,
                ["taifex"],
                "quorvel-import taifex: error: the following arguments are required: FILE, "
                "--data-dir (see quorvel-import taifex --help)",
            ),
        ],
    )
    def test_a_usage_error_is_one_line_with_a_hint_and_exit_2(self, main, argv, line, capsys):
        assert refusal(main, argv, capsys) == (2, [line])

    def test_an_unknown_code_lists_the_codes_the_offline_broker_knows(self, capsys):
        status, [line] = refusal(cli.main, ["--codes", "txfr"], capsys)  # upper-cased
        assert status == 2 and "unknown code 'TXFR'" in line
        assert "; the offline broker knows 2888, 2409, " in line and ", TXFR1, " in line
        assert "CDFR1; did you mean TXFR2, TXFR1 or MXFR1? (see quorvel-backtest --help)" in line

    def test_the_version_is_the_installed_one(self, capsys):
        with pytest.raises(SystemExit):
            import_command.main(["--version"])
        assert capsys.readouterr().out == f"quorvel-import {quorvel.__version__}\n"

    def test_every_capital_below_one_ntd_gets_the_same_message(self, capsys):
        messages = {
            refusal(cli.main, ["--capital", text], capsys)[1][0].replace(text, "X")
            for text in ("0", "-5", "0.5")
        }
        assert messages == {
            "quorvel-backtest: error: argument --capital: must be a finite number of at least 1, "
            "got X (see quorvel-backtest --help)"
        }

    @pytest.mark.parametrize(
        "argv, options",
        [
            (["--workers", "2"], "--workers works"),
            (["--run-timeout", "5"], "--run-timeout works"),
            (["--ray-address", "auto"], "--ray-address works"),
            (["--rank-by", "sharpe"], "--rank-by works"),
            (["--workers", "2", "--rank-by", "sharpe"], "--rank-by and --workers work"),
            (
                ["--workers", "2", "--rank-by", "sharpe", "--run-timeout", "1"],
                "--rank-by, --run-timeout and --workers work",
            ),
        ],
    )
    def test_a_sweep_option_without_sweep_is_refused(self, argv, options, capsys):
        status, [line] = refusal(cli.main, argv, capsys)
        assert (status, line) == (
            2,
            f"quorvel-backtest: error: {options} with --sweep only (see quorvel-backtest --help)",
        )

    def test_a_file_where_the_sweep_logs_go_is_refused_before_anything_runs(
        self, tmp_path, capsys
    ):
        (tmp_path / "runs").write_text("in the way")
        argv = ["--sweep", "ma=10,20", "--output", str(tmp_path)]
        assert refusal(cli.main, argv, capsys) == (
            2,
            [
                f"quorvel-backtest: error: --output: {tmp_path}/runs is a file; --output needs a "
                "folder there (see quorvel-backtest --help)"
            ],
        )

    @pytest.mark.parametrize(
        "period, message",
        [
            (("2024-02-06", "2024-02-14"), "the period 2024-02-06 to 2024-02-14 holds no trading"),
            (("2024-01-06", "2024-01-07"), "the period 2024-01-06 to 2024-01-07 holds no trading"),
            (("1999-01-04", "1999-01-05"), "--start/--end: 1999-01-04 lies outside the XTAI"),
        ],
    )
    def test_a_period_without_a_trading_day_is_refused_before_anything_runs(
        self, period, message, tmp_path, capsys
    ):
        data = tmp_path / "data"
        argv = ["--start", period[0], "--end", period[1], "--data-dir", str(data)]
        status, [line] = refusal(cli.main, argv, capsys)
        assert status == 2 and line.startswith(f"quorvel-backtest: error: {message}")
        assert not data.exists()


ONE_STRATEGY = textwrap.dedent("""
    from quorvel.examples.mean_reversion import MeanReversion

    class Patient(MeanReversion):
        ma = 30
""")
TWO_STRATEGIES = ONE_STRATEGY + textwrap.dedent("""
    class Eager(MeanReversion):
        ma = 5
""")
NO_STRATEGY = "from quorvel.examples.mean_reversion import MeanReversion\n"


class TestStrategyFileWithoutClass:
    def test_the_one_strategy_a_file_defines_is_run(self, ticker_built, tmp_path, capsys):
        path = tmp_path / "patient.py"
        path.write_text(ONE_STRATEGY, encoding="utf-8")  # imports one, defines one
        argv = [*ONE_DAY, "--strategy", str(path), "--data-dir", str(tmp_path / "data")]
        assert cli.main(argv) == 0
        assert "Patient" in capsys.readouterr().out

    @pytest.mark.parametrize(
        "source, message",
        [
            (TWO_STRATEGIES, "{path} defines 2 Strategy subclasses (Patient, Eager); name one: "
             "{path}:Patient"),
            (NO_STRATEGY, "{path} defines no Strategy subclass"),
        ],
    )
    def test_a_file_with_several_or_none_is_refused_naming_them(
        self, source, message, tmp_path, capsys
    ):
        path = tmp_path / "strategies.py"
        path.write_text(source, encoding="utf-8")
        status, [line] = refusal(cli.main, ["--strategy", str(path)], capsys)
        assert status == 2
        assert f"--strategy/--param: {message.format(path=path)} (see" in line


def test_the_paced_engine_with_one_permit_says_permit(ticker_built, tmp_path, capsys):
    argv = [*ONE_DAY, "--engine", "paced", "--window", "1", "--data-dir", str(tmp_path)]
    assert cli.main(argv) == 0
    assert "paced, 1 permit ahead" in capsys.readouterr().out


def test_the_sweep_table_never_cuts_a_parameter_name_or_a_figure():
    names = ["lookback_period_in_ticks", "entry_band_fraction_of_price", "stop_points"]
    figures = {name: -2_650_999.99 for name in FIGURES}
    rows = [
        SweepRow(dict(zip(names, (100, 0.001, 3))), figures),
        SweepRow(dict(zip(names, (200, 0.002, 3))), error="ValueError: " + "no such band " * 8),
    ]
    console = Console(record=True, width=80)
    render_sweep(SweepResult(rows, "net_pnl", 2, SweepSettings(("2330",)), "Wide"), console)
    text = console.export_text()
    assert "…" not in text
    assert all(name in text for name in names) and "-2,651,000" in text
    assert "no such band" in text


LOUD_STRATEGY = textwrap.dedent("""
    from quorvel.backtest import Strategy

    class Loud(Strategy):
        ma = 1

        def on_start(self):
            print(f"starting with ma={self.ma}")
            if self.ma == 2:
                raise ValueError("ma 2 is refused")
""")


def test_each_sweep_run_keeps_what_it_printed_in_its_log(ray_session, tmp_path, capsys):
    path = tmp_path / "loud.py"
    path.write_text(LOUD_STRATEGY, encoding="utf-8")
    output = tmp_path / "out"
    argv = [*ONE_DAY, "--strategy", str(path), "--sweep", "ma=1,2"]
    argv += ["--data-dir", str(tmp_path / "data"), "--output", str(output)]
    assert cli.main(argv) == 1  # a row failed: the table and the files all the same
    out, err = capsys.readouterr()
    assert "runs/ (each run's log) written to" in out
    assert err.strip() == "1 of 2 backtests failed: see the error column"
    logs = output / "runs"
    assert sorted(log.name for log in logs.iterdir()) == ["ma=1.log", "ma=2.log"]
    assert (logs / "ma=1.log").read_text(encoding="utf-8") == "starting with ma=1\n"
    failed = (logs / "ma=2.log").read_text(encoding="utf-8")
    assert failed.startswith("starting with ma=2\nTraceback")
    assert "ValueError: ma 2 is refused" in failed

