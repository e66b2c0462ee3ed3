"""Fixtures every test folder shares: a private data directory, recorders for the console and the
log of the module under test, and skips for tests that need the extension modules built.

Importing the broker package writes a log file into the working directory unless SJ_LOG_PATH
points elsewhere, so that is set before any module under test is imported.
"""

import os

os.environ.setdefault("SJ_LOG_PATH", os.devnull)

import json  # noqa: E402
import shutil  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
from pathlib import Path  # noqa: E402
from types import ModuleType  # noqa: E402
from typing import List  # noqa: E402

import pytest  # noqa: E402

from quorvel.constant import BASIC_INFO  # noqa: E402

WAIT = 10.0  # seconds a recorder waits for the lines a test expects


class Recorder:
    """Stands in for a module's `console` and `logger`: keeps every line it is given, from any
    thread."""

    def __init__(self) -> None:
        self.lines: List[str] = []
        self._changed = threading.Condition()

    def _record(self, text: str) -> None:
        with self._changed:
            self.lines.append(text)
            self._changed.notify_all()

    print = error = _record

    def wait_for(self, count: int, timeout: float = WAIT) -> List[str]:
        """The lines, once there are at least `count` of them."""
        with self._changed:
            if not self._changed.wait_for(lambda: len(self.lines) >= count, timeout):
                raise AssertionError(f"expected {count} lines, got {self.lines!r}")
        return self.lines

    def records(self) -> List[dict]:
        """The lines read as the JSON documents the modules log."""
        return [json.loads(line) for line in self.lines]


@pytest.fixture(scope="session", autouse=True)
def cache_hashing_thread() -> None:
    """The tick cache's hashing thread, which serves the process from its first read on, started
    before the first test: a test that looks for the threads it left running does not find it,
    whichever test happens to read a cached day first."""
    from quorvel.cache import day_files

    day_files._sha256_alongside(b"")()


@pytest.fixture(autouse=True)
def data_dir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Every test writes under its own data directory (not yet created), restored afterwards."""
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "data"))
    return tmp_path / "data"


@pytest.fixture(autouse=True)
def no_days_kept(monkeypatch: pytest.MonkeyPatch) -> None:
    """Every test starts with keeping days off: a sweep task run in the test's own process turns
    it on for the process (`quorvel.backtest.engine.kept_days`)."""
    from quorvel.backtest.engine import kept_days

    monkeypatch.setattr(kept_days, "_kept", None)


@pytest.fixture
def cache_dir(data_dir) -> Path:
    """Where the tick feed keeps the days it loaded."""
    return Path(data_dir) / "sino" / "ticks"


@pytest.fixture(scope="session")
def ticker_built() -> ModuleType:
    """The tick feed's extension module: a test that runs a backtest skips when it is not built."""
    return pytest.importorskip("quorvel.modules.ticker.ticker")


@pytest.fixture(scope="session")
def engines_built(ticker_built: ModuleType) -> None:
    """The feed's module and the replay loop's: a test that runs both engines skips when one of
    them is not built."""
    pytest.importorskip("quorvel.modules.replay.replay")


# A folder whose tests record the console or the log names its module in a fixture
# `module_under_test` of its conftest.py.


@pytest.fixture
def console(monkeypatch: pytest.MonkeyPatch, module_under_test: ModuleType) -> Recorder:
    recorder = Recorder()
    monkeypatch.setattr(module_under_test, "console", recorder)
    return recorder


@pytest.fixture
def logger(monkeypatch: pytest.MonkeyPatch, module_under_test: ModuleType) -> Recorder:
    recorder = Recorder()
    monkeypatch.setattr(module_under_test, "logger", recorder)
    return recorder


# Ray's first start is slow on a shared machine, but never this slow: a start still going then
# is stuck (one was, for more than ten minutes, deaf to Ctrl-C).
RAY_START_LIMIT = 180
# The time of a test that takes Ray's session: whichever comes first pays for the start.
RAY_TEST_TIMEOUT = 300


def pytest_collection_modifyitems(items: List[pytest.Item]) -> None:
    """A test that takes `ray_session` is given `RAY_TEST_TIMEOUT` unless it sets its own: the
    suite's default is shorter than a slow start of Ray may be."""
    for item in items:
        if "ray_session" in getattr(item, "fixturenames", ()) and not item.get_closest_marker("timeout"):
            item.add_marker(pytest.mark.timeout(RAY_TEST_TIMEOUT))


@pytest.fixture(scope="session")
def ray_session():
    """Ray on two cores, started once for the whole run.

    A start that takes longer than `RAY_START_LIMIT` seconds is cut short: a
    watchdog ends the Ray processes it started, so that `ray.init` fails and
    the tests that need Ray fail with it, instead of the run hanging.
    """
    ray = pytest.importorskip("ray")
    from quorvel.sweep.session import end_processes, ray_descendants

    temp_dir = tempfile.mkdtemp(prefix="ray-")  # short: Ray's socket paths must stay short
    before = ray_descendants()
    expired = threading.Event()

    def cut_short():
        expired.set()
        end_processes(ray_descendants(outside=before))

    watchdog = threading.Timer(RAY_START_LIMIT, cut_short)
    watchdog.start()
    try:
        ray.init(
            num_cpus=2,
            include_dashboard=False,
            log_to_driver=False,
            _temp_dir=temp_dir,
            configure_logging=False,
        )
    except Exception:
        if not expired.is_set():
            raise
    finally:
        watchdog.cancel()
    if expired.is_set():
        ray.shutdown()
        shutil.rmtree(temp_dir, ignore_errors=True)
        pytest.fail(f"Ray did not start within {RAY_START_LIMIT} s; its processes were ended")
    yield ray
    ray.shutdown()
    shutil.rmtree(temp_dir, ignore_errors=True)
