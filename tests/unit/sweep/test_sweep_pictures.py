"""The heatmap of a sweep: the best over the parameters it does not show, failed cells empty;
the sweep's page with its overfitting statistics."""

from quorvel.sweep import SweepResult, SweepRow, SweepSettings
from quorvel.sweep.pictures import heatmap, write_sweep_pictures

# max_drawdown: less is better.  ma=20, band=2 failed.
ROWS = [
    SweepRow({"ma": ma, "band": band, "lot": lot}, {"max_drawdown": ma * band * lot})
    for ma in (10, 20)
    for band in (1, 2)
    for lot in (1, 3)
    if (ma, band) != (20, 2)
] + [SweepRow({"ma": 20, "band": 2, "lot": 1}, error="ValueError: no")]


class Statistics:
    def as_dict(self):
        return {"deflated_sharpe": {"value": 0.123456, "trials": 7}}


def test_the_heatmap_shows_the_best_over_the_other_parameters():
    result = SweepResult(ROWS, "max_drawdown", 8, SweepSettings(("2330",)), "Mean")
    map_ = heatmap(result)
    assert (map_.x, map_.y, map_.over) == ("ma", "band", ["lot"])
    assert map_.cells == [[10, 20], [20, None]] and map_.best == (0, 0)


def test_the_page_shows_the_overfitting_statistics_when_the_sweep_has_them(tmp_path):
    result = SweepResult(ROWS, "max_drawdown", 8, SweepSettings(("2330",)), "Mean")
    result.overfitting = Statistics()
    written = write_sweep_pictures(result, str(tmp_path))
    assert [path.rsplit("/", 1)[1] for path in written] == ["sweep.png", "sweep.html"]
    page = (tmp_path / "sweep.html").read_text()
    assert "Overfitting statistics" in page and "deflated_sharpe value" in page
    assert "0.1235" in page and "max_drawdown over ma and band; each cell the best over lot" in page
