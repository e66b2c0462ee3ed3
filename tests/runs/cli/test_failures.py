"""The command line when something fails: one line that says what, the work done so far kept,
and every place it writes checked before the first tick."""

import errno
import json
import os
import textwrap
from pathlib import Path

import pytest

from quorvel import cli
from quorvel.cache import day_files

ONE_DAY = ["--codes", "2330", "TXFR1", "--start", "2024-01-08", "--end", "2024-01-08"]
ONE_DAY += ["--no-backfill", "--ticks-per-day", "200"]
HINT = " (see quorvel-backtest --help)"

FAILING_STRATEGY = textwrap.dedent("""
    from quorvel.backtest import Strategy

    class MyStrategy(Strategy):
        ma = 1

        def on_tick(self, tick):
            if tick["code"] == "2330" and not self.position("2330"):
                self.buy("2330", 1)
            self.seen = getattr(self, "seen", 0) + 1
            if self.seen > 50:
                return 1 / (self.ma - 1)

    class NaNPrice(Strategy):
        def on_tick(self, tick):
            self.buy(tick["code"], 1, float("nan"))

    class Bail(BaseException):
        pass

    class Quits(Strategy):
        how = "exit"

        def on_tick(self, tick):
            raise SystemExit(0) if self.how == "exit" else Bail("gave up")
""")


@pytest.fixture(autouse=True)
def ticker_built():
    pytest.importorskip("quorvel.modules.ticker.ticker")


@pytest.fixture
def strategy_file(tmp_path):
    path = tmp_path / "my_strategy.py"
    path.write_text(FAILING_STRATEGY, encoding="utf-8")
    return path


def lines(text):
    return [line for line in text.splitlines() if line.strip()]


class TestStrategyErrors:
    def test_one_line_then_the_partial_tables_and_files_and_exit_1(
        self, strategy_file, tmp_path, capsys
    ):
        output, image = tmp_path / "out", tmp_path / "equity.png"
        argv = [*ONE_DAY, "--strategy", f"{strategy_file}:MyStrategy", "--param", "ma=1"]
        argv += ["--output", str(output), "--plot", str(image)]
        assert cli.main(argv) == 1
        out, err = capsys.readouterr()
        message = (
            "MyStrategy.on_tick raised ZeroDivisionError: division by zero (my_strategy.py:12)"
        )
        assert lines(err) == [message]
        assert "Traceback" not in out + err
        assert "Per code" in out and "partial: stopped early" in out
        summary = json.loads((output / "summary.json").read_text())
        assert (summary["partial"], summary["stopped"]) == (True, message)
        assert summary["run"]["live_ticks"] == 51
        assert image.read_bytes().startswith(b"\x89PNG")
        assert "partial reports, fills, equity curve and summary written to" in out

    @pytest.mark.parametrize("how, what", [("exit", "SystemExit: 0"), ("bail", "Bail: gave up")])
    def test_an_exit_or_a_base_exception_fails_the_run_with_its_files(
        self, strategy_file, tmp_path, capsys, how, what
    ):
        argv = [*ONE_DAY, "--strategy", f"{strategy_file}:Quits", "--param", f"how={how}"]
        assert cli.main([*argv, "--output", str(tmp_path)]) == 1
        message = f"Quits.on_tick raised {what} (my_strategy.py:25)"
        assert lines(capsys.readouterr().err) == [message]
        assert json.loads((tmp_path / "summary.json").read_text())["stopped"] == message

    def test_debug_adds_the_traceback(self, strategy_file, tmp_path, capsys):
        argv = [*ONE_DAY, "--strategy", f"{strategy_file}:MyStrategy", "--debug"]
        assert cli.main(argv) == 1
        err = capsys.readouterr().err
        assert "Traceback" in err and 'my_strategy.py", line 12, in on_tick' in err

    def test_an_order_at_a_nan_price_is_one_line(self, strategy_file, capsys):
        assert cli.main([*ONE_DAY, "--strategy", f"{strategy_file}:NaNPrice"]) == 1
        out, err = capsys.readouterr()
        assert lines(err) == [
            "NaNPrice.on_tick raised OrderError: price must be a positive finite number, not nan "
            "(my_strategy.py:16)"
        ]
        assert "Traceback" not in out + err


class TestDataDirectory:
    @pytest.mark.parametrize(
        "file_at, message",
        [
            ("data", "--data-dir: cannot write into {data}: it is a file, not a directory"),
            (
                "data/sino",
                "--data-dir: {data}/sino is a file; --data-dir needs a folder there",
            ),
            (
                "data/sino/ticks",
                "--data-dir: {data}/sino/ticks is a file; --data-dir needs a folder there",
            ),
        ],
    )
    def test_a_file_where_a_folder_goes_is_one_line_before_any_run(
        self, file_at, message, tmp_path, capsys
    ):
        (tmp_path / file_at).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / file_at).write_text("")
        data = tmp_path / "data"
        with pytest.raises(SystemExit) as exited:
            cli.main([*ONE_DAY, "--data-dir", str(data)])
        assert exited.value.code == 2
        err = capsys.readouterr().err
        assert lines(err)[-1] == f"quorvel-backtest: error: {message.format(data=data)}{HINT}"
        assert "Traceback" not in err

    def test_a_read_only_file_system_is_one_line_before_any_run(
        self, tmp_path, monkeypatch, capsys
    ):
        def read_only(*args, **kwargs):
            raise OSError(errno.EROFS, "Read-only file system")

        monkeypatch.setattr("quorvel.backtest.output.files.tempfile.TemporaryFile", read_only)
        data = tmp_path / "data"
        with pytest.raises(SystemExit) as exited:
            cli.main([*ONE_DAY, "--data-dir", str(data)])
        assert exited.value.code == 2
        assert lines(capsys.readouterr().err)[-1] == (
            f"quorvel-backtest: error: --data-dir: cannot write into {data}: Read-only file system"
            + HINT
        )

    def test_a_full_disk_during_the_run_is_one_line(self, tmp_path, monkeypatch, capsys):
        def disk_full(*args):
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(day_files, "store_day", disk_full)
        assert cli.main([*ONE_DAY, "--data-dir", str(tmp_path / "data")]) == 1
        out, err = capsys.readouterr()
        assert lines(out) == []
        assert lines(err) == ["backtest failed: [Errno 28] No space left on device"]

    def test_a_cache_file_set_aside_is_told_in_one_line(self, tmp_path, capsys):
        data = tmp_path / "data"
        argv = [*ONE_DAY, "--codes", "2330", "--data-dir", str(data)]
        assert cli.main(argv) == 0
        [cache] = [line for line in lines(capsys.readouterr().out) if line.startswith("tick cache: ")]
        day_file = Path(cache.removeprefix("tick cache: ")) / "2330 2024-01-08 - ticks.csv"
        day_file.write_text(day_file.read_text()[:200])
        capsys.readouterr()
        assert cli.main(argv) == 0
        [aside] = [path for path in day_file.parent.iterdir() if ".corrupt-" in path.name]
        [told] = [line for line in lines(capsys.readouterr().out) if "moved to" in line]
        assert told.startswith(f"tick cache: {day_file} failed its check (")
        assert told.endswith(f"); moved to {aside} and fetched again")

    @pytest.mark.parametrize("verbose", [[], ["--verbose"]], ids=["quiet", "verbose"])
    def test_a_lost_manifest_is_told_once_and_rebuilt(self, verbose, tmp_path, capsys):
        argv = [*ONE_DAY, "--data-dir", str(tmp_path / "data"), *verbose]
        assert cli.main(argv) == 0
        [cache] = [line for line in lines(capsys.readouterr().out) if line.startswith("tick cache: ")]
        manifest = Path(cache.removeprefix("tick cache: ")) / "manifest.json"
        recorded = manifest.read_text()
        manifest.unlink()
        assert cli.main(argv) == 0
        told = [line for line in lines(capsys.readouterr().out) if "manifest.json" in line]
        assert told == [f"tick cache: {manifest} is missing; entries are rebuilt from the day files "
                        "that pass the content checks"]
        assert manifest.read_text() == recorded


class TestOutputPlaces:
    @pytest.mark.parametrize(
        "option, directory, message",
        [
            ("--plot", "x.png", "--plot: cannot write into {tmp}: x.png there is a directory"),
            (
                "--output",
                "out/summary.json",
                "--output: cannot write into {tmp}/out: summary.json there is a directory",
            ),
        ],
    )
    def test_a_directory_where_an_output_file_goes_stops_before_any_tick(
        self, option, directory, message, tmp_path, capsys
    ):
        (tmp_path / directory).mkdir(parents=True)
        target = tmp_path / ("x.png" if option == "--plot" else "out")
        data = tmp_path / "data"
        with pytest.raises(SystemExit) as exited:
            cli.main([*ONE_DAY, option, str(target), "--data-dir", str(data)])
        assert exited.value.code == 2
        assert lines(capsys.readouterr().err)[-1] == (
            f"quorvel-backtest: error: {message.format(tmp=tmp_path)}{HINT}"
        )
        assert not data.exists()

    def test_the_data_files_are_written_before_the_plot(self, tmp_path, monkeypatch, capsys):
        pytest.importorskip("matplotlib")
        import quorvel.cli.backtest as backtest_command

        def failing_plot(result, path):
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(backtest_command, "plot_equity", failing_plot)
        output = tmp_path / "out"
        argv = [*ONE_DAY, "--output", str(output), "--plot", str(tmp_path / "equity.png")]
        assert cli.main(argv) == 1
        assert sorted(os.listdir(output)) == [
            ".quorvel-files.json", "equity.csv", "fills.csv", "reports.parquet", "summary.json"
        ]
        assert lines(capsys.readouterr().err) == [
            "backtest failed: [Errno 28] No space left on device"
        ]
