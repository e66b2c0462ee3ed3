"""The command's files of one run: the same options write the same files byte for byte, and
--report, --plot and --min-sharpe-days take what they can use."""

import json
import sys

import pytest

from quorvel import cli

ONE_DAY = ["--ticks-per-day", "100", "--start", "2024-01-08", "--end", "2024-01-08"]


class TestBadOptions:
    @pytest.mark.parametrize(
        "argv, message",
        [
            (
                ["--report", "page.txt"],
                "--report writes an HTML page; give a name ending in .html, not 'page.txt'",
            ),
            (["--report", "page.html", "--sweep", "ma=1,2"], "--report shows one run; it does"),
            (["--min-sharpe-days", "1"], "--min-sharpe-days: must be at least 2, got 1"),
        ],
    )
    def test_exit_with_2_and_say_why(self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(argv)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err

    def test_a_report_without_plotly_says_how_to_install_it(self, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "plotly", None)  # import plotly raises ImportError
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["--report", "page.html"])
        assert exit_info.value.code == 2
        assert "--report needs plotly: pip install 'quorvel[report]'" in capsys.readouterr().err


def test_the_same_options_write_the_same_files(ticker_built, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    pytest.importorskip("plotly")
    output, plot, report = tmp_path / "out", tmp_path / "run.png", tmp_path / "run.html"
    argv = [*ONE_DAY, "--param", "every=10", "--seed", "4", "--min-sharpe-days", "2"]
    argv += ["--output", str(output), "--plot", str(plot), "--report", str(report)]
    files = [*(output / name for name in ("reports.parquet", "fills.csv", "equity.csv")), plot]
    files += [output / "summary.json", report]
    written = []
    for _ in range(2):
        assert cli.main(argv) == 0
        written.append({path.name: path.read_bytes() for path in files})
    assert written[0] == written[1]
    out = capsys.readouterr().out
    assert f"report page written to {report}" in out and f"plot written to {plot}" in out
    settings = json.loads((output / "summary.json").read_text())["settings"]
    assert settings["parameters"]["every"] == 10 and settings["parameters"]["ma"] == 100
    assert (settings["seed"], settings["min_sharpe_days"]) == (4, 2)
