"""A sweep's overfitting statistics: printed, and written with their inputs; --pbo-splits."""

import json
import math

import polars as pl
import pytest

from quorvel.cli import main
from quorvel.sweep import SweepResult, SweepRow, SweepSettings

# Five trading days, three combinations: 6 blocks asked, as many as the days allow (4) used.
ARGV = [
    *("--codes", "2330", "TXFR1", "--start", "2024-01-08", "--end", "2024-01-12"),
    *("--ticks-per-day", "300", "--min-sharpe-days", "2", "--param", "every=10"),
    *("--sweep", "ma=20,40,60", "--rank-by", "sharpe", "--pbo-splits", "6"),
]


def test_the_statistics_are_printed_and_written_with_their_inputs(ray_session, tmp_path, capsys):
    assert main([*ARGV, "--output", str(tmp_path)]) == 0
    found = json.loads((tmp_path / "sweep.json").read_text(encoding="utf-8"))["overfitting"]
    assert [found[name] for name in ("trials", "days", "splits", "halvings")] == [3, 5, 4, 6]
    best = pl.read_csv(tmp_path / "sweep.csv").row(0, named=True)
    assert best["sharpe"] == pytest.approx(found["best_daily_sharpe"] * math.sqrt(252), abs=1e-4)
    assert "returns" not in best
    printed = capsys.readouterr().out
    assert f"deflated Sharpe ratio {found['deflated_sharpe']:.2f}: " in printed
    assert f"overfitting {found['pbo']:.2f}: 4 blocks of days, 6 halvings" in printed
    one = SweepResult([SweepRow({}, returns=[0.01, -0.02])], "sharpe", 1, SweepSettings(()), "T")
    assert one.overfitting is None  # a sweep of one combination chose nothing
    unranked = [SweepRow({}, {"sharpe": None}, returns=[0.01 * n, -0.02, 0.01, 0]) for n in (1, 2)]
    found = SweepResult(unranked, "sharpe", 2, SweepSettings(()), "T").overfitting
    assert found and found.deflated_sharpe is None and found.pbo is not None  # none is best
    assert found.notes[0].startswith("deflated Sharpe ratio: no finished run has the ranking")


def test_pbo_splits_that_cannot_be_halved_are_refused_in_one_line(capsys):
    with pytest.raises(SystemExit):
        main(["--sweep", "ma=20,40", "--pbo-splits", "5"])
    assert capsys.readouterr().err.splitlines()[-1] == (
        "quorvel-backtest: error: argument --pbo-splits: the blocks of days are an even number "
        "from 2 to 20, not 5 (see quorvel-backtest --help)"
    )
