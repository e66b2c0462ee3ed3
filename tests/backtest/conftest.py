"""The data directory that the runs of one test module share."""

import pytest

from quorvel.constant import BASIC_INFO


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    """The root conftest's private data directory, here shared by the tests of one module: the
    first run fills the tick cache and the later runs read it."""
    path = tmp_path_factory.mktemp("data")
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr(BASIC_INFO, "data_dir", str(path))
        yield path
