"""The errors of a backtest: what a run raises to its caller, and what an order operation the
exchange or the account would refuse raises to the strategy."""

from __future__ import annotations

from typing import TYPE_CHECKING, Sequence

if TYPE_CHECKING:
    from quorvel.backtest.results.result import BacktestResult


class OrderError(ValueError):
    """An order operation the exchange would refuse, raised before anything reaches it."""


class AccountRefusal(OrderError):
    """An order the account cannot carry: not enough cash, margin or shares."""


class BacktestError(Exception):
    """A run that cannot start or cannot finish, with a message for the user."""


class DataFaultError(BacktestError):
    """A run stopped before replaying a day whose ticks are wrong (`quorvel.data.checks`): the
    message names the code, the day and the first bad row; `faults` lists every fault found."""

    def __init__(self, message: str, faults: Sequence[object]) -> None:
        super().__init__(message)
        self.faults = list(faults)


class BacktestInterrupted(BacktestError):
    """A run stopped by Ctrl-C; `result` holds what it produced until then."""

    def __init__(self, result: BacktestResult) -> None:
        super().__init__("interrupted")
        self.result = result


class StrategyError(BacktestError):
    """A run ended by an exception from one of the strategy's hooks.

    The message names the hook, the exception and the line of the strategy's
    file it came from (``MyStrategy.on_tick raised ZeroDivisionError:
    division by zero (my_strategy.py:42)``); the exception itself is the
    `__cause__`, and `result` holds what the run produced until then.
    """

    def __init__(
        self, result: BacktestResult, hook: str, location: str, error: BaseException
    ) -> None:
        text = str(error).splitlines()[0] if str(error) else ""
        what = f"{type(error).__name__}: {text}" if text else type(error).__name__
        super().__init__(f"{hook} raised {what} ({location})")
        self.result = result
        self.hook = hook
        self.location = location


class StrategyStalled(StrategyError):
    """A run ended because one of the strategy's hooks did not return within the run's
    `stall_timeout` (``MyStrategy.on_tick did not return within 120 s (my_strategy.py:42)``,
    the line it was at); `result` holds what the run produced until then."""

    def __init__(self, result: BacktestResult, hook: str, location: str, timeout: float) -> None:
        BacktestError.__init__(self, f"{hook} did not return within {timeout:g} s ({location})")
        self.result = result
        self.hook = hook
        self.location = location
