"""The errors a sweep raises to its caller."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quorvel.sweep.runner import SweepResult


class SweepError(Exception):
    """A sweep that cannot start, with a message for the user."""


class SweepInterrupted(SweepError):
    """A sweep stopped by Ctrl-C; `result` holds the rows finished until then, ranked, and the
    combinations not finished."""

    def __init__(self, result: SweepResult) -> None:
        super().__init__("interrupted")
        self.result = result
