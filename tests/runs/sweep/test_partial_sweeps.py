"""A sweep stopped early keeps its rows and says which combinations it did not finish; a run
that never returns is stopped at the run timeout."""

import functools
import json
import time

import polars as pl
import pytest

from quorvel.atomic_files import COMPLETE_MARKER
from quorvel.backtest import Strategy
from quorvel.sim import SimulatedBroker
from quorvel.backtest import RunSettings
from quorvel.sweep import FIGURES, SweepInterrupted, SweepResult, SweepRow, SweepSettings, run_sweep
from quorvel.sweep import runner

BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=20)


@pytest.fixture
def settings(tmp_path):
    return SweepSettings(("2330",), RunSettings(("2024-01-08", "2024-01-08"), None), str(tmp_path))


class Waits(Strategy):
    """Waits `seconds` before its first tick: long enough never to return."""

    seconds = 0.0

    def on_start(self):
        time.sleep(self.seconds)


def test_a_partial_sweep_writes_every_combination_and_says_it_is_partial(settings, tmp_path):
    finished = [SweepRow({"seconds": 0.0}, {name: 1 for name in FIGURES})]
    partial = SweepResult(
        finished, "net_pnl", 3, settings, "Waits", [{"seconds": 1.0}, {"seconds": 2.0}],
        "interrupted",
    )
    csv_path, json_path = partial.write(str(tmp_path / "out"))
    table = pl.read_csv(csv_path)
    assert table["seconds"].to_list() == [0.0, 1.0, 2.0]
    not_run = "not finished: the sweep was interrupted"
    assert table["error"].to_list() == [None, not_run, not_run]
    document = json.loads(open(json_path, encoding="utf-8").read())
    assert (document["partial"], document["stopped"], document["finished"]) == (
        True,
        "interrupted",
        1,
    )
    written = sorted(path.name for path in (tmp_path / "out").iterdir())
    assert written == [COMPLETE_MARKER, "runs", *runner.SWEEP_FILES]
    assert [log.name for log in (tmp_path / "out" / "runs").iterdir()] == ["seconds=0.0.log"]


def test_an_interrupt_before_any_run_gives_every_combination_unfinished(settings, monkeypatch):
    ray = pytest.importorskip("ray")
    started = ray.is_initialized()

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(runner, "load_ticks", interrupted)  # Ctrl-C while the cache fills
    with pytest.raises(SweepInterrupted) as raised:
        run_sweep(BROKER, Waits, {"seconds": [0.0, 1.0]}, settings)
    partial = raised.value.result
    assert partial.rows == [] and partial.stopped == "interrupted"
    assert partial.unfinished == [{"seconds": 0.0}, {"seconds": 1.0}]
    assert ray.is_initialized() == started


def test_a_run_that_does_not_return_is_stopped_at_the_timeout(ray_session, settings):
    result = run_sweep(BROKER, Waits, {"seconds": [3600.0]}, settings, run_timeout=2)
    assert result.rows == [
        SweepRow({"seconds": 3600.0}, error="timed out: still running after 2 s")
    ]
