"""The import tests' fixtures: the data directory as the str the imports and the command take, and
writable copies of the checked-in files."""

import shutil

import pytest

from data_support import FILES


@pytest.fixture
def data_dir(data_dir):
    return str(data_dir)


@pytest.fixture
def taifex_copy(tmp_path):
    """A writable copy of one checked-in file: copy(name, as_name=None) -> path."""

    def copy(name: str, as_name: str = "") -> str:
        target = tmp_path / "in" / (as_name or name)
        target.parent.mkdir(exist_ok=True)
        shutil.copy(FILES / name, target)
        return str(target)

    return copy
