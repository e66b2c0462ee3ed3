"""The command line's output files: their places checked before the run, written after it."""

import json

import polars as pl
import pytest

from quorvel import cli

ONE_DAY = ["--ticks-per-day", "100", "--start", "2024-01-08", "--end", "2024-01-08"]


class TestBadOptions:
    @pytest.mark.parametrize(
        "argv, message",
        [
            (["--capital", "0"], "--capital: must be a finite number of at least 1, got 0"),
            (["--capital", "1e-310"], "--capital: must be a finite number of at least 1, got 1e-3"),
            (["--min-commission", "1e308"], "--min-commission: must be at most 1e+15, got 1e308"),
            (["--futures-fee", "1e308"], "--futures-fee: must be at most 1e+15, got 1e308"),
            (["--stock-tax", "101"], "--stock-tax: must be at most 100, got 101"),
            (["--commission-discount", "1.5"], "--commission-discount: must be at most 1, got 1.5"),
            (
                ["--futures-fee", "-1"],
                "--futures-fee: must be a finite number of at least 0, got -1",
            ),
            (["--stock-tax", "nan"], "--stock-tax: must be a finite number of at least 0, got nan"),
            (["--min-commission", "x"], "--min-commission: not a number: 'x'"),
        ],
    )
    def test_bad_money_options_exit_with_2_and_say_why(self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(argv)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err

    @pytest.mark.parametrize("option", ["--output", "--plot"])
    def test_an_output_place_that_cannot_be_made_stops_before_any_tick(
        self, option, tmp_path, capsys
    ):
        blocker = tmp_path / "a-file"
        blocker.write_text("")
        target = blocker / "out" if option == "--output" else blocker / "out" / "equity.png"
        data_dir = tmp_path / "data"
        with pytest.raises(SystemExit) as exit_info:
            cli.main([option, str(target), "--data-dir", str(data_dir)])
        assert exit_info.value.code == 2
        last_line = capsys.readouterr().err.strip().splitlines()[-1]
        assert last_line.startswith(f"quorvel-backtest: error: {option}: cannot write into ")
        assert not data_dir.exists()


class TestWrittenFiles:
    def test_output_and_plot_go_into_directories_made_for_them(
        self, ticker_built, tmp_path, capsys
    ):
        output, image = tmp_path / "runs" / "one", tmp_path / "plots" / "equity.png"
        argv = [*ONE_DAY, "--data-dir", str(tmp_path / "data"), "--futures-fee", "40"]
        argv += ["--param", "every=10"]  # decides often enough to fill both codes in a day
        argv += ["--capital", "500000", "--output", str(output), "--plot", str(image)]
        assert cli.main(argv) == 0
        assert image.read_bytes().startswith(b"\x89PNG")
        assert sorted(path.name for path in output.iterdir()) == [
            ".quorvel-files.json",
            "equity.csv",
            "fills.csv",
            "reports.parquet",
            "summary.json",
        ]
        summary = json.loads((output / "summary.json").read_text())
        assert summary["settings"]["costs"]["futures_fee"] == 40.0
        assert summary["settings"]["capital"] == 500_000.0
        fills = pl.read_csv(output / "fills.csv")
        futures = fills.filter(pl.col("code") == "TXFR1")
        assert futures.height and futures["fee"].to_list() == [
            40.0 * q for q in futures["quantity"]
        ]
        assert pl.read_parquet(output / "reports.parquet").height >= fills.height
        out = capsys.readouterr().out
        assert "P&L in NTD" in out and "capital 500,000 NTD" in out
