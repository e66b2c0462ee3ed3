"""The sweep on the command line: stopped early it still prints and writes what it finished,
marked partial; a Ray address that does not answer is a one-line error, at once."""

import json
import subprocess
import sys

import polars as pl
import pytest

from quorvel import cli
from quorvel.sweep import FIGURES, SweepInterrupted, SweepResult, SweepRow

SWEEP = ["--sweep", "ma=20,40,60", "--ticks-per-day", "10", "--run-timeout", "5"]
WAIT = 60  # seconds any single wait of a test may take


def test_an_interrupted_sweep_prints_and_writes_its_rows_marked_partial(
    tmp_path, monkeypatch, capsys
):
    asked = {}

    def interrupted_sweep(broker, strategy, grid, settings, **options):
        asked.update(options)
        finished = [SweepRow({"ma": 20}, {name: 1 for name in FIGURES})]
        unfinished = [{"ma": 40}, {"ma": 60}]
        partial = SweepResult(finished, "net_pnl", 3, settings, strategy.__name__, unfinished)
        raise SweepInterrupted(partial)

    monkeypatch.setattr("quorvel.cli.sweep.run_sweep", interrupted_sweep)
    assert cli.main([*SWEEP, "--output", str(tmp_path)]) == 130
    out = capsys.readouterr().out
    assert "interrupted: 1 of 3 backtests finished" in out
    assert f"partial sweep.csv, sweep.json and runs/ (each run's log) written to {tmp_path}" in out
    assert asked["run_timeout"] == 5.0
    table = pl.read_csv(tmp_path / "sweep.csv")
    assert table["ma"].to_list() == [20, 40, 60]
    assert table["error"].to_list()[1:] == ["not finished: the sweep was interrupted"] * 2
    assert json.loads((tmp_path / "sweep.json").read_text())["partial"] is True


def test_a_ray_address_that_does_not_answer_is_a_one_line_error(tmp_path):
    pytest.importorskip("ray")
    argv = [*SWEEP, "--ray-address", "127.0.0.1:1", "--data-dir", str(tmp_path)]
    done = subprocess.run(
        [sys.executable, "-m", "quorvel", *argv], capture_output=True, text=True, timeout=WAIT
    )
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == (
        "quorvel-backtest: error: cannot reach a Ray cluster at 127.0.0.1:1: Connection refused "
        "(see quorvel-backtest --help)"
    )
    assert "Traceback" not in done.stderr
