"""The command line quorvel-backtest: options refused with a one-line reason, what a run prints,
and the process (Ctrl-C, the broker's log file)."""

import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

from quorvel import cli

WAIT = 30  # seconds any single wait of a test may take


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
            (["--param", "ma=-1"], "--strategy/--param: ma must be at least 1, not -1"),
            (["--strategy", "no_such_file.py:X"], "no such strategy file: no_such_file.py"),
            (["--strategy", "quorvel.sim:SimulatedBroker"], "has no Strategy subclass named"),
            (["--engine", "fast"], "invalid choice: 'fast'"),
            (["--plot", "equity.svg"], "ending in .png"),
            (["--no-such-option"], "unrecognized arguments"),
            (["--fill-model", "best"], "invalid choice: 'best'"),
            (["--latency-ms", "-1"], "--latency-ms: must be a finite number of at least 0"),
            (["--latency-ms", "60001"], "--latency-ms: must be at most 60000"),
            (["--slippage-ticks", "1.5"], "--slippage-ticks: not a whole number"),
            (["--compare-fills", "--fill-model", "touch"], "give another --fill-model"),
            (["--sweep", "ma=1,2", "--rank-by", "touch_net_pnl"], "add --compare-fills"),
        ],
    )
    def test_bad_options_exit_with_2_and_say_why(self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(argv)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err

    def test_dates_without_leading_zeros_are_read_as_dates(self):
        args = cli.build_parser().parse_args(["--start", "2024-1-8", "--end", "2024-1-9"])
        assert (args.start, args.end) == ("2024-01-08", "2024-01-09")

    def test_bad_option_prints_no_traceback(self):
        child = subprocess.run(
            [sys.executable, "-m", "quorvel", "--window", "x"],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert child.returncode == 2
        assert "Traceback" not in child.stderr and "--window" in child.stderr

    def test_a_run_prints_the_tables(self, ticker_built, tmp_path, capsys, monkeypatch):
        monkeypatch.setenv("COLUMNS", "80")  # a pipe's width, else 100 columns
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
        assert cli.main(argv) == 0
        out = capsys.readouterr().out
        assert "Per code" in out and "ticks per second" in out and "TXFR1" in out
        lines = [line for line in out.splitlines() if not line.startswith("tick cache: ")]
        assert max(len(line) for line in lines) <= 80 and "…" not in out

    def test_plot_writes_the_equity_curve_as_png(self, ticker_built, tmp_path):
        pytest.importorskip("matplotlib")
        image = tmp_path / "equity.png"
        argv = ["--ticks-per-day", "100", "--data-dir", str(tmp_path), "--end", "2024-01-08"]
        assert cli.main([*argv, "--plot", str(image)]) == 0
        assert image.read_bytes().startswith(b"\x89PNG")

    def test_help_states_each_default_once(self, capsys):
        with pytest.raises(SystemExit):
            cli.main(["--help"])
        text = " ".join(capsys.readouterr().out.split())
        assert text.count("(default: a temporary directory)") == 1
        assert "(default: None)" not in text and "(default: False)" not in text
        assert "(default: 3000)" in text

    def test_repeated_codes_are_collapsed_and_said_so(self, ticker_built, tmp_path, capsys):
        argv = ["--codes", "2330", "2330", "--ticks-per-day", "100", "--no-backfill"]
        argv += ["--data-dir", str(tmp_path), "--end", "2024-01-08"]
        assert cli.main(argv) == 0
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
    from quorvel import cli
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
