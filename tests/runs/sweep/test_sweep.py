"""Parameter sweeps: the grid, rows equal to lone runs, failing combinations, the command line,
and runs that leave nothing behind in a process that runs many."""

import functools
import gc
import json
import sys
import threading
import weakref

import polars as pl
import pytest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import Strategy, run_backtest
from quorvel.backtest.output.files import summary
from quorvel.cli import main
from quorvel.sim import SimulatedBroker
from quorvel.backtest import RunSettings
from quorvel.sweep import (
    FIGURES,
    SweepError,
    SweepInterrupted,
    SweepSettings,
    combinations,
    parse_grid,
    run_sweep,
)

PERIOD = ("2024-01-08", "2024-01-09")
BACKFILL = ("2024-01-05", "2024-01-05")
CODES = ("2330", "TXFR1")
TICKS_PER_DAY = 300
BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=TICKS_PER_DAY)
# A short run that trades often.
FIXED = {"every": 10, "lot": 2, "max_position": 4}
# Ray's first start is slow on a shared machine; every wait of a test stays bounded by this.
pytestmark = pytest.mark.timeout(300)


@pytest.fixture
def settings(tmp_path):
    return SweepSettings(CODES, RunSettings(PERIOD, BACKFILL), str(tmp_path / "data"))


class FailsOnOne(MeanReversion):
    """Mean reversion that refuses to start with `lot` 3."""

    def on_start(self):
        if self.lot == 3:
            raise ValueError("lot 3 is refused")
        super().on_start()


RAISING_LINE = FailsOnOne.on_start.__code__.co_firstlineno + 2
REFUSED = f"FailsOnOne.on_start raised ValueError: lot 3 is refused (test_sweep.py:{RAISING_LINE})"


class TestGrid:
    def test_values_are_converted_like_params_and_every_combination_is_made(self):
        grid = parse_grid(MeanReversion, ["ma=20,40", "band=0.001,0.002"])
        assert grid == {"ma": [20, 40], "band": [0.001, 0.002]}
        assert combinations(grid) == [
            {"ma": 20, "band": 0.001},
            {"ma": 20, "band": 0.002},
            {"ma": 40, "band": 0.001},
            {"ma": 40, "band": 0.002},
        ]

    @pytest.mark.parametrize(
        "assignments, message",
        [
            (["bogus=1,2"], "MeanReversion has no parameter 'bogus'"),
            (["ma=20,x"], "ma=x: expected a whole number"),
            (["ma=20,20"], "'ma=20,20': a value is repeated"),
            (["ma=20", "ma=40"], "ma is swept twice"),
            (["ma"], "'ma': expected name=value,value,..."),
        ],
    )
    def test_bad_assignments_are_refused_with_one_line(self, assignments, message):
        with pytest.raises(ValueError) as refused:
            parse_grid(MeanReversion, assignments)
        assert message in str(refused.value)

    def test_a_parameter_both_swept_and_set_is_refused_before_any_run(self, settings):
        pytest.importorskip("ray")
        with pytest.raises(SweepError, match="lot: both swept and set"):
            run_sweep(BROKER, MeanReversion, {"lot": [1, 2]}, settings, fixed={"lot": 1})


class TestRunsLeaveNothingBehind:
    @pytest.mark.parametrize("engine", ["replay", "paced"])
    def test_no_intake_thread_is_left_and_every_matcher_is_freed(
        self, engine, tmp_path, monkeypatch
    ):
        import quorvel.modules.matcher.matcher as matcher_module

        made = []

        def tracked_matcher(*args):
            matcher = matcher_class(*args)
            made.append(weakref.ref(matcher))
            return matcher

        matcher_class = matcher_module.Matcher
        monkeypatch.setattr(matcher_module, "Matcher", tracked_matcher)
        threads_before = threading.active_count()
        for _ in range(5):
            run_backtest(BROKER(), CODES, RunSettings(PERIOD, None, engine=engine),
                         data_dir=str(tmp_path), strategy=Strategy())
        gc.collect()
        assert len(made) == 5 and all(freed() is None for freed in made)
        assert threading.active_count() == threads_before


class TestSweepRuns:
    def test_each_row_equals_the_same_parameters_run_alone(self, ray_session, settings):
        grid = {"ma": [20, 40], "band": [0.0005, 0.002]}
        result = run_sweep(BROKER, MeanReversion, grid, settings, fixed=FIXED)
        assert result.total == 4 and len(result.rows) == 4
        net = [row.figures["net_pnl"] for row in result.rows]
        assert net == sorted(net, reverse=True)
        for row in result.rows:
            assert row.error is None and list(row.figures) == list(FIGURES)
            alone = run_backtest(BROKER(), CODES, settings.run, data_dir=settings.data_dir,
                                 strategy=MeanReversion(**row.params))
            assert row.figures == summary(alone)["total"], row.params
        assert any(row.figures["fills"] for row in result.rows)

    def test_a_failing_combination_is_an_error_row_and_the_others_finish(
        self, ray_session, settings, tmp_path
    ):
        result = run_sweep(
            BROKER, FailsOnOne, {"lot": [1, 3, 2]}, settings, rank_by="max_drawdown"
        )
        [failed] = [row for row in result.rows if row.error]
        assert failed.params == {"lot": 3} and result.rows[-1] is failed
        assert failed.error == REFUSED and failed.figures == {}
        finished = result.rows[:2]
        assert sorted(row.params["lot"] for row in finished) == [1, 2]
        assert finished[0].figures["max_drawdown"] <= finished[1].figures["max_drawdown"]

        csv_path, json_path = result.write(str(tmp_path / "out"))
        table = pl.read_csv(csv_path)
        assert table.columns == ["rank", "lot", *FIGURES, "error"]
        assert table["lot"].to_list() == [row.params["lot"] for row in result.rows]
        assert table["error"].to_list()[-1] == REFUSED
        document = json.loads(open(json_path, encoding="utf-8").read())
        assert document["rank_by"] == "max_drawdown" and len(document["rows"]) == 3

    def test_an_interrupt_cancels_the_rest_and_keeps_the_finished_rows(
        self, ray_session, settings
    ):
        def interrupt_after_the_first(done, total):
            if done == 1:
                raise KeyboardInterrupt

        with pytest.raises(SweepInterrupted) as interrupted:
            run_sweep(
                BROKER,
                MeanReversion,
                {"ma": [20, 30, 40, 50, 60, 70]},
                settings,
                progress=interrupt_after_the_first,
            )
        partial = interrupted.value.result
        # The first row, and those of the runs that ended by the time the interrupt was taken.
        assert partial.total == 6 and 1 <= len(partial.rows) < 6
        assert len(partial.rows) + len(partial.unfinished) == 6


class TestCommandLine:
    def test_the_sweep_prints_the_ranked_table_and_writes_its_files(
        self, ray_session, tmp_path, capsys
    ):
        argv = [
            *("--codes", *CODES, "--start", PERIOD[0], "--end", PERIOD[1]),
            *("--backfill-start", BACKFILL[0], "--backfill-end", BACKFILL[1]),
            *("--ticks-per-day", str(TICKS_PER_DAY), "--param", "every=10"),
            *("--sweep", "ma=20,40", "--rank-by", "sharpe", "--output", str(tmp_path)),
        ]
        assert main(argv) == 0
        printed = capsys.readouterr().out
        assert "MeanReversion: 2 combinations ranked by sharpe" in printed
        table = pl.read_csv(tmp_path / "sweep.csv")
        assert sorted(table["ma"].to_list()) == [20, 40] and table["every"].to_list() == [10, 10]

    def test_without_ray_the_sweep_says_how_to_install_it(self, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "ray", None)  # import ray raises ImportError
        with pytest.raises(SystemExit) as exited:
            main(["--sweep", "ma=20,40", "--ticks-per-day", "10"])
        assert exited.value.code == 2
        assert "pip install 'quorvel[sweep]'" in capsys.readouterr().err
