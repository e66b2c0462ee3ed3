"""An import that cannot be done says why in one line: a code that could reach out of the data
directory is refused before any file is written, and a data directory that cannot take the
files is named."""

import polars as pl
import pytest

from quorvel.data import DataImportError, import_ticks
from quorvel.data.command import main


@pytest.fixture
def tick_file(tmp_path):
    path = tmp_path / "ticks.csv"
    pl.DataFrame({"ts": [1_704_704_400 * 10**9], "close": [580.0], "volume": [1]}).write_csv(path)
    return path


@pytest.mark.parametrize("code", ["../../escaped", "..", "a/b", "a\\b", "new\nline", ""])
def test_a_code_that_could_leave_the_data_directory_writes_nothing(code, tick_file, tmp_path):
    data_dir = tmp_path / "one" / "two" / "data"
    with pytest.raises(DataImportError, match="code"):
        import_ticks([str(tick_file)], str(data_dir), code)
    assert [path for path in tmp_path.rglob("*") if path.is_file()] == [tick_file]


@pytest.mark.parametrize("file_at", ["data", "data/sino/ticks"])
def test_a_file_where_the_cache_goes_is_one_line(file_at, tick_file, tmp_path, capsys):
    (tmp_path / file_at).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / file_at).write_text("")
    argv = ["ticks", str(tick_file), "--code", "2330", "--data-dir", str(tmp_path / "data")]
    assert main(argv) == 1
    out, err = capsys.readouterr()
    assert not out.strip()
    [line] = [line for line in err.splitlines() if line.strip()]
    assert line.startswith("import failed: [Errno ") and str(tmp_path / "data") in line
