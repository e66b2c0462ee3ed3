"""The sweep's ranking and its table: a profit factor without a losing round trip is the best."""

import json
import re

import polars as pl
import pytest
from rich.console import Console

from quorvel.sweep import SweepResult, SweepRow, SweepSettings, render_sweep
from quorvel.sweep.runner import rank

# In grid order; "ma" names each row.
ROWS = [
    SweepRow({"ma": 1}, {"profit_factor": None, "round_trips": 0, "winning_round_trips": 0}),
    SweepRow({"ma": 2}, {"profit_factor": 1.5, "round_trips": 4, "winning_round_trips": 2}),
    SweepRow({"ma": 3}, {"profit_factor": None, "round_trips": 2, "winning_round_trips": 2}),
    SweepRow({"ma": 4}, error="ValueError: no such band"),
    SweepRow({"ma": 5}, {"profit_factor": 0.5, "round_trips": 2, "winning_round_trips": 1}),
    SweepRow({"ma": 6}, {"profit_factor": None, "round_trips": 1, "winning_round_trips": 1}),
]


@pytest.fixture
def ranked():
    rows = rank(ROWS, "profit_factor")
    return SweepResult(rows, "profit_factor", len(rows), SweepSettings(codes=("2330",)), "Test")


def test_no_losing_round_trip_ranks_first_and_no_round_trip_last(ranked):
    # Infinite first (grid order among equals), then the finite ones, then those without one.
    assert [row.params["ma"] for row in ranked.rows] == [3, 6, 2, 5, 1, 4]


def test_the_table_prints_infinity_and_a_dash_for_none(ranked):
    console = Console(record=True, width=200)
    render_sweep(ranked, console)
    lines = [re.split(r"\s{2,}", line.strip()) for line in console.export_text().splitlines()]
    header = lines.index(
        [
            "rank",
            "ma",
            "net P&L",
            "fees",
            "round trips",
            "win rate",
            "max drawdown",
            "Sharpe",
            "profit_factor",
            "error",
        ]
    )
    factors = {cells[1]: cells[8] for cells in lines[header + 2 : header + 8]}
    assert factors == {"3": "∞", "6": "∞", "2": "1.50", "5": "0.50", "1": "-", "4": "-"}


def test_the_files_hold_null_for_an_infinite_profit_factor(ranked, tmp_path):
    ranked.write(str(tmp_path))
    document = json.loads((tmp_path / "sweep.json").read_text(encoding="utf-8"))
    expected = [None, None, 1.5, 0.5, None, None]
    assert [row["profit_factor"] for row in document["rows"]] == expected
    assert pl.read_csv(tmp_path / "sweep.csv")["profit_factor"].to_list() == expected
