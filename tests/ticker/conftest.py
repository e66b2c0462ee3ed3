"""Shared fixtures of the tick feed tests: a private data directory, recorded console and log.

Importing the broker package writes a log file into the working directory unless
SJ_LOG_PATH points elsewhere, so that is set before the module under test is imported.
"""

import os

os.environ.setdefault("SJ_LOG_PATH", os.devnull)

import json  # noqa: E402
import threading  # noqa: E402
from typing import List  # noqa: E402

import pytest  # noqa: E402

from quorvel.constant import BASIC_INFO  # noqa: E402
from quorvel.modules.ticker import ticker as ticker_module  # noqa: E402

WAIT = 10  # seconds any single queue wait may take in a test


class Recorder:
    """Stands in for `console` and `logger`: keeps every line it is given."""

    def __init__(self) -> None:
        self.lines: List[str] = []

    def print(self, text: str) -> None:
        self.lines.append(text)

    def error(self, text: str) -> None:
        self.lines.append(text)

    def records(self) -> List[dict]:
        return [json.loads(line) for line in self.lines]


@pytest.fixture(autouse=True)
def data_dir(tmp_path, monkeypatch):
    """Every test writes under its own data directory, restored afterwards."""
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "data"))
    return tmp_path / "data"


@pytest.fixture
def cache_dir(data_dir):
    return data_dir / "sino" / "ticks"


@pytest.fixture(autouse=True)
def console(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(ticker_module, "console", recorder)
    return recorder


@pytest.fixture(autouse=True)
def logger(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(ticker_module, "logger", recorder)
    return recorder


@pytest.fixture(autouse=True)
def threads_before():
    """The threads alive when the test began; the feed threads are the ones started after."""
    _threads_before[:] = threading.enumerate()


_threads_before: List[threading.Thread] = []


def wait_for_thread_end() -> None:
    """Joins the threads that the test started, each within the wait bound."""
    for thread in threading.enumerate():
        if thread not in _threads_before:
            thread.join(WAIT)
            assert not thread.is_alive(), f"{thread.name} still running"


def drain(ticker, limit: int = 1000, allow: bool = True) -> list:
    """Pops items until the end status, granting a permit after each one, as a driver does."""
    items = []
    for _ in range(limit):
        item = ticker.tick_queue.get(timeout=WAIT)
        items.append(item)
        if item.get("darq_status") == "ExitSendTick":
            return items
        if allow:
            ticker.allow_next_tick()
    raise AssertionError(f"no end status within {limit} items")
