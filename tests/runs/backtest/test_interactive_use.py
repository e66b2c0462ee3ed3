"""A run used from a REPL: short reprs, tables printed without a console given, a data directory
of its own, one unit per name, and no Sharpe ratio from a few days."""

import os
import tempfile

import pytest
from quorvel.examples.mean_reversion import MeanReversion
from rich.console import Console

from quorvel.backtest import RunSettings, run_backtest
from quorvel.backtest.output.files import summary
from quorvel.backtest.output.tables import render
from quorvel.sim import SimulatedBroker

CODES = ["2330", "TXFR1"]
SIZES = {"2330": 1000, "TXFR1": 200}


@pytest.fixture(scope="module")
def temporary_root(tmp_path_factory):
    """Where the run's default data directory goes, so that what it leaves can be seen."""
    root = tmp_path_factory.mktemp("temp")
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr(tempfile, "tempdir", str(root))
        yield root


@pytest.fixture(scope="module")
def result(engines_built, temporary_root):
    return run_backtest(
        SimulatedBroker(2, ticks_per_day=300),
        CODES,
        RunSettings(("2024-01-08", "2024-01-10")),
        strategy=MeanReversion(ma=20, every=5),
    )


def printed(result):
    console = Console(record=True, width=120)
    render(result, console)
    return console.export_text()


class TestReprs:
    def test_a_result_says_what_ran_in_one_short_line(self, result):
        text = repr(result)
        assert len(text) < 400 and "\n" not in text
        assert text.startswith("BacktestResult(strategy='MeanReversion', codes=['2330', 'TXFR1']")
        assert f"reports={len(result.reports):,}" in text and "positions=<Positions " in text

    def test_an_evaluation_gives_its_counts_and_headline_figures(self, result):
        evaluation = result.evaluate()
        text = repr(evaluation)
        assert len(text) < 300
        assert f"fills={len(evaluation.fills)}, round_trips={len(evaluation.round_trips)}" in text
        assert f"net_pnl={evaluation.total.net:,.0f}" in text and "trading_days=3" in text

    def test_the_positions_show_what_is_held(self, result):
        held = {code: p for code, p in result.positions.positions.items() if p.quantity}
        text = repr(result.positions)
        for code, position in held.items():
            assert f"{code} {position.quantity:+d} @ {position.avg_price:g}" in text
        assert f"{len(result.positions.trade_records)} trade records" in text


def test_render_prints_on_standard_output_without_a_console(result, capsys):
    render(result)
    assert "P&L in NTD" in capsys.readouterr().out


def test_the_default_data_directory_is_removed_after_the_run(result, temporary_root):
    assert result.cache_files_after > 0
    assert os.listdir(temporary_root) == []


def test_per_code_pnl_is_in_points_under_names_that_say_so(result):
    per_code = result.per_code()
    in_ntd = summary(result)["per_code"]
    for code in CODES:
        assert "realized_pnl" not in per_code[code]
        for name in ("realized", "unrealized"):
            points = per_code[code][f"{name}_points"]
            assert points * SIZES[code] == pytest.approx(in_ntd[code][f"{name}_pnl"])
    assert any(per_code[code]["realized_points"] for code in CODES)


class TestSharpeOfFewDays:
    def test_fewer_days_than_the_minimum_show_a_dash_and_say_why(self, result):
        text = printed(result)
        rows = [line.split() for line in text.splitlines() if line.strip().startswith("total")]
        assert rows[2][-2] == "-"  # the risk table's Sharpe
        assert 'Sharpe "-": 3 trading days of returns, fewer than the 20' in text
        assert result.evaluate().total.sharpe is None

    def test_a_lower_minimum_gives_the_ratio(self, result, monkeypatch):
        monkeypatch.setattr(result, "settings", result.settings.replace(min_sharpe_days=3))
        sharpe = result.evaluate().total.sharpe
        assert sharpe is not None
        text = printed(result)
        assert 'Sharpe "-"' not in text and f"{sharpe:.2f}" in text
