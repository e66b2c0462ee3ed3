"""A directory written whole: what writers that were killed left is cleared or put back."""

import os
import subprocess
import sys

import pytest

from quorvel.atomic_files import COMPLETE_MARKER, directory_written


@pytest.fixture(scope="module")
def dead_pid():
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, timeout=60)
    return int(child.stdout)


def test_stale_temporaries_go_and_a_directory_cut_between_its_renames_comes_back(
    tmp_path, dead_pid
):
    (tmp_path / f".out.{dead_pid}-1.tmp").mkdir()  # a new directory, half written
    old = tmp_path / f".out.old.{dead_pid}-1.tmp"  # the last run's, moved aside
    old.mkdir()
    (old / "a.csv").write_text("old")
    (old / COMPLETE_MARKER).write_text('{"files": ["a.csv", "b.png"]}')
    (old / f"a.csv.{dead_pid}-1.tmp").write_text("cut")
    (old / "b.png").write_text("old")
    with directory_written(str(tmp_path / "out"), ["a.csv"]) as staged:
        assert sorted(path.name for path in tmp_path.iterdir()) == [os.path.basename(staged), "out"]
        assert sorted(path.name for path in (tmp_path / "out").iterdir()) == [
            COMPLETE_MARKER, "a.csv", "b.png"
        ]
        with open(os.path.join(staged, "a.csv"), "w") as new:
            new.write("new")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out"]
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == [COMPLETE_MARKER, "a.csv"]
    assert (tmp_path / "out" / "a.csv").read_text() == "new"

