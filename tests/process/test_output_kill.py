"""kill -9 while a run writes its files into a directory that holds an earlier run's: the
directory keeps one run's files whole, and the next run clears what the killed one left."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from quorvel import cli

ONE_DAY = ["--codes", "2330", "--start", "2024-01-08", "--end", "2024-01-08", "--no-backfill"]
ONE_DAY += ["--ticks-per-day", "200"]

# The second CSV the run writes kills its process: the data files are half written.
KILLED_WHILE_WRITING = textwrap.dedent("""
    import os, signal, sys
    import polars as pl
    from quorvel import cli

    write_csv = pl.DataFrame.write_csv
    def killing_write_csv(frame, path, **kwargs):
        if path.startswith(os.path.join(os.path.dirname(sys.argv[1]), ".")) and "equity" in path:
            os.kill(os.getpid(), signal.SIGKILL)
        return write_csv(frame, path, **kwargs)
    pl.DataFrame.write_csv = killing_write_csv
    cli.main([*sys.argv[2:], "--output", sys.argv[1]])
""")


def contents(directory):
    return {path.name: path.read_bytes() for path in directory.iterdir()}


def test_a_killed_run_leaves_the_run_before_whole_and_the_next_one_only_its_own(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("quorvel.modules.ticker.ticker")
    output = tmp_path / "out"
    argv = [*ONE_DAY, "--output", str(output), "--plot", str(output / "equity.png")]
    assert cli.main(argv) == 0
    before = contents(output)
    assert {"equity.png", "summary.json", ".quorvel-files.json"} <= set(before)

    killed = subprocess.run(
        [sys.executable, "-c", KILLED_WHILE_WRITING, str(output), *ONE_DAY, "--seed", "7"],
        capture_output=True, timeout=120,
    )
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    assert contents(output) == before
    [left] = [name for name in os.listdir(tmp_path) if name.startswith(".out.")]
    assert left.endswith(".tmp")

    (output / "notes.txt").write_text("mine")  # a file no run wrote stays
    assert cli.main([*ONE_DAY, "--seed", "7", "--output", str(output)]) == 0
    assert sorted(os.listdir(tmp_path)) == ["out"]
    assert sorted(os.listdir(output)) == [
        ".quorvel-files.json", "equity.csv", "fills.csv", "notes.txt", "reports.parquet",
        "summary.json",
    ]
    assert contents(output)["summary.json"] != before["summary.json"]
