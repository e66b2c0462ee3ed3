import threading


import pytest

import quorvel.modules.matcher.matcher as matcher_module
from quorvel.constant import BASIC_INFO
from quorvel.modules.matcher.matcher import Matcher

from matcher_support import TIMEOUT


class Recorder:
    """Stands in for the console and the logger: keeps every line it is given."""

    def __init__(self):
        self.lines = []
        self._changed = threading.Condition()

    def _record(self, text):
        with self._changed:
            self.lines.append(text)
            self._changed.notify_all()

    print = error = _record

    def wait_for(self, count, timeout=TIMEOUT):
        with self._changed:
            if not self._changed.wait_for(lambda: len(self.lines) >= count, timeout):
                raise AssertionError(f"expected {count} lines, got {self.lines!r}")
        return self.lines


@pytest.fixture(autouse=True)
def data_dir(tmp_path):
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = str(tmp_path)
    yield tmp_path
    BASIC_INFO.data_dir = saved


@pytest.fixture
def console(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(matcher_module, "console", recorder)
    return recorder


@pytest.fixture
def logger(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(matcher_module, "logger", recorder)
    return recorder


@pytest.fixture
def matcher(console, logger):
    return Matcher()


