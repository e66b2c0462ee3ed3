"""What a watching tool sees: the native shortcuts must leave every prescribed call visible to a
profile function, a trace function and a sys.monitoring tool (3.12 on), whether that tool watches
the whole interpreter or only the functions a debugger has a breakpoint in."""

import sys
from types import FunctionType
from typing import Callable, Iterable, List

import pytest

_NO_MONITORING = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12")

# The ways a tool can watch calls; "breakpoint" watches only the functions it is given.
WATCHERS = ["profile", "trace", pytest.param("monitoring", marks=_NO_MONITORING),
            pytest.param("breakpoint", marks=_NO_MONITORING)]


def watched_calls(watcher: str, action: Callable[[], object], functions: Iterable[FunctionType] = ()) -> List[str]:
    """Runs `action` watched by `watcher`; returns the names of the Python functions it saw start."""
    called: List[str] = []
    if watcher in ("profile", "trace"):
        def hook(frame, event, arg):
            if event == "call":
                called.append(frame.f_code.co_name)

        install = sys.setprofile if watcher == "profile" else sys.settrace
        install(hook)
        try:
            action()
        finally:
            install(None)
        return called
    monitoring = sys.monitoring
    start = monitoring.events.PY_START
    tool = next(tool for tool in range(6) if monitoring.get_tool(tool) is None)
    codes = [function.__code__ for function in functions] if watcher == "breakpoint" else []
    monitoring.use_tool_id(tool, "quorvel tests")
    try:
        monitoring.register_callback(tool, start, lambda code, offset: called.append(code.co_name))
        for code in codes:
            monitoring.set_local_events(tool, code, start)
        if not codes:
            monitoring.set_events(tool, start)
        action()
    finally:
        monitoring.set_events(tool, 0)
        for code in codes:
            monitoring.set_local_events(tool, code, 0)
        monitoring.register_callback(tool, start, None)
        monitoring.free_tool_id(tool)
    return called

