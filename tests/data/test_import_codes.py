"""A code given to the importer names files in the cache only once it is checked: one that
could reach out of the data directory is refused and nothing is written."""

import polars as pl
import pytest

from quorvel.data import DataImportError, import_ticks


@pytest.mark.parametrize("code", ["../../escaped", "..", "a/b", "a\\b", "new\nline", ""])
def test_a_code_that_could_leave_the_data_directory_writes_nothing(code, tmp_path):
    ticks = tmp_path / "ticks.csv"
    pl.DataFrame({"ts": [1_704_704_400 * 10**9], "close": [580.0], "volume": [1]}).write_csv(ticks)
    data_dir = tmp_path / "one" / "two" / "data"
    with pytest.raises(DataImportError, match="code"):
        import_ticks([str(ticks)], str(data_dir), code)
    assert [path for path in tmp_path.rglob("*") if path.is_file()] == [ticks]
