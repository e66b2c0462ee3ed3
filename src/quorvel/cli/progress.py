"""The command line's progress bar: how far, how fast, how long still, and which day."""

from __future__ import annotations

import contextlib
import datetime as dt
from typing import Iterator, Optional, Protocol

from rich.console import Console
from rich.progress import (
    BarColumn,
    MofNCompleteColumn,
    Progress,
    ProgressColumn,
    Task,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
)
from rich.text import Text


class Advance(Protocol):
    def __call__(self, done: int, total: int, day: Optional[dt.date] = None) -> None: ...


class _RateColumn(ProgressColumn):
    """Items a second, over rich's recent window, once there is one."""

    def __init__(self, unit: str) -> None:
        super().__init__()
        self.unit = unit

    def render(self, task: Task) -> Text:
        speed = task.speed
        return Text("" if speed is None else f"{speed:,.0f} {self.unit}/s")


@contextlib.contextmanager
def progress_bar(console: Console, label: str, unit: str) -> Iterator[Advance]:
    """A bar on `console` while the block runs, gone after it; yields the callback that moves
    it: (done, total), a total of 0 while it is not known, and the trading day reached, which
    stays shown until another is given.  Beside the count: the time taken, the time still to
    go at the recent pace, the `unit`s a second and the day."""
    bar = Progress(
        TextColumn(label),
        BarColumn(),
        MofNCompleteColumn(),
        TimeElapsedColumn(),
        TextColumn("ETA"),
        TimeRemainingColumn(),
        _RateColumn(unit),
        TextColumn("{task.fields[day]}"),
        console=console,
        transient=True,
    )
    task = bar.add_task(label, total=None, day="")

    def advance(done: int, total: int, day: Optional[dt.date] = None) -> None:
        bar.update(task, completed=done, total=total or None)
        if day is not None:
            bar.update(task, day=day.isoformat())

    with bar:
        yield advance
