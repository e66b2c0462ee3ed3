"""The files of a run: written whole or not at all, and a partial run's marked as such."""

import errno
import json

import polars as pl
import pytest

from quorvel.atomic_files import COMPLETE_MARKER
from quorvel.backtest.output import files as export
from quorvel.backtest.output.files import summary, write_outputs
from quorvel.backtest.output.plot import plot_equity

NO_SPACE = OSError(errno.ENOSPC, "No space left on device")


@pytest.fixture(scope="module")
def results(mean_reversion_runs):
    return mean_reversion_runs


def files_of(directory):
    return sorted(path.name for path in directory.iterdir())


class TestPartialRuns:
    def test_the_summary_says_whether_the_run_was_partial_and_why(self, results):
        complete, partial = results
        assert (summary(complete)["partial"], summary(complete)["stopped"]) == (False, None)
        assert summary(partial)["partial"] is True
        assert summary(partial)["stopped"].startswith("StopsAfter.on_tick raised RuntimeError")
        assert summary(partial)["run"]["live_ticks"] == 151

    def test_a_partial_run_writes_every_file(self, results, tmp_path):
        _, partial = results
        write_outputs(partial, str(tmp_path))
        assert files_of(tmp_path) == [COMPLETE_MARKER, *sorted(export.OUTPUT_FILES)]
        assert json.loads((tmp_path / "summary.json").read_text())["partial"] is True
        assert pl.read_csv(tmp_path / "equity.csv").height == len(partial.timeline)


class TestWholeOrNotAtAll:
    def test_a_failed_write_leaves_the_files_of_before_and_no_temporary_file(
        self, results, tmp_path, monkeypatch
    ):
        complete, partial = results
        write_outputs(complete, str(tmp_path))
        before = {name: (tmp_path / name).read_bytes() for name in files_of(tmp_path)}

        def disk_full(*args, **kwargs):
            raise NO_SPACE

        monkeypatch.setattr(export, "summary", disk_full)  # the last file written
        with pytest.raises(OSError, match="No space left"):
            write_outputs(partial, str(tmp_path))
        assert {name: (tmp_path / name).read_bytes() for name in files_of(tmp_path)} == before

    def test_a_failed_plot_leaves_no_file(self, results, tmp_path, monkeypatch):
        pytest.importorskip("matplotlib")
        from matplotlib.figure import Figure

        complete, _ = results

        def disk_full(figure, path, **kwargs):
            with open(path, "wb") as image:
                image.write(b"\x89PNG")
            raise NO_SPACE

        monkeypatch.setattr(Figure, "savefig", disk_full)
        with pytest.raises(OSError, match="No space left"):
            plot_equity(complete, str(tmp_path / "equity.png"))
        assert files_of(tmp_path) == []

    @pytest.mark.parametrize("place", ["a file", "a directory where a file goes"])
    def test_a_place_that_cannot_take_the_files_is_refused_before_writing(
        self, place, results, tmp_path
    ):
        complete, _ = results
        if place == "a file":
            target = tmp_path / "out"
            target.write_text("")
        else:
            target = tmp_path
            (tmp_path / "fills.csv").mkdir()
        with pytest.raises(OSError):
            write_outputs(complete, str(target))
        assert not (tmp_path / "reports.parquet").exists()
