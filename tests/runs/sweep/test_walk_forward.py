"""A walk-forward as a whole: each window's choice, its test run equal to the same run alone,
the test runs stitched into one out-of-sample run, its tables and its files."""

import functools
import json

import polars as pl
import pytest
from quorvel.examples.mean_reversion import MeanReversion
from rich.console import Console

from quorvel.backtest import RunSettings, run_backtest
from quorvel.backtest.output.files import summary
from quorvel.backtest.results.evaluation import daily_returns, sharpe_ratio
from quorvel.cli import main
from quorvel.sim import SimulatedBroker
from quorvel.sweep import (
    SweepSettings,
    WalkForward,
    WalkForwardInterrupted,
    render_walk_forward,
    run_walk_forward,
)

CODES = ("2330", "TXFR1")
BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=300)
FIXED = {"every": 10, "lot": 2, "max_position": 4}
# Five trading days: windows of 2 training and 2 test days, the second with 1 test day.
RUN = RunSettings(("2024-01-08", "2024-01-12"), backfill=1, min_sharpe_days=2)
pytestmark = pytest.mark.timeout(300)


@pytest.fixture(scope="module")
def walked(ray_session, tmp_path_factory):
    data_dir = str(tmp_path_factory.mktemp("walk-data"))
    settings = SweepSettings(CODES, RUN, data_dir)
    result = run_walk_forward(
        BROKER, MeanReversion, {"ma": [10, 20]}, settings, WalkForward(2, 2), fixed=FIXED
    )
    alone = [
        run_backtest(
            BROKER(),
            CODES,
            RUN.replace(period=window.test),
            strategy=MeanReversion(**window.params, **FIXED),
            data_dir=data_dir,
        )
        for window in result.windows
    ]
    return result, alone


def test_each_window_runs_the_best_of_its_training_days_on_the_days_after(walked):
    result, alone = walked
    assert [(w.train, w.test) for w in result.windows] == [
        (("2024-01-08", "2024-01-09"), ("2024-01-10", "2024-01-11")),
        (("2024-01-10", "2024-01-11"), ("2024-01-12", "2024-01-12")),
    ]
    for window, lone in zip(result.windows, alone):
        best = window.sweep.rows[0]
        assert window.sweep.settings.run.period == window.train and window.error is None
        assert window.params == {"ma": best.params["ma"]} and window.in_sample == best.figures
        assert window.out_of_sample == summary(lone)["total"]


def test_the_out_of_sample_run_is_the_test_runs_one_after_another(walked):
    result, alone = walked
    evaluations = [lone.evaluate() for lone in alone]
    figures = result.figures
    for name in ("net_pnl", "fees", "fills", "orders", "round_trips", "winning_round_trips"):
        assert figures[name] == pytest.approx(sum(w.out_of_sample[name] for w in result.windows))
    returns = [
        value
        for lone, evaluation in zip(alone, evaluations)
        for value in daily_returns(
            evaluation.curve.timestamps, evaluation.curve.total(), RUN.capital, lone.day_of
        )
    ]
    assert result.trading_days == 3 and figures["sharpe"] == pytest.approx(sharpe_ratio(returns, 2))
    # The second window's equity goes on from the first's end.
    equity = result.equity
    second = equity.filter(pl.col("window") == 2)["net_equity"][0]
    start = RUN.capital + evaluations[0].total.net + evaluations[1].curve.total()[0]
    assert second == round(start) and equity["net_equity"][-1] == round(
        RUN.capital + figures["net_pnl"]
    )
    assert result.fills.height == figures["fills"] and set(result.fills["window"]) == {1, 2}
    assert result.round_trips.height == figures["round_trips"]


def test_the_tables_fit_80_columns_and_the_files_hold_every_window(walked, tmp_path):
    result, _ = walked
    console = Console(width=80, record=True)
    render_walk_forward(result, console)
    text = console.export_text()
    assert max(len(line.rstrip()) for line in text.splitlines()) <= 80
    assert "stitched" in text and "Out of sample: the test runs stitched, 2024-01-10" in text
    result.write(tmp_path)
    table = pl.read_csv(tmp_path / "walk_forward.csv")
    assert table["ma"].to_list() == [w.params["ma"] for w in result.windows]
    assert table["oos_net_pnl"].to_list() == [
        round(w.out_of_sample["net_pnl"]) for w in result.windows
    ]
    statistics = [w.statistics()["pbo"] for w in result.windows]
    assert table["pbo"].to_list() == [None if v is None else round(v, 4) for v in statistics]
    document = json.loads((tmp_path / "walk_forward.json").read_text())
    assert document["out_of_sample"]["net_pnl"] == round(result.figures["net_pnl"])
    assert document["walk_forward"] == {"train": 2, "test": 2, "anchored": False}
    for name in (
        "equity.csv",
        "fills.csv",
        "round_trips.csv",
        "walk_forward.png",
        "walk_forward.html",
        "windows/1/sweep.csv",
        "windows/2/sweep.png",
        "windows/2/test.log",
    ):
        assert (tmp_path / name).is_file(), name


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--anchored"], "--anchored works with --walk-forward only"),
        (["--walk-forward", "20:10"], "--walk-forward works with --sweep only"),
        (["--sweep", "ma=1,2", "--walk-forward", "20"], "expected TRAIN:TEST in trading days"),
        (["--sweep", "ma=1,2", "--walk-forward", "0:5"], "train must be a whole number"),
    ],
)
def test_bad_walk_forward_options_exit_with_2_and_say_why(argv, message, capsys):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("finished", [0, 1])
def test_ctrl_c_keeps_the_windows_finished(ray_session, tmp_path, finished):
    def interrupt(done, total):
        if done == 3 * finished + 1:  # a window is its two training runs and its test run
            raise KeyboardInterrupt

    settings = SweepSettings(CODES, RUN, str(tmp_path / "data"))
    with pytest.raises(WalkForwardInterrupted) as interrupted:
        run_walk_forward(
            BROKER,
            MeanReversion,
            {"ma": [10, 20]},
            settings,
            WalkForward(2, 2),
            fixed=FIXED,
            progress=interrupt,
        )
    partial = interrupted.value.result
    assert (partial.total, len(partial.windows), partial.stopped) == (2, finished, "interrupted")
    net = [window.out_of_sample["net_pnl"] for window in partial.windows]
    assert partial.figures.get("net_pnl") == (net[0] if net else None)
    partial.write(tmp_path / "walk")
    assert json.loads((tmp_path / "walk" / "walk_forward.json").read_text())["partial"]


def test_the_command_prints_the_windows_and_the_stitched_run(ray_session, tmp_path, capsys):
    argv = [
        *("--codes", *CODES, "--start", RUN.period[0], "--end", RUN.period[1]),
        *("--backfill-days", "1", "--ticks-per-day", "300", "--param", "every=10"),
        *("--sweep", "ma=10,20", "--walk-forward", "2:2", "--anchored"),
        *("--output", str(tmp_path / "walk"), "--data-dir", str(tmp_path / "data")),
    ]
    assert main(argv) == 0
    printed = capsys.readouterr().out
    assert "MeanReversion walk-forward: 2 of 2 windows of 2 training and 2 test days," in printed
    assert "anchored" in printed and "stitched" in printed and "Out of sample" in printed
    table = pl.read_csv(tmp_path / "walk" / "walk_forward.csv")
    assert table["train_first"].to_list() == ["2024-01-08"] * 2
