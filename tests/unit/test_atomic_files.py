"""A directory written whole: one a killed writer moved aside comes back, and is replaced."""

import os

from quorvel.atomic_files import COMPLETE_MARKER, directory_written


def test_a_directory_cut_between_its_renames_comes_back_before_it_is_replaced(tmp_path):
    old = tmp_path / f".out.old.{2**22 + 1}-1.tmp"  # the last run's, moved aside by a gone pid
    old.mkdir()
    (old / COMPLETE_MARKER).write_text('{"files": ["a.csv", "b.png"]}')
    for name in ("a.csv", "b.png"):
        (old / name).write_text("old")
    with directory_written(str(tmp_path / "out"), ["a.csv"]) as staged:
        assert sorted(os.listdir(tmp_path / "out")) == [COMPLETE_MARKER, "a.csv", "b.png"]
        (tmp_path / os.path.basename(staged) / "a.csv").write_text("new")
    assert os.listdir(tmp_path) == ["out"]
    assert sorted(os.listdir(tmp_path / "out")) == [COMPLETE_MARKER, "a.csv"]
