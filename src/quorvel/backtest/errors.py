"""The errors a backtest run raises to its caller."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quorvel.backtest.results import BacktestResult


class BacktestError(Exception):
    """A run that cannot start or cannot finish, with a message for the user."""


class BacktestInterrupted(BacktestError):
    """A run stopped by Ctrl-C; `result` holds what it produced until then."""

    def __init__(self, result: BacktestResult) -> None:
        super().__init__("interrupted")
        self.result = result
