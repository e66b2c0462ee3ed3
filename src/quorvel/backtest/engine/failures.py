"""A run that stops early: what stopped it is recorded on its result, and an exception from the
strategy is told as the strategy's, not as the engine's.

An exception is the strategy's when its traceback passes through one of the
strategy's hooks; it then ends the run with `StrategyError`, which names the
outermost hook it came out of and the line of that hook's file, and carries
the result so far.  The full traceback goes to the run's log file.
"""

from __future__ import annotations

import contextlib
import logging
import os
import traceback
from typing import Dict, Iterator, Optional, Tuple

from quorvel.backtest.errors import BacktestError, StrategyError
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
def stops_recorded(strategy: Strategy, result: BacktestResult) -> Iterator[None]:
    """Mark `result` partial when the run stops early; turn an exception out of a hook into
    `StrategyError`.  Enter it where the run's log file is set."""
    try:
        yield
    except KeyboardInterrupt:
        result.stopped = INTERRUPTED
        raise
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
