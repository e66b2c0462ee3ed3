"""kill -9 while a run writes its files over an earlier run's: the earlier run's stay whole,
and the next run clears what the killed one left and keeps no file of the earlier run's."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from quorvel import cli

ONE_DAY = ["--codes", "2330", "--start", "2024-01-08", "--end", "2024-01-08", "--no-backfill"]
ONE_DAY += ["--ticks-per-day", "200", "--seed", "7"]
# Killed as it writes fills.csv, after reports.parquet.
KILLED_WHILE_WRITING = textwrap.dedent("""
    import os, signal, sys
    import polars as pl
    from quorvel import cli

    write_csv = pl.DataFrame.write_csv
    def killing(frame, path, **kwargs):
        "fills.csv" in path and os.kill(os.getpid(), signal.SIGKILL)
        return write_csv(frame, path, **kwargs)
    pl.DataFrame.write_csv = killing
    cli.main(sys.argv[1:])
""")


def test_a_killed_run_leaves_the_run_before_whole_and_the_next_one_only_its_own(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "out"
    assert cli.main([*ONE_DAY[:-2], "--output", str(output), "--plot", f"{output}/a.png"]) == 0
    before = {path.name: path.read_bytes() for path in output.iterdir()}
    argv = [sys.executable, "-c", KILLED_WHILE_WRITING, *ONE_DAY, "--output", str(output)]
    killed = subprocess.run(argv, capture_output=True, timeout=120)
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    assert {path.name: path.read_bytes() for path in output.iterdir()} == before
    assert len(os.listdir(tmp_path)) == 2  # the killed run's directory beside
    (output / "notes.txt").write_text("mine")  # a file no run wrote stays
    assert cli.main([*ONE_DAY, "--output", str(output)]) == 0
    assert os.listdir(tmp_path) == ["out"]
    assert sorted(os.listdir(output)) == [
        ".quorvel-files.json", "equity.csv", "fills.csv", "notes.txt", "reports.parquet",
        "summary.json",
    ]
    assert (output / "summary.json").read_bytes() != before["summary.json"]
