"""Random and optuna searches on the Ray workers, and a sweep resumed after an interrupt."""

import functools
import json

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import RunSettings
from quorvel.sim import SimulatedBroker
from quorvel.sweep import ROWS_FILE, Search, SweepInterrupted, SweepSettings, combinations
from quorvel.sweep import run_sweep

BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=40)
GRID = {"ma": [5, 10, 20], "band": [0.0005, 0.002]}
FIXED = {"every": 5}
EVERY = [{**FIXED, **combination} for combination in combinations(GRID)]
pytestmark = pytest.mark.timeout(300)


@pytest.fixture(scope="module")
def settings(tmp_path_factory):
    data = str(tmp_path_factory.mktemp("data"))
    return SweepSettings(("2330",), RunSettings(("2024-01-08", "2024-01-09"), None), data)


def journal_rows(directory):
    """The journal's first line, and the parameters of its rows as sorted texts."""
    lines = (directory / ROWS_FILE).read_text(encoding="utf-8").splitlines()
    return json.loads(lines[0]), texts(json.loads(line)["params"] for line in lines[1:])


def texts(params):  # parameters compared in any order
    return sorted(map(str, params))


@pytest.fixture(scope="module", params=["random", "optuna"])
def searched(request, ray_session, settings, tmp_path_factory):
    journal, search = tmp_path_factory.mktemp(request.param), Search(request.param, 4)
    return run_sweep(BROKER, MeanReversion, GRID, settings, fixed=FIXED, search=search,
                     journal=str(journal), workers=2), journal


def test_a_search_runs_its_trials_once_each_among_the_values(searched):
    result, journal = searched
    params = [row.params for row in result.rows]
    assert result.total == result.trials == 4 and result.unfinished == []
    assert all(row.error is None for row in result.rows) and all(p in EVERY for p in params)
    assert len({tuple(p.values()) for p in params}) == 4
    header, kept = journal_rows(journal)
    assert header["search"] == result.search.as_dict() and kept == texts(params)


def test_a_sweep_resumed_after_an_interrupt_runs_only_what_was_missing(
    ray_session, settings, tmp_path
):
    def interrupt_after_two(done, total):
        if done >= 2:
            raise KeyboardInterrupt

    with pytest.raises(SweepInterrupted) as interrupted:
        run_sweep(BROKER, MeanReversion, GRID, settings, fixed=FIXED, journal=str(tmp_path),
                  workers=2, progress=interrupt_after_two)
    finished = interrupted.value.result.rows
    assert 2 <= len(finished) < 6 and journal_rows(tmp_path)[1] == texts(r.params for r in finished)
    reports = []
    result = run_sweep(BROKER, MeanReversion, GRID, settings, fixed=FIXED, journal=str(tmp_path),
                       workers=2, resume=True, progress=lambda *done: reports.append(done))
    assert reports[0] == (len(finished), 6) and reports[-1] == (6, 6)
    assert journal_rows(tmp_path)[1] == texts(EVERY)  # each once: none ran again
    assert all(row in result.rows for row in finished) and result.trials == 6

