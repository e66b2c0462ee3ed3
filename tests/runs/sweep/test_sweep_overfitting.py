"""A sweep's overfitting statistics: read from the runs' own daily returns, printed under the
table and kept in sweep.json with their inputs; --pbo-splits refused where it cannot apply."""

import contextlib
import io
import json
import math

import polars as pl
import pytest

from quorvel.cli import main
from quorvel.sweep import SweepResult, SweepRow, SweepSettings

# Five trading days, three combinations: one block of days a day, rounded down to even.
ARGV = [
    *("--codes", "2330", "TXFR1", "--start", "2024-01-08", "--end", "2024-01-12"),
    *("--ticks-per-day", "300", "--min-sharpe-days", "2", "--param", "every=10"),
    *("--sweep", "ma=20,40,60", "--rank-by", "sharpe", "--pbo-splits", "6"),
]


@pytest.fixture(scope="module")
def swept(ray_session, tmp_path_factory):
    output = tmp_path_factory.mktemp("sweep")
    with contextlib.redirect_stdout(io.StringIO()) as printed:
        status = main([*ARGV, "--output", str(output)])
    return status, printed.getvalue(), output


def test_the_statistics_are_printed_and_written_with_their_inputs(swept):
    status, printed, output = swept
    assert status == 0
    document = json.loads((output / "sweep.json").read_text(encoding="utf-8"))
    statistics = document["overfitting"]
    assert {name: statistics[name] for name in ("trials", "days", "splits", "halvings")} == {
        "trials": 3, "days": 5, "splits": 4, "halvings": 6
    }
    assert 0 <= statistics["pbo"] <= 1 and 0 <= statistics["deflated_sharpe"] <= 1
    # The best row's Sharpe ratio is the one the statistics read from its daily returns.
    best = statistics["best_daily_sharpe"] * math.sqrt(252)
    assert document["rows"][0]["sharpe"] == pytest.approx(best, abs=1e-4)
    assert f"deflated Sharpe ratio {statistics['deflated_sharpe']:.2f}: the best's " in printed
    assert "of the best of 3 trials without skill, over 5 days" in printed
    assert f"overfitting {statistics['pbo']:.2f}: 4 blocks of days, 6 halvings" in printed
    assert "returns" not in pl.read_csv(output / "sweep.csv").columns


def test_a_sweep_of_one_combination_has_no_statistics(tmp_path):
    one = SweepResult([SweepRow({"ma": 20}, returns=[0.01, -0.01])], "net_pnl", 1,
                      SweepSettings(("2330",)), "T")
    one.write(str(tmp_path))
    assert one.overfitting is None
    assert json.loads((tmp_path / "sweep.json").read_text())["overfitting"] is None


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--pbo-splits", "4"], "--pbo-splits works with --sweep only"),
        (["--sweep", "ma=20,40", "--pbo-splits", "5"], "argument --pbo-splits: the blocks of "
         "days are an even number from 2 to 20, not 5"),
        (["--sweep", "ma=20,40", "--pbo-splits", "22"], "argument --pbo-splits: must be at "
         "most 20, got 22"),
    ],
)
def test_pbo_splits_that_cannot_apply_are_refused_in_one_line(argv, message, capsys):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"quorvel-backtest: error: {message} (see quorvel-backtest --help)"
    )
    with pytest.raises(ValueError, match="even number from 2 to 20, not 3"):
        SweepSettings(("2330",), pbo_splits=3)
