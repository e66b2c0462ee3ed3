"""--compare-fills: the same run under touch fills beside it, in the tables, summary.json, the
report page and a sweep's rows."""

import json
import threading

import pytest
from backtest_support import backtest, masked
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import BacktestError
from quorvel.backtest.output.files import summary, write_outputs
from quorvel.backtest.output.tables import run_tables
from quorvel.backtest.results.comparison import compare_fills
from quorvel.sim import SimulatedBroker
from quorvel.sweep import SweepSettings, TOUCH_FIGURES
from quorvel.sweep.runner import figures_of, run_one

pytestmark = pytest.mark.usefixtures("engines_built")

STRATEGY = dict(ma=20, band=0.0005, every=10, lot=1, max_position=3, rod_ttl=30)
SETTINGS = dict(fill_model="queue", latency_ms=137.0)


@pytest.fixture(scope="module")
def compared(engines_built, data_dir):
    """A run compared with touch fills, and the same run under touch fills alone."""
    run = backtest(data_dir, MeanReversion(**STRATEGY), compare_fills=True, **SETTINGS)
    alone = backtest(data_dir, MeanReversion(**STRATEGY), **{**SETTINGS, "fill_model": "touch"})
    return run, alone


def test_the_touch_run_is_the_run_under_touch_fills_from_a_fresh_strategy(compared):
    run, alone = compared
    assert run.touch.settings.fill_model == "touch" and run.touch.touch is None
    assert masked(run.touch.reports) == masked(alone.reports) and len(alone.reports) > 20
    assert masked(run.reports) != masked(alone.reports)
    comparison = compare_fills(run)
    assert comparison.total_net_pnl == (run.evaluate().total.net, alone.evaluate().total.net)
    assert comparison.total_fills == (
        sum(row["fills"] for row in run.per_code().values()),
        sum(row["fills"] for row in alone.per_code().values()),
    )
    kinds = {kind: counts["entered"] - counts["cancelled"] - counts["working"]
             for kind, counts in alone.order_kinds().items()}
    assert {kind: filled.touch for kind, filled in comparison.orders_filled.items()} == kinds


def test_every_output_names_the_fill_model_and_shows_both(compared, tmp_path):
    run, _ = compared
    tables = {table.title.split(":")[0]: table for table in run_tables(run, run.evaluate())}
    assert tables["P&L in NTD (gross = realised + unrealised; net = gross - fees - taxes)"].note \
        == "fills: queue, latency 137 ms"
    optimism = tables["Fill optimism"]
    assert optimism.columns[1:3] == ("fills", "touch fills") and len(optimism.rows) == 2
    write_outputs(run, str(tmp_path))
    document = json.loads((tmp_path / "summary.json").read_text(encoding="utf-8"))
    assert (document["settings"]["fill_model"], document["settings"]["compare_fills"]) == (
        "queue", True)
    total = document["fill_comparison"]["total"]
    assert total["touch_net_pnl"] == round(compare_fills(run).total_net_pnl.touch)
    assert "fill_comparison" not in summary(run.touch)
    pytest.importorskip("plotly")
    from quorvel.backtest.output.report import write_report

    write_report(run, str(tmp_path / "report.html"))
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "total, touch fills" in page and "fills: queue, latency 137 ms" in page


def test_a_sweep_row_carries_the_touch_figures(compared, data_dir):
    run, _ = compared
    settings = SweepSettings(("2330", "TXFR1"), run.settings, str(data_dir))
    row = run_one(lambda: SimulatedBroker(5, ticks_per_day=300), MeanReversion, STRATEGY,
                  settings)
    assert row.error is None
    assert row.figures["touch_net_pnl"] == compare_fills(run).total_net_pnl.touch
    assert set(TOUCH_FIGURES) <= set(row.flat(figures_of(settings.run)))
    assert not set(TOUCH_FIGURES) & set(figures_of(run.touch.settings))


def test_a_strategy_that_cannot_be_copied_is_refused_before_the_run(data_dir):
    strategy = MeanReversion()
    strategy.lock = threading.Lock()
    with pytest.raises(BacktestError, match="runs MeanReversion twice.*cannot be copied"):
        backtest(data_dir, strategy, compare_fills=True, **SETTINGS)
    assert strategy._desk is None  # never started
