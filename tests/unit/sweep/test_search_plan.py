"""Which combinations a search runs, and the journal a sweep resumes from (no Ray needed)."""

import json

import pytest

from quorvel.sweep import Search, SweepError, SweepRow, combinations
from quorvel.sweep.journal import RowsJournal
from quorvel.sweep.search import Trials

GRID = {"ma": [20, 30, 40], "band": [0.001, 0.002], "long_only": [True, False]}
EVERY = [{"lot": 2, **combination} for combination in combinations(GRID)]


def drawn(search, seed=0, kept=()):
    runs = Trials(GRID, {"lot": 2}, search, "net_pnl", False, seed)
    runs.take([SweepRow(params) for params in kept])
    return [params for _, params in runs]


def test_a_random_search_draws_distinct_trials_of_the_grid_again_for_its_seed():
    trials = drawn(Search("random", 7))
    assert all(params in EVERY for params in trials)
    assert len({tuple(params.values()) for params in trials}) == 7
    assert drawn(Search("random", 7)) == trials != drawn(Search("random", 7), seed=1)
    assert drawn(Search("random", 7), kept=trials[:3]) == trials[3:]
    untried = next(params for params in EVERY if params not in trials)
    with pytest.raises(SweepError, match="a row kept is not a trial of this sweep"):
        drawn(Search("random", 7), kept=[untried])


@pytest.mark.parametrize(
    "method, trials, message",
    [
        ("grid", 3, "a grid search runs every combination; trials go with random or optuna"),
        ("random", None, "a random search needs its number of trials, at least 1"),
        ("bayes", 3, "search: 'bayes' is not one of grid, random, optuna"),
        ("optuna", 13, "13 trials are more than the 12 combinations of the grid"),
    ],
)
def test_a_search_that_cannot_be_is_refused_in_one_line(method, trials, message):
    with pytest.raises((ValueError, SweepError)) as refused:
        drawn(Search(method, trials))
    assert str(refused.value) == message


def test_the_journal_keeps_whole_lines_and_refuses_another_sweeps_rows(tmp_path):
    identity = {"grid": {"ma": [1, 2]}, "period": ["2024-01-08", "2024-01-09"]}
    kept = SweepRow({"ma": 1}, {"net_pnl": 5.0}, output="printed\n")
    with RowsJournal(str(tmp_path), identity) as journal:
        journal.append(kept)
    with open(tmp_path / "rows.jsonl", "a", encoding="utf-8") as rows:
        rows.write('{"params": {"ma": 2}, "fig')  # a line cut short
    resumed = RowsJournal(str(tmp_path), identity)
    [record] = resumed.read()
    assert SweepRow(**record) == kept and record["output"] == kept.output
    with resumed:
        resumed.append(SweepRow({"ma": 2}, error="failed"))
    lines = (tmp_path / "rows.jsonl").read_text(encoding="utf-8").splitlines()
    assert [json.loads(line).get("params") for line in lines] == [None, {"ma": 1}, {"ma": 2}]
    other = RowsJournal(str(tmp_path), {"grid": {"ma": [1]}, "period": ["2024-01-08"]})
    missing = RowsJournal(str(tmp_path / "none"), identity)
    for journal, message in [
        (other, f"cannot resume from {tmp_path}: its rows are another sweep's (other grid, "
         "period)"),
        (missing, f"nothing to resume in {tmp_path / 'none'}: no rows.jsonl"),
    ]:
        with pytest.raises(SweepError) as refused:
            journal.read()
        assert str(refused.value) == message
