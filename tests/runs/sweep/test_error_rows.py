"""A combination whose run fails, whatever the exception, is an error row; the sweep goes on."""

import functools

import pytest

from quorvel.backtest import Strategy
from quorvel.sim import SimulatedBroker
from quorvel.backtest import RunSettings
from quorvel.sweep import SweepRow, SweepSettings
from quorvel.sweep.runner import _row, run_one

BROKER = functools.partial(SimulatedBroker, 0, ticks_per_day=20)


EXCEPTIONS = {
    kind.__name__: kind for kind in (ZeroDivisionError, KeyError, RuntimeError, ValueError)
}


class RaisesOnTick(Strategy):
    """Raises the exception named by `kind` on its first live tick."""

    kind = "ZeroDivisionError"

    def on_tick(self, tick):
        raise EXCEPTIONS[self.kind]("boom")


RAISING_LINE = RaisesOnTick.on_tick.__code__.co_firstlineno + 1


def failing_broker():
    raise OSError(28, "No space left on device")


@pytest.fixture
def settings(tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    return SweepSettings(("2330",), RunSettings(("2024-01-08", "2024-01-08"), None), str(tmp_path))


@pytest.mark.parametrize("kind", list(EXCEPTIONS))
def test_a_strategy_that_raises_anything_gives_an_error_row(kind, settings):
    row = run_one(BROKER, RaisesOnTick, {"kind": kind}, settings)
    shown = "'boom'" if kind == "KeyError" else "boom"
    assert row == SweepRow(
        {"kind": kind},
        error=f"RaisesOnTick.on_tick raised {kind}: {shown} (test_error_rows.py:{RAISING_LINE})",
    )


def test_a_run_that_cannot_start_gives_an_error_row(settings):
    row = run_one(failing_broker, Strategy, {}, settings)
    assert row == SweepRow({}, error="OSError: [Errno 28] No space left on device")


class TaskError(Exception):
    """What Ray raises for a task whose worker died: the original, if any, as `cause`."""

    def __init__(self, cause):
        super().__init__("the task failed")
        self.cause = cause


class FailedTasks:
    """Stands in for Ray: `get` raises what the reference names."""

    def get(self, reference):
        raise reference


@pytest.mark.parametrize(
    "raised, error",
    [
        (TaskError(MemoryError("worker out of memory")), "MemoryError: worker out of memory"),
        (TaskError(None), "TaskError: the task failed"),
        (ConnectionError("lost the worker"), "ConnectionError: lost the worker"),
    ],
)
def test_a_task_that_ray_could_not_finish_gives_an_error_row(raised, error):
    assert _row(FailedTasks(), raised, {"ma": 5}) == SweepRow({"ma": 5}, error=error)
