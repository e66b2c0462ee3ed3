"""Each run's log: what a run printed is caught with its row, and written to runs/ under a name
that holds its parameters, replacing the logs of an earlier sweep."""

import pytest

from quorvel.atomic_files import COMPLETE_MARKER
from quorvel.backtest import Strategy
from quorvel.sim import SimulatedBroker
from quorvel.backtest import RunSettings
from quorvel.sweep import SweepResult, SweepRow, SweepSettings
from quorvel.sweep.logs import log_names
from quorvel.sweep.runner import run_one


@pytest.mark.parametrize(
    "combinations, names",
    [
        ([{"ma": 100, "band": 0.002}], ["ma=100,band=0.002.log"]),
        ([{"side": "a/b c"}, {"side": "a:b*c"}], ["side=a_b_c.log", "side=a_b_c-2.log"]),
        ([{"flag": True, "shift": -1}], ["flag=True,shift=-1.log"]),
        ([{"name": "x" * 300}], ["name=" + "x" * 195 + ".log"]),
    ],
)
def test_a_log_is_named_by_its_parameters_and_no_two_share_one(combinations, names):
    assert log_names(combinations) == names


class Chatty(Strategy):
    lot = 1

    def on_start(self):
        print("hello from", self.lot)


def test_a_run_keeps_what_it_printed_with_its_row(ticker_built, tmp_path, capsys):
    settings = SweepSettings(("2330",), RunSettings(("2024-01-08", "2024-01-08"), None), str(tmp_path))
    broker = lambda: SimulatedBroker(0, ticks_per_day=10)  # noqa: E731
    row = run_one(broker, Chatty, {"lot": 2}, settings)
    assert row.error is None and row.output == "hello from 2\n"
    assert capsys.readouterr().out == ""


def result_of(*rows):
    return SweepResult(list(rows), "net_pnl", len(rows), SweepSettings(("2330",)), "Chatty")


def test_writing_replaces_the_logs_of_an_earlier_sweep(tmp_path):
    result_of(SweepRow({"lot": 1}, output="one\n"), SweepRow({"lot": 2})).write(str(tmp_path))
    (tmp_path / "notes.txt").write_text("mine")  # no sweep's: the files are moved in one by one
    result_of(SweepRow({"lot": 3}, output="three\n")).write(str(tmp_path))
    logs = tmp_path / "runs"
    assert [log.name for log in logs.iterdir()] == ["lot=3.log"]
    assert (logs / "lot=3.log").read_text(encoding="utf-8") == "three\n"
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        COMPLETE_MARKER, "notes.txt", "runs", "sweep.csv", "sweep.json"
    ]


def test_a_file_where_the_logs_go_fails_the_write_and_keeps_the_files(tmp_path):
    result_of(SweepRow({"lot": 1}, output="one\n")).write(str(tmp_path))
    before = (tmp_path / "sweep.csv").read_bytes()
    (tmp_path / "runs" / "lot=1.log").unlink()
    (tmp_path / "runs").rmdir()
    (tmp_path / "runs").write_text("in the way")
    with pytest.raises(NotADirectoryError, match="runs is a file"):
        result_of(SweepRow({"lot": 2}, output="two\n")).write(str(tmp_path))
    assert (tmp_path / "sweep.csv").read_bytes() == before
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        COMPLETE_MARKER, "runs", "sweep.csv", "sweep.json"
    ]
