"""A run that stops early: what stopped it is recorded on its result, and an exception from the
strategy is told as the strategy's, not as the engine's.

An exception is the strategy's when its traceback passes through one of the
strategy's hooks; it then ends the run with `StrategyError`, which names the
outermost hook it came out of and the line of that hook's file, and carries
the result so far.  The full traceback goes to the run's log file.

A hook that does not return (an endless loop) would hold the run for ever:
the native replay loop calls it with the GIL held and nothing else moves.
`HookWatch` looks at the main thread's stack from a thread of its own and
interrupts a hook still running after the run's stall timeout, which then
ends the run with `StrategyStalled`.
"""

from __future__ import annotations

import _thread
import contextlib
import logging
import os
import sys
import threading
import time
import traceback
from types import FrameType
from typing import Dict, Iterator, Optional, Tuple

from quorvel.backtest.errors import BacktestError, StrategyError, StrategyStalled
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.strategy.base import Strategy

HOOKS = (
    "on_start",
    "warm_up",
    "on_tick",
    "on_bar",
    "on_report",
    "on_margin_call",
    "on_settlement",
    "on_corporate_action",
    "on_end",
)
INTERRUPTED = "interrupted"

logger = logging.getLogger("quorvel.backtest")


@contextlib.contextmanager
def stops_recorded(strategy: Strategy, result: BacktestResult, timeout: float) -> Iterator[None]:
    """Mark `result` partial when the run stops early; turn an exception out of a hook into
    `StrategyError`, and a hook running for more than `timeout` seconds into
    `StrategyStalled` (`HookWatch`).  Enter it where the run's log file is set."""
    watch = HookWatch(strategy, timeout)
    try:
        with watch:
            yield
    except KeyboardInterrupt:
        if watch.stalled is None:  # the user's Ctrl-C (or a signal taken for it)
            result.stopped = INTERRUPTED
            raise
        stalled = StrategyStalled(result, *watch.stalled, timeout)
        result.stopped = str(stalled)
        logger.error("%s", stalled)
        raise stalled from None
    except BacktestError:
        raise
    except BaseException as error:  # SystemExit too: a strategy's exit is its run's failure
        found = failing_hook(strategy, error)
        if found is None:
            raise
        failure = StrategyError(result, *found, error)
        result.stopped = str(failure)
        logger.error("%s", failure, exc_info=error)
        raise failure from error


class HookWatch:
    """While entered on the main thread, a thread of its own looks at the main thread's stack a
    few times each `timeout`; when the same call of one of the strategy's hooks is still on it
    after `timeout` seconds, it records the hook and where it is (`stalled`) and interrupts the
    main thread as Ctrl-C does (`_thread.interrupt_main`), which `stops_recorded` tells apart.

    Only the main thread can be interrupted so, and only where SIGINT has a Python handler
    (the default, or the command's): elsewhere a run is not watched.  A hook that catches
    KeyboardInterrupt and goes on cannot be stopped either.
    """

    def __init__(self, strategy: Strategy, timeout: float) -> None:
        self.strategy = strategy
        self.timeout = timeout
        self.stalled: Optional[Tuple[str, str]] = None
        self._hooks = _hook_codes(type(strategy))
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> "HookWatch":
        if threading.current_thread() is threading.main_thread():
            self._thread = threading.Thread(target=self._watch, name="hook-watch", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def _watch(self) -> None:
        main = threading.main_thread().ident
        assert main is not None
        seen: Optional[FrameType] = None  # the hook's call under watch, held to keep its identity
        since = time.monotonic()
        while not self._stop.wait(min(1.0, self.timeout / 4)):
            found = self._hook_call(sys._current_frames().get(main))
            if found is None or found[0] is not seen:
                seen, since = (found[0] if found else None), time.monotonic()
            elif time.monotonic() - since >= self.timeout:
                self.stalled = found[1]
                _thread.interrupt_main()
                return

    def _hook_call(
        self, frame: Optional[FrameType]
    ) -> Optional[Tuple[FrameType, Tuple[str, str]]]:
        """The outermost call of a hook on the stack from `frame` up, with ("Class.hook",
        "file.py:line"): the line is the one the innermost frame of the hook's file is at."""
        found = None
        stack = []
        while frame is not None:
            stack.append(frame)
            hook = self._hooks.get(frame.f_code)
            if hook is not None:
                file_name = frame.f_code.co_filename
                in_file = [inner for inner in stack if inner.f_code.co_filename == file_name]
                line = in_file[0].f_lineno
                where = f"{os.path.basename(file_name)}:{line}"
                found = frame, (f"{type(self.strategy).__name__}.{hook}", where)
            frame = frame.f_back
        return found


def failing_hook(strategy: Strategy, error: BaseException) -> Optional[Tuple[str, str]]:
    """("Class.hook", "file.py:line") of an exception that came out of a hook of `strategy`,
    None for one that did not.

    The hook is the outermost one the traceback passes through (a hook that
    calls another, or its base class's, is the one the engine called); the
    line is the last one the traceback reaches in that hook's file, so an
    exception raised by a library or an order operation the hook called is
    placed at the hook's call.
    """
    hooks = _hook_codes(type(strategy))
    frames = list(traceback.walk_tb(error.__traceback__))
    for index, (frame, _) in enumerate(frames):
        hook = hooks.get(frame.f_code)
        if hook is None:
            continue
        file_name = frame.f_code.co_filename
        line = [number for inner, number in frames[index:] if inner.f_code.co_filename == file_name]
        return f"{type(strategy).__name__}.{hook}", f"{os.path.basename(file_name)}:{line[-1]}"
    return None


def _hook_codes(strategy: type) -> Dict[object, str]:
    """The code object of every hook defined along the strategy's classes, with the hook's name."""
    codes: Dict[object, str] = {}
    for klass in strategy.__mro__:
        for name in HOOKS:
            code = getattr(vars(klass).get(name), "__code__", None)
            if code is not None:
                codes[code] = name
    return codes
